#include "RestQuery.h"

#include "Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace rest {
namespace {

// PostgREST's lists allow spaces and tabs around their items.
std::string trim(const std::string &s) {
    return std::string(text::trim(s, " \t"));
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        const size_t pos = s.find(sep, start);
        out.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos)
            break;
        start = pos + 1;
    }
    return out;
}

bool isIdentifier(const std::string &s) {
    if (s.empty() || s.size() > 63)
        return false;
    if (!(s[0] == '_' || (s[0] >= 'a' && s[0] <= 'z')))
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return c == '_' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

Error parseError(const std::string &what, const std::string &value, const std::string &details) {
    return {400, "PGRST100", "\"failed to parse " + what + " (" + value + ")\" (line 1, column 1)",
            details, std::nullopt};
}

Error unknownColumn(const TableDef &table, const std::string &column) {
    return {400, "42703", "column " + table.name + "." + column + " does not exist", std::nullopt,
            std::nullopt};
}

std::optional<int64_t> parseCount(const std::string &text) {
    int64_t value = 0;
    const auto t = trim(text);
    if (t.empty())
        return std::nullopt;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || ptr != t.data() + t.size())
        return std::nullopt;
    return value;
}

// The SQL operator of a filter's operator; nullptr for one the API does not know.
const char *comparison(const std::string &op) {
    static const std::pair<const char *, const char *> operators[] = {
        {"eq", "="},   {"neq", "<>"},    {"gt", ">"},        {"gte", ">="},  {"lt", "<"},
        {"lte", "<="}, {"like", "LIKE"}, {"ilike", "ILIKE"}, {"match", "~"}, {"imatch", "~*"}};
    for (const auto &[name, sql] : operators)
        if (op == name)
            return sql;
    return nullptr;
}

std::optional<Error> parseFilter(const TableDef &table, const std::string &key,
                                 const std::string &value, Filter &out) {
    if (!isIdentifier(key) || !table.hasColumn(key))
        return unknownColumn(table, key);
    out.column = key;
    // A NUL byte would silently cut the value short on its way to the database.
    if (value.find('\0') != std::string::npos)
        return parseError("filter", key, "unexpected NUL character in the value");
    std::string rest = value;
    if (rest.rfind("not.", 0) == 0) {
        out.negate = true;
        rest = rest.substr(4);
    }
    const size_t dot = rest.find('.');
    const std::string op = rest.substr(0, dot);
    if (dot == std::string::npos || (op != "is" && !comparison(op))) {
        const std::string shown =
            op.empty() ? std::string("end of input") : "\"" + op.substr(0, 1) + "\"";
        return parseError(
            "filter", value,
            "unexpected " + shown +
                " expecting \"not\" or operator (eq, gt, gte, lt, lte, neq, like, ilike, match, "
                "imatch, is)");
    }
    out.op = op;
    out.value = rest.substr(dot + 1);
    if (op == "is") {
        static const std::vector<std::string> keywords = {"null", "not_null", "true", "false",
                                                          "unknown"};
        std::string lowered = out.value;
        std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (std::find(keywords.begin(), keywords.end(), lowered) == keywords.end())
            return parseError("filter", value,
                              "unexpected \"" + out.value.substr(0, 1) +
                                  "\" expecting null, not_null, true, false or unknown");
        out.value = lowered;
    } else if (op == "like" || op == "ilike") {
        // PostgREST's wildcard: "*" stands for "%" so that URLs need not carry a percent
        // sign. A backslash keeps its meaning as the escape character of LIKE.
        std::replace(out.value.begin(), out.value.end(), '*', '%');
    }
    return std::nullopt;
}

std::optional<Error> parseOrder(const TableDef &table, const std::string &value,
                                std::vector<Order> &out) {
    for (const auto &raw : split(value, ',')) {
        const auto term = trim(raw);
        const auto parts = split(term, '.');
        if (parts.empty() || parts.size() > 3 || !isIdentifier(parts[0]))
            return parseError("order", value,
                              "unexpected \"" + term.substr(0, 1) + "\" expecting field name");
        if (!table.hasColumn(parts[0]))
            return unknownColumn(table, parts[0]);
        Order order;
        order.column = parts[0];
        for (size_t i = 1; i < parts.size(); ++i) {
            const auto &word = parts[i];
            if (i == 1 && (word == "asc" || word == "desc"))
                order.descending = word == "desc";
            else if (word == "nullsfirst" && order.nulls == Order::Nulls::Default)
                order.nulls = Order::Nulls::First;
            else if (word == "nullslast" && order.nulls == Order::Nulls::Default)
                order.nulls = Order::Nulls::Last;
            else
                return parseError(
                    "order", value,
                    "unexpected \"" + word.substr(0, 1) +
                        "\" expecting \"asc\", \"desc\", \"nullsfirst\" or \"nullslast\"");
        }
        out.push_back(order);
    }
    return std::nullopt;
}

