#pragma once

#include "Tables.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// The subset of PostgREST's query language the desk uses, parsed into a plan and turned
// into one SQL statement whose values are all bound parameters.
namespace rest {

// A request the query language refuses, in the hosted service's error terms.
struct Error : std::exception {
    Error() = default;
    Error(int status, std::string code, std::string message,
          std::optional<std::string> details = {}, std::optional<std::string> hint = {})
        : status(status), code(std::move(code)), message(std::move(message)),
          details(std::move(details)), hint(std::move(hint)) {}
    const char *what() const noexcept override { return message.c_str(); }

    int status = 400;
    std::string code;
    std::string message;
    std::optional<std::string> details;
    std::optional<std::string> hint;
};

struct Filter {
    std::string column;
    bool negate = false;
    std::string op; // eq neq gt gte lt lte like ilike is
    std::string value;
};

struct Order {
    std::string column;
    bool descending = false;
    enum class Nulls { Default, First, Last } nulls = Nulls::Default;
};

struct Prefer {
    enum class Return {
        Unspecified,
        Minimal,
        Representation,
        HeadersOnly
    } ret = Return::Unspecified;
    enum class Resolution { None, MergeDuplicates, IgnoreDuplicates } resolution = Resolution::None;
    bool countExact = false;

    // Parsed from every Prefer header value; unknown preferences are ignored, as the
    // hosted service does by default.
    static Prefer parse(const std::vector<std::string> &headerValues);
    // The Preference-Applied header for what this request honoured; empty for none.
    std::string applied(bool withResolution) const;
};

struct Query {
    const TableDef *table = nullptr;
    std::vector<std::string> select; // empty means every column
    std::vector<Filter> filters;     // all must hold
    std::vector<Order> order;
    std::optional<int64_t> limit;
    int64_t offset = 0;
    std::vector<std::string> onConflict;
};

using Params = std::vector<std::pair<std::string, std::string>>;

// Reads select, order, limit, offset, on_conflict and the column filters. A repeated
// filter key adds another condition.
std::variant<Query, Error> parseQuery(const TableDef &table, const Params &params);

// One statement. Every statement built here returns exactly one row with the columns
// total (bigint or null), page (rows returned or affected), inserted (rows newly
// inserted) and body (the JSON array text, or '' when no rows are returned).
struct Statement {
    std::string sql;
    std::vector<std::string> params;
};

Statement buildSelect(const Query &query, bool withCount);

// `payload` is the JSON text of an array of objects that all have exactly `columns` as
// keys (checked by the caller); `returnRows` selects the body.
Statement buildInsert(const Query &query, const std::vector<std::string> &columns,
                      const std::string &payload, Prefer::Resolution resolution, bool returnRows);
// `payload` is the JSON text of one object whose keys are `columns`.
Statement buildUpdate(const Query &query, const std::vector<std::string> &columns,
                      const std::string &payload, bool returnRows);
Statement buildDelete(const Query &query, bool returnRows);

// Content-Range as the hosted service writes it: "<first>-<last>/<total>", with "*" for
// an empty range and for an unknown total.
std::string contentRange(int64_t lower, int64_t upper, std::optional<int64_t> total);

// The status for a read: 200, 206 when the rows are fewer than the total, 416 when the
// offset lies past the total.
int readStatus(int64_t offset, int64_t rows, std::optional<int64_t> total);

// The HTTP status for a PostgreSQL SQLSTATE, following the hosted service's table.
int statusForSqlState(const std::string &sqlstate);

// Deepest nesting of arrays and objects in a JSON text (strings are skipped).
int jsonDepth(const std::string &text);

} // namespace rest
