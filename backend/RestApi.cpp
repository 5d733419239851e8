#include "RestApi.h"

#include "ApiFailure.h"
#include "Clock.h"
#include "Http.h"

#include <nlohmann/json.hpp>

#include <set>

namespace {

constexpr int maxJsonDepth = 64;

std::vector<std::string> headerValues(const httplib::Request &req, const char *name) {
    std::vector<std::string> values;
    const size_t count = req.get_header_value_count(name);
    for (size_t i = 0; i < count; ++i)
        values.push_back(req.get_header_value(name, i));
    return values;
}

void sendError(httplib::Response &res, const rest::Error &e) {
    http::sendRestError(res, e.status, e.code, e.message, e.details, e.hint);
}

void sendInvalidBody(httplib::Response &res, const std::string &message = "Empty or invalid json") {
    http::sendRestError(res, 400, "PGRST102", message);
}

// Parses a request body as JSON, refusing texts nested deeper than any record needs
// (they could exhaust the stack of a recursive reader further on).
bool parseBody(const std::string &body, nlohmann::json &out) {
    if (body.empty() || rest::jsonDepth(body) > maxJsonDepth)
        return false;
    out = nlohmann::json::parse(body, nullptr, false);
    return !out.is_discarded();
}

// The payload's keys, checked against the table. Returns false after answering.
bool payloadColumns(httplib::Response &res, const TableDef &table, const nlohmann::json &object,
                    std::vector<std::string> &columns) {
    for (const auto &item : object.items()) {
        if (!table.hasColumn(item.key())) {
            http::sendRestError(res, 400, "PGRST204",
                                "Could not find the '" + item.key() + "' column of '" + table.name +
                                    "' in the schema cache");
            return false;
        }
        columns.push_back(item.key());
    }
    return true;
}

// The columns of an insert's payload: one object, or an array of objects that all carry
// the same keys. Returns false after answering.
bool insertColumns(httplib::Response &res, const TableDef &table, const nlohmann::json &body,
                   std::vector<std::string> &columns) {
    if (body.is_object())
        return payloadColumns(res, table, body, columns);
    std::set<std::string> firstKeys;
    for (size_t i = 0; i < body.size(); ++i) {
        const auto &element = body[i];
        if (!element.is_object()) {
            sendInvalidBody(res);
            return false;
        }
        std::set<std::string> keys;
        for (const auto &item : element.items())
            keys.insert(item.key());
        if (i == 0) {
            if (!payloadColumns(res, table, element, columns))
                return false;
            firstKeys = std::move(keys);
        } else if (keys != firstKeys) {
            sendInvalidBody(res, "All object keys must match");
            return false;
        }
    }
    return true;
}

} // namespace

RestApi::RestApi(Db &db, const Jwt &jwt) : m_db(db), m_jwt(jwt) {}

void RestApi::install(httplib::Server &server) {
    const std::string tablePath = R"(/rest/v1/([A-Za-z0-9_]+))";
    server.Get(tablePath, [this](const httplib::Request &req, httplib::Response &res) {
        dispatch(req, res, &RestApi::read);
    });
    server.Post(tablePath, [this](const httplib::Request &req, httplib::Response &res) {
        dispatch(req, res, &RestApi::insert);
    });
    server.Patch(tablePath, [this](const httplib::Request &req, httplib::Response &res) {
        dispatch(req, res, &RestApi::update);
    });
    server.Delete(tablePath, [this](const httplib::Request &req, httplib::Response &res) {
        dispatch(req, res, &RestApi::remove);
    });
    server.Put(tablePath, [](const httplib::Request &, httplib::Response &res) {
        http::sendRestError(res, 405, "PGRST117", "Unsupported HTTP method: PUT");
    });

    const std::string rpcPath = R"(/rest/v1/rpc/([A-Za-z0-9_]+))";
    server.Post(rpcPath, [this](const httplib::Request &req, httplib::Response &res) {
        Jwt::Verified caller;
        if (!authenticate(req, res, caller))
            return;
        try {
            rpc(req, res, req.matches[1], caller);
        } catch (...) {
            sendFailure(ApiForm::Rest, req, res, std::current_exception());
        }
    });
    server.Get(rpcPath, [this](const httplib::Request &req, httplib::Response &res) {
        Jwt::Verified caller;
        if (!authenticate(req, res, caller))
            return;
        http::sendRestError(res, 405, "PGRST101", "Cannot use the GET method on RPC");
    });
}

bool RestApi::authenticate(const httplib::Request &req, httplib::Response &res,
                           Jwt::Verified &out) const {
    const auto token = http::bearerToken(req);
    if (!token) {
        res.set_header("WWW-Authenticate", "Bearer");
        http::sendRestError(res, 401, "PGRST302", "Anonymous access is disabled");
        return false;
    }
    out = m_jwt.verifyCached(*token, nowSeconds());
    if (out.ok())
        return true;
    const bool claims =
        out.failure == Jwt::Failure::Expired || out.failure == Jwt::Failure::BadClaims;
    res.set_header("WWW-Authenticate",
                   "Bearer error=\"invalid_token\", error_description=\"" + out.message + "\"");
    http::sendRestError(res, 401, claims ? "PGRST303" : "PGRST301", out.message);
    return false;
}