std::optional<Error> parseColumnList(const TableDef &table, const std::string &what,
                                     const std::string &value, std::vector<std::string> &out) {
    for (const auto &raw : split(value, ',')) {
        const auto column = trim(raw);
        if (column == "*" && what == "select parameter") {
            out.clear();
            return std::nullopt;
        }
        if (!isIdentifier(column))
            return parseError(what, value,
                              "unexpected \"" + column.substr(0, 1) +
                                  "\" expecting field name (* or [a..z0..9_])");
        if (!table.hasColumn(column))
            return unknownColumn(table, column);
        out.push_back(column);
    }
    return std::nullopt;
}

std::string quoted(const std::string &identifier) {
    return "\"" + identifier + "\"";
}

std::string tableName(const Query &query) {
    return "\"public\"." + quoted(query.table->name);
}

class Builder {
public:
    explicit Builder(Statement &statement) : m_statement(statement) {}

    std::string param(const std::string &value) {
        m_statement.params.push_back(value);
        return "$" + std::to_string(m_statement.params.size());
    }

    std::string where(const Query &query) {
        std::string sql;
        for (const auto &filter : query.filters) {
            sql += sql.empty() ? " WHERE " : " AND ";
            const std::string column = "pgrst_t." + quoted(filter.column);
            std::string condition;
            if (filter.op == "is") {
                if (filter.value == "null")
                    condition = column + " IS NULL";
                else if (filter.value == "not_null")
                    condition = column + " IS NOT NULL";
                else if (filter.value == "true")
                    condition = column + " IS TRUE";
                else if (filter.value == "false")
                    condition = column + " IS FALSE";
                else
                    condition = column + " IS UNKNOWN";
            } else {
                condition = column + " " + comparison(filter.op) + " " + param(filter.value);
            }
            sql += filter.negate ? "NOT (" + condition + ")" : condition;
        }
        return sql;
    }

private:
    Statement &m_statement;
};

std::vector<std::string> selectedColumns(const Query &query) {
    return query.select.empty() ? query.table->columns : query.select;
}

std::string columnList(const std::vector<std::string> &columns, const std::string &qualifier) {
    std::string sql;
    for (const auto &column : columns) {
        if (!sql.empty())
            sql += ", ";
        sql += qualifier + quoted(column);
    }
    return sql;
}

// The outer SELECT over a data-modifying CTE named pgrst_source.
std::string mutationResult(const Query &query, bool returnRows, const std::string &insertedExpr) {
    std::string sql = "SELECT NULL::bigint AS total, pg_catalog.count(*) AS page, " + insertedExpr +
                      " AS inserted, ";
    if (returnRows)
        sql += "coalesce(json_agg(_s), '[]')::text AS body FROM pgrst_source, LATERAL (SELECT " +
               columnList(selectedColumns(query), "pgrst_source.") + ") AS _s";
    else
        sql += "''::text AS body FROM pgrst_source";
    return sql;
}

} // namespace

Prefer Prefer::parse(const std::vector<std::string> &headerValues) {
    Prefer prefer;
    for (const auto &header : headerValues)
        for (const auto &raw : split(header, ',')) {
            const auto item = trim(raw);
            if (item == "return=minimal")
                prefer.ret = Return::Minimal;
            else if (item == "return=representation")
                prefer.ret = Return::Representation;
            else if (item == "return=headers-only")
                prefer.ret = Return::HeadersOnly;
            else if (item == "count=exact" || item == "count=planned" || item == "count=estimated")
                prefer.countExact = true;
            else if (item == "resolution=merge-duplicates")
                prefer.resolution = Resolution::MergeDuplicates;
            else if (item == "resolution=ignore-duplicates")
                prefer.resolution = Resolution::IgnoreDuplicates;
        }
    return prefer;
}

