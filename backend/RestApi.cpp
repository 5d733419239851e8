#include "RestApi.h"

#include "Http.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <iostream>
#include <set>

namespace {

constexpr int maxJsonDepth = 64;

int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

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
            sendRestException(res, std::current_exception());
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
        (this->*handler)(req, res, *table, caller);
    } catch (...) {
        sendRestException(res, std::current_exception());
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

void RestApi::read(const httplib::Request &req, httplib::Response &res, const TableDef &table,
                   const Jwt::Verified &caller) {
    auto parsed = rest::parseQuery(table, http::queryParams(req));
    if (auto *error = std::get_if<rest::Error>(&parsed))
        return sendError(res, *error);
    const auto &query = std::get<rest::Query>(parsed);
    const auto prefer = rest::Prefer::parse(headerValues(req, "Prefer"));

    const Outcome outcome = execute(caller, rest::buildSelect(query, prefer.countExact));
    const int status = rest::readStatus(query.offset, outcome.page, outcome.total);
    res.set_header(
        "Content-Range",
        rest::contentRange(query.offset, query.offset + outcome.page - 1, outcome.total));
    if (prefer.countExact)
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

void RestApi::insert(const httplib::Request &req, httplib::Response &res, const TableDef &table,
                     const Jwt::Verified &caller) {
    auto parsed = rest::parseQuery(table, http::queryParams(req));
    if (auto *error = std::get_if<rest::Error>(&parsed))
        return sendError(res, *error);
    const auto &query = std::get<rest::Query>(parsed);
    const auto prefer = rest::Prefer::parse(headerValues(req, "Prefer"));

    nlohmann::json body;
    if (!parseBody(req.body, body) || !(body.is_object() || body.is_array()))
        return sendInvalidBody(res);
    // One object or an array of objects that all carry the same keys.
    std::vector<std::string> columns;
    std::string payload;
    if (body.is_object()) {
        if (!payloadColumns(res, table, body, columns))
            return;
        payload = "[" + req.body + "]";
    } else {
        std::set<std::string> firstKeys;
        for (size_t i = 0; i < body.size(); ++i) {
            const auto &element = body[i];
            if (!element.is_object())
                return sendInvalidBody(res);
            std::set<std::string> keys;
            for (const auto &item : element.items())
                keys.insert(item.key());
            if (i == 0) {
                if (!payloadColumns(res, table, element, columns))
                    return;
                firstKeys = std::move(keys);
            } else if (keys != firstKeys) {
                return sendInvalidBody(res, "All object keys must match");
            }
        }
        payload = req.body;
    }

    const bool returnRows = prefer.ret == rest::Prefer::Return::Representation;
    const bool upsert =
        !query.onConflict.empty() && prefer.resolution != rest::Prefer::Resolution::None;
    Outcome outcome;
    if (body.is_array() && body.empty())
        outcome.body = "[]"; // nothing to insert
    else
        outcome = execute(
            caller, rest::buildInsert(query, columns, payload, prefer.resolution, returnRows));

    int status = 201;
    if (upsert && prefer.resolution == rest::Prefer::Resolution::MergeDuplicates &&
        outcome.inserted <= 0)
        status = 200;
    res.set_header("Content-Range",
                   rest::contentRange(1, 0,
                                      prefer.countExact ? std::optional<int64_t>(outcome.page)
                                                        : std::nullopt));
    if (const auto applied = prefer.applied(upsert); !applied.empty())
        res.set_header("Preference-Applied", applied);
    if (returnRows)
        http::sendJson(res, status, outcome.body);
    else
        res.status = status;
}

void RestApi::update(const httplib::Request &req, httplib::Response &res, const TableDef &table,
                     const Jwt::Verified &caller) {
    auto parsed = rest::parseQuery(table, http::queryParams(req));
    if (auto *error = std::get_if<rest::Error>(&parsed))
        return sendError(res, *error);
    const auto &query = std::get<rest::Query>(parsed);
    const auto prefer = rest::Prefer::parse(headerValues(req, "Prefer"));

    nlohmann::json body;
    if (!parseBody(req.body, body) || !body.is_object())
        return sendInvalidBody(res);
    std::vector<std::string> columns;
    if (!payloadColumns(res, table, body, columns))
        return;

    const bool returnRows = prefer.ret == rest::Prefer::Return::Representation;
    Outcome outcome;
    if (!columns.empty())
        outcome = execute(caller, rest::buildUpdate(query, columns, req.body, returnRows));
    else
        outcome.body = "[]"; // nothing to change

    res.set_header("Content-Range",
                   rest::contentRange(0, outcome.page - 1,
                                      prefer.countExact ? std::optional<int64_t>(outcome.page)
                                                        : std::nullopt));
    if (const auto applied = prefer.applied(false); !applied.empty())
        res.set_header("Preference-Applied", applied);
    if (returnRows)
        http::sendJson(res, 200, outcome.body);
    else
        res.status = 204;
}

void RestApi::remove(const httplib::Request &req, httplib::Response &res, const TableDef &table,
                     const Jwt::Verified &caller) {
    auto parsed = rest::parseQuery(table, http::queryParams(req));
    if (auto *error = std::get_if<rest::Error>(&parsed))
        return sendError(res, *error);
    const auto &query = std::get<rest::Query>(parsed);
    const auto prefer = rest::Prefer::parse(headerValues(req, "Prefer"));

    const bool returnRows = prefer.ret == rest::Prefer::Return::Representation;
    const Outcome outcome = execute(caller, rest::buildDelete(query, returnRows));
    res.set_header("Content-Range",
                   rest::contentRange(1, 0,
                                      prefer.countExact ? std::optional<int64_t>(outcome.page)
                                                        : std::nullopt));
    if (const auto applied = prefer.applied(false); !applied.empty())
        res.set_header("Preference-Applied", applied);
    if (returnRows)
        http::sendJson(res, 200, outcome.body);
    else
        res.status = 204;
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

void sendRestException(httplib::Response &res, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Db::SqlError &e) {
        const PgError &pg = e.error;
        http::sendRestError(res, rest::statusForSqlState(pg.sqlstate), pg.sqlstate, pg.message,
                            pg.details, pg.hint);
    } catch (const pqxx::sql_error &e) {
        const PgError pg = describe(e);
        http::sendRestError(res, rest::statusForSqlState(pg.sqlstate), pg.sqlstate, pg.message,
                            pg.details, pg.hint);
    } catch (const Db::Unavailable &e) {
        http::sendRestError(res, 503, "PGRST001", "Database client error. Retrying the connection.",
                            e.what());
    } catch (const pqxx::broken_connection &e) {
        http::sendRestError(res, 503, "PGRST001", "Database client error. Retrying the connection.",
                            e.what());
    } catch (const std::exception &e) {
        std::cerr << "greetwell-backend: internal error: " << e.what() << std::endl;
        http::sendRestError(res, 500, "PGRSTX00", "Internal server error");
    }
}