void RestApi::dispatch(const httplib::Request &req, httplib::Response &res, TableHandler handler) {
    // The token is checked before the path, as the hosted service does.
    Jwt::Verified caller;
    if (!authenticate(req, res, caller))
        return;
    const std::string name = req.matches[1];
    const TableDef *table = findTable(name);
    if (!table) {
        http::sendRestError(res, 404, "PGRST205",
                            "Could not find the table 'public." + name + "' in the schema cache");
        return;
    }
    try {
        auto parsed = rest::parseQuery(*table, http::queryParams(req));
        if (auto *error = std::get_if<rest::Error>(&parsed))
            return sendError(res, *error);
        const auto prefer = rest::Prefer::parse(headerValues(req, "Prefer"));
        (this->*handler)(req, res, {std::get<rest::Query>(parsed), prefer, caller});
    } catch (...) {
        sendFailure(ApiForm::Rest, req, res, std::current_exception());
    }
}

RestApi::Outcome RestApi::execute(const Jwt::Verified &caller, const rest::Statement &statement) {
    const Db::Rows result = m_db.queryAsUser(caller.claimsJson, statement.sql, statement.params);
    if (result.rows.size() != 1 || result.columns != 4)
        throw std::runtime_error("unexpected result shape");
    const auto &row = result.rows.front();
    Outcome outcome;
    if (row[0])
        outcome.total = std::stoll(*row[0]);
    outcome.page = std::stoll(row[1].value_or("0"));
    outcome.inserted = std::stoll(row[2].value_or("0"));
    outcome.body = row[3].value_or("");
    return outcome;
}

void RestApi::read(const httplib::Request &, httplib::Response &res, const Call &call) {
    const rest::Query &query = call.query;
    const Outcome outcome = execute(call.caller, rest::buildSelect(query, call.prefer.countExact));
    const int status = rest::readStatus(query.offset, outcome.page, outcome.total);
    res.set_header(
        "Content-Range",
        rest::contentRange(query.offset, query.offset + outcome.page - 1, outcome.total));
    if (call.prefer.countExact)
        res.set_header("Preference-Applied", "count=exact");
    if (status == 416) {
        http::sendRestError(res, 416, "PGRST103", "Requested range not satisfiable",
                            "An offset of " + std::to_string(query.offset) +
                                " was requested, but there are only " +
                                std::to_string(*outcome.total) + " rows.");
        return;
    }
    http::sendJson(res, status, outcome.body);
}

void RestApi::insert(const httplib::Request &req, httplib::Response &res, const Call &call) {
    nlohmann::json body;
    if (!parseBody(req.body, body) || !(body.is_object() || body.is_array()))
        return sendInvalidBody(res);
    std::vector<std::string> columns;
    if (!insertColumns(res, *call.query.table, body, columns))
        return;

    const rest::Prefer &prefer = call.prefer;
    const bool upsert =
        !call.query.onConflict.empty() && prefer.resolution != rest::Prefer::Resolution::None;
    Outcome outcome;
    if (body.is_array() && body.empty())
        outcome.body = "[]"; // nothing to insert
    else
        outcome = execute(call.caller,
                          rest::buildInsert(call.query, columns,
                                            body.is_object() ? "[" + req.body + "]" : req.body,
                                            prefer.resolution, call.returnRows()));
    const bool merged = upsert && prefer.resolution == rest::Prefer::Resolution::MergeDuplicates &&
                        outcome.inserted <= 0;
    sendWritten(res, call, outcome, {1, 0}, upsert, merged ? 200 : 201, merged ? 200 : 201);
}

void RestApi::update(const httplib::Request &req, httplib::Response &res, const Call &call) {
    nlohmann::json body;
    if (!parseBody(req.body, body) || !body.is_object())
        return sendInvalidBody(res);
    std::vector<std::string> columns;
    if (!payloadColumns(res, *call.query.table, body, columns))
        return;

    Outcome outcome;
    if (!columns.empty())
        outcome = execute(call.caller,
                          rest::buildUpdate(call.query, columns, req.body, call.returnRows()));
    else
        outcome.body = "[]"; // nothing to change
    sendWritten(res, call, outcome, {0, outcome.page - 1}, false, 200, 204);
}

void RestApi::remove(const httplib::Request &, httplib::Response &res, const Call &call) {
    const Outcome outcome = execute(call.caller, rest::buildDelete(call.query, call.returnRows()));
    sendWritten(res, call, outcome, {1, 0}, false, 200, 204);
}

void RestApi::sendWritten(httplib::Response &res, const Call &call, const Outcome &outcome,
                          std::pair<int64_t, int64_t> range, bool withResolution, int rowsStatus,
                          int minimalStatus) {
    const auto total = call.prefer.countExact ? std::optional<int64_t>(outcome.page) : std::nullopt;
    res.set_header("Content-Range", rest::contentRange(range.first, range.second, total));
    if (const auto applied = call.prefer.applied(withResolution); !applied.empty())
        res.set_header("Preference-Applied", applied);
    if (call.returnRows())
        http::sendJson(res, rowsStatus, outcome.body);
    else
        res.status = minimalStatus;
}

void RestApi::rpc(const httplib::Request &req, httplib::Response &res, const std::string &name,
                  const Jwt::Verified &caller) {
    // The only function the API offers takes no arguments.
    std::string arguments;
    if (!req.body.empty()) {
        nlohmann::json body;
        if (!parseBody(req.body, body) || !body.is_object())
            return sendInvalidBody(res);
        for (const auto &item : body.items())
            arguments += (arguments.empty() ? "" : ", ") + item.key();
    }
    if (name != "delete_account" || !arguments.empty()) {
        http::sendRestError(
            res, 404, "PGRST202",
            "Could not find the function public." + name +
                (arguments.empty() ? " without parameters" : "(" + arguments + ")") +
                " in the schema cache");
        return;
    }
    m_db.queryAsUser(caller.claimsJson, "SELECT public.delete_account()", {});
    res.status = 204;
}