std::string Prefer::applied(bool withResolution) const {
    std::vector<std::string> items;
    if (withResolution && resolution == Resolution::MergeDuplicates)
        items.push_back("resolution=merge-duplicates");
    if (withResolution && resolution == Resolution::IgnoreDuplicates)
        items.push_back("resolution=ignore-duplicates");
    if (ret == Return::Minimal)
        items.push_back("return=minimal");
    if (ret == Return::Representation)
        items.push_back("return=representation");
    if (ret == Return::HeadersOnly)
        items.push_back("return=headers-only");
    if (countExact)
        items.push_back("count=exact");
    std::string out;
    for (const auto &item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

std::variant<Query, Error> parseQuery(const TableDef &table, const Params &params) {
    Query query;
    query.table = &table;
    for (const auto &[key, value] : params) {
        if (key == "select") {
            query.select.clear();
            if (auto error = parseColumnList(table, "select parameter", value.empty() ? "*" : value,
                                             query.select))
                return *error;
        } else if (key == "order") {
            query.order.clear();
            if (auto error = parseOrder(table, value, query.order))
                return *error;
        } else if (key == "limit") {
            const auto limit = parseCount(value);
            if (!limit)
                return parseError("limit parameter", value, "expecting a whole number");
            if (*limit < 0)
                return Error{416, "PGRST103", "Requested range not satisfiable",
                             "Limit should be greater than or equal to zero.", std::nullopt};
            query.limit = *limit;
        } else if (key == "offset") {
            const auto offset = parseCount(value);
            if (!offset || *offset < 0)
                return parseError("offset parameter", value,
                                  "expecting a whole number of at least 0");
            query.offset = *offset;
        } else if (key == "on_conflict") {
            query.onConflict.clear();
            if (auto error =
                    parseColumnList(table, "on_conflict parameter", value, query.onConflict))
                return *error;
        } else if (key == "columns" || key == "apikey") {
            // Not used by the desk; accepted and ignored like unknown preferences.
        } else {
            Filter filter;
            if (auto error = parseFilter(table, key, value, filter))
                return *error;
            query.filters.push_back(std::move(filter));
        }
    }
    return query;
}

Statement buildSelect(const Query &query, bool withCount) {
    Statement statement;
    Builder b(statement);
    const std::string where = b.where(query);
    std::string inner = "SELECT " + columnList(selectedColumns(query), "pgrst_t.") + " FROM " +
                        tableName(query) + " AS pgrst_t" + where;
    if (!query.order.empty()) {
        inner += " ORDER BY ";
        for (size_t i = 0; i < query.order.size(); ++i) {
            const auto &o = query.order[i];
            inner += (i ? ", " : "") + std::string("pgrst_t.") + quoted(o.column) +
                     (o.descending ? " DESC" : " ASC");
            if (o.nulls == Order::Nulls::First)
                inner += " NULLS FIRST";
            else if (o.nulls == Order::Nulls::Last)
                inner += " NULLS LAST";
        }
    }
    if (query.limit)
        inner += " LIMIT " + b.param(std::to_string(*query.limit)) + "::bigint";
    if (query.offset > 0)
        inner += " OFFSET " + b.param(std::to_string(query.offset)) + "::bigint";
    // The count repeats the conditions with the same parameters.
    const std::string total = withCount ? "(SELECT pg_catalog.count(*) FROM " + tableName(query) +
                                              " AS pgrst_t" + where + ")"
                                        : std::string("NULL::bigint");
    statement.sql = "SELECT " + total +
                    " AS total, pg_catalog.count(*) AS page, 0::bigint AS inserted, "
                    "coalesce(json_agg(_s), '[]')::text AS body FROM (" +
                    inner + ") AS _s";
    return statement;
}

Statement buildInsert(const Query &query, const std::vector<std::string> &columns,
                      const std::string &payload, Prefer::Resolution resolution, bool returnRows) {
    Statement statement;
    Builder b(statement);
    const std::string body = b.param(payload);
    // An object without keys is a row of defaults: no column list at all.
    std::string sql = "WITH pgrst_source AS (INSERT INTO " + tableName(query) + " AS pgrst_t" +
                      (columns.empty() ? std::string() : " (" + columnList(columns, "") + ")") +
                      " SELECT " + columnList(columns, "pgrst_body.") +
                      " FROM json_populate_recordset(NULL::" + tableName(query) + ", " + body +
                      "::json) AS pgrst_body";
    if (!query.onConflict.empty() && resolution != Prefer::Resolution::None) {
        sql += " ON CONFLICT (" + columnList(query.onConflict, "") + ")";
        if (resolution == Prefer::Resolution::IgnoreDuplicates || columns.empty()) {
            sql += " DO NOTHING";
        } else {
            sql += " DO UPDATE SET ";
            for (size_t i = 0; i < columns.size(); ++i)
                sql += (i ? ", " : "") + quoted(columns[i]) + " = EXCLUDED." + quoted(columns[i]);
        }
    }
    sql += returnRows ? " RETURNING pgrst_t.*, (pgrst_t.xmax = 0) AS pgrst_inserted)"
                      : " RETURNING (pgrst_t.xmax = 0) AS pgrst_inserted)";
    statement.sql =
        sql + " " +
        mutationResult(query, returnRows, "pg_catalog.count(*) FILTER (WHERE pgrst_inserted)");
    return statement;
}

Statement buildUpdate(const Query &query, const std::vector<std::string> &columns,
                      const std::string &payload, bool returnRows) {
    Statement statement;
    Builder b(statement);
    const std::string body = b.param(payload);
    std::string sql = "WITH pgrst_source AS (UPDATE " + tableName(query) + " AS pgrst_t SET ";
    for (size_t i = 0; i < columns.size(); ++i)
        sql += (i ? ", " : "") + quoted(columns[i]) + " = pgrst_body." + quoted(columns[i]);
    sql += " FROM json_populate_record(NULL::" + tableName(query) + ", " + body +
           "::json) AS pgrst_body";
    sql += b.where(query);
    sql += returnRows ? " RETURNING pgrst_t.*)" : " RETURNING 1 AS pgrst_one)";
    statement.sql = sql + " " + mutationResult(query, returnRows, "0::bigint");
    return statement;
}

Statement buildDelete(const Query &query, bool returnRows) {
    Statement statement;
    Builder b(statement);
    std::string sql =
        "WITH pgrst_source AS (DELETE FROM " + tableName(query) + " AS pgrst_t" + b.where(query);
    sql += returnRows ? " RETURNING pgrst_t.*)" : " RETURNING 1 AS pgrst_one)";
    statement.sql = sql + " " + mutationResult(query, returnRows, "0::bigint");
    return statement;
}

std::string contentRange(int64_t lower, int64_t upper, std::optional<int64_t> total) {
    const bool totalNotZero = !total || *total != 0;
    std::string range =
        totalNotZero && lower <= upper ? std::to_string(lower) + "-" + std::to_string(upper) : "*";
    return range + "/" + (total ? std::to_string(*total) : "*");
}

int readStatus(int64_t offset, int64_t rows, std::optional<int64_t> total) {
    if (!total)
        return 200;
    if (offset > *total)
        return 416;
    if (rows < *total)
        return 206;
    return 200;
}

int statusForSqlState(const std::string &s) {
    const auto digit = [&s](size_t i) { return std::isdigit(static_cast<unsigned char>(s[i])); };
    // PTnnn: a function asks for HTTP status nnn, as the hosted REST service allows.
    if (s.size() == 5 && s.rfind("PT", 0) == 0 && digit(2) && digit(3) && digit(4) && s[2] >= '1' &&
        s[2] <= '5')
        return std::stoi(s.substr(2));
    // Classes (two characters) and single codes (five); the first that matches decides.
    // 54 (too deeply nested or too complex input) is the request's fault; 57014 is the
    // statement timeout.
    static const std::pair<const char *, int> statuses[] = {
        {"08", 503},    {"09", 500},    {"0L", 403},    {"0P", 403},    {"23503", 409},
        {"23505", 409}, {"25006", 405}, {"25", 500},    {"28", 403},    {"2D", 500},
        {"38", 500},    {"39", 500},    {"3B", 500},    {"40", 500},    {"53400", 500},
        {"53", 503},    {"54", 413},    {"57014", 504}, {"57P01", 503}, {"55", 500},
        {"57", 500},    {"58", 500},    {"F0", 500},    {"HV", 500},    {"XX", 500},
        {"P0001", 400}, {"P0", 500},    {"42P01", 404}, {"42P17", 500}, {"42501", 403}};
    for (const auto &[prefix, status] : statuses)
        if (s.rfind(prefix, 0) == 0)
            return status;
    // Everything else (invalid text for a type, a constraint, an operator that does not
    // apply to a column's type) is a problem with the request.
    return 400;
}

int jsonDepth(const std::string &text) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
            deepest = std::max(deepest, ++depth);
        else if (c == ']' || c == '}')
            --depth;
    }
    return deepest;
}

} // namespace rest
