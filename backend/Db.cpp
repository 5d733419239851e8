#include "Db.h"

#include "Crypto.h"

#include <libpq-fe.h>
#include <nlohmann/json.hpp>
#include <poll.h>

#include <cstdlib>
#include <sstream>

namespace {

// Distinct statement texts come from the few shapes of query the API accepts; the cap
// only guards against a client that invents endless shapes.
constexpr size_t maxPreparedPerConnection = 256;

const char *sessionSetup = "SET TIME ZONE 'UTC'; SET statement_timeout = '8s'; "
                           "SET application_name = 'greetwell-backend'";
// The API's statements are small index scans whose best plan does not depend on the
// values bound; planning each execution anew (PostgreSQL's custom plans) cost more than
// running them.
const char *statementSetup = "SET plan_cache_mode = force_generic_plan";

// The role and claims every request on the caller's behalf starts with. The session check
// (backend/sql/060_local_session_check.sql) runs first, as the login role, and refuses
// tokens of ended sessions.
const char *claimsSql = "SELECT auth.require_session(NULLIF($2, '')::uuid, NULLIF($3, '')::uuid), "
                        "set_config('role', 'authenticated', true), "
                        "set_config('request.jwt.claims', $1, true)";

// The session and user a token's claims name, as the session check takes them: "" when
// the token names no session, and a session that cannot exist when the claim is not a
// session identifier.
std::pair<std::string, std::string> sessionOf(const std::string &claimsJson) {
    const auto claims = nlohmann::json::parse(claimsJson, nullptr, false);
    if (!claims.is_object())
        return {"00000000-0000-0000-0000-000000000000", ""};
    auto text = [&](const char *key) -> std::optional<std::string> {
        const auto it = claims.find(key);
        if (it == claims.end())
            return std::nullopt;
        return it->is_string() ? it->get<std::string>() : std::string();
    };
    const auto sub = text("sub").value_or("");
    const auto session = text("session_id");
    if (!session)
        return {"", crypto::isUuid(sub) ? sub : ""};
    if (!crypto::isUuid(*session) || !crypto::isUuid(sub))
        return {"00000000-0000-0000-0000-000000000000", ""};
    return {*session, sub};
}

// An idle connection has nothing to read. When it does, the server has ended it (a
// restart sends a farewell message and closes the socket): it is dropped before use, so
// no request is sent down a dead connection.
bool looksDead(int socket) {
    if (socket < 0)
        return true;
    pollfd p{socket, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

struct ResultFree {
    void operator()(PGresult *r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultFree>;

std::optional<std::string> field(const PGresult *r, int code) {
    const char *value = PQresultErrorField(r, code);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

PgError errorOf(const PGresult *r) {
    PgError e;
    e.sqlstate = field(r, PG_DIAG_SQLSTATE).value_or("XX000");
    e.message = field(r, PG_DIAG_MESSAGE_PRIMARY).value_or(PQresultErrorMessage(r));
    e.details = field(r, PG_DIAG_MESSAGE_DETAIL);
    e.hint = field(r, PG_DIAG_MESSAGE_HINT);
    return e;
}

} // namespace

Db::Db(std::string connectionString, size_t statementPoolSize, size_t transactionPoolSize)
    : m_connectionString(std::move(connectionString)) {
    // The same settings as sessionSetup, as a fallback libpq applies to every connection
    // it opens, including one libpqxx reopens by itself after a lost connection.
    setenv("PGOPTIONS", "-c TimeZone=UTC -c statement_timeout=8s", 0);
    for (size_t i = 0; i < std::max<size_t>(1, statementPoolSize); ++i)
        m_statements.add(std::make_unique<PipeSlot>());
    for (size_t i = 0; i < std::max<size_t>(1, transactionPoolSize); ++i)
        m_transactions.add(std::make_unique<Slot>());
}

Db::~Db() {
    for (auto &slot : m_statements.all())
        discard(*slot);
}

void Db::connectAll() {
    for (auto &slot : m_transactions.all())
        ensureConnected(*slot);
    for (auto &slot : m_statements.all())
        ensureConnected(*slot);
}

void Db::ensureConnected(Slot &slot) {
    if (slot.conn && slot.conn->is_open() && !looksDead(slot.conn->sock()))
        return;
    slot.prepared.clear();
    try {
        slot.conn = std::make_unique<pqxx::connection>(m_connectionString);
        pqxx::nontransaction setup(*slot.conn);
        setup.exec(sessionSetup);
    } catch (const pqxx::broken_connection &e) {
        slot.conn.reset();
        throw Unavailable(e.what());
    }
}

void Db::ensureConnected(PipeSlot &slot) {
    if (slot.conn && PQstatus(slot.conn) == CONNECTION_OK && !looksDead(PQsocket(slot.conn)))
        return;
    discard(slot);
    slot.conn = PQconnectdb(m_connectionString.c_str());
    if (PQstatus(slot.conn) != CONNECTION_OK) {
        const std::string message = PQerrorMessage(slot.conn);
        discard(slot);
        throw Unavailable(message);
    }
    ResultPtr setup(PQexec(slot.conn, sessionSetup));
    if (PQresultStatus(setup.get()) != PGRES_COMMAND_OK) {
        const std::string message = PQresultErrorMessage(setup.get());
        discard(slot);
        throw Unavailable(message);
    }
    ResultPtr generic(PQexec(slot.conn, statementSetup));
    // The statement that opens every request, parsed once per connection.
    ResultPtr prepared(PQprepare(slot.conn, "gw_claims", claimsSql, 0, nullptr));
    if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
        const std::string message = PQresultErrorMessage(prepared.get());
        discard(slot);
        throw Unavailable(message);
    }
}

void Db::discard(Slot &slot) {
    slot.conn.reset();
    slot.prepared.clear();
}

void Db::discard(PipeSlot &slot) {
    if (slot.conn)
        PQfinish(slot.conn);
    slot.conn = nullptr;
    slot.prepared.clear();
}

Db::Rows Db::queryAsUser(const std::string &claimsJson, const std::string &sql,
                         const std::vector<std::string> &params) {
    Lease<PipeSlot> lease(m_statements, m_statements.acquire(m_acquireTimeout));
    PipeSlot &slot = *lease;

    std::vector<const char *> values;
    values.reserve(params.size());
    for (const auto &p : params)
        values.push_back(p.c_str());
    const auto [sessionId, userId] = sessionOf(claimsJson);
    const char *claims[] = {claimsJson.c_str(), sessionId.c_str(), userId.c_str()};

    PGconn *conn = nullptr;
    std::string name;
    bool preparing = false;
    int sent = 0, prepareIndex = 0, statementIndex = 0;
    auto broken = [&](const char *what) {
        const std::string message = std::string(what) + ": " + PQerrorMessage(conn);
        discard(slot);
        return Unavailable(message);
    };

    // The role and claims, then the statement: sent together, answered together. Every
    // message up to the sync point runs in one transaction, which PostgreSQL commits at
    // the sync (or rolls back after an error), so set_config(..., true) lasts exactly
    // for this request. Explicit BEGIN and COMMIT messages would only add work.
    // A failure while sending means the sync point never reached the server, so nothing
    // was committed: that is tried once more on a fresh connection. A failure after it
    // leaves the outcome unknown and is never retried.
    for (int attempt = 0;; ++attempt) {
        ensureConnected(slot);
        conn = slot.conn;
        name.clear();
        preparing = false;
        if (auto it = slot.prepared.find(sql); it != slot.prepared.end()) {
            name = it->second;
        } else if (slot.prepared.size() < maxPreparedPerConnection) {
            name = "gp" + std::to_string(slot.nextStatement++);
            preparing = true;
        }

        bool ok = PQenterPipelineMode(conn) == 1 &&
                  PQsendQueryPrepared(conn, "gw_claims", 3, claims, nullptr, nullptr, 0) == 1;
        sent = 1;
        prepareIndex = sent;
        if (ok && preparing) {
            ok = PQsendPrepare(conn, name.c_str(), sql.c_str(), 0, nullptr) == 1;
            ++sent;
        }
        statementIndex = sent;
        if (ok) {
            ok = name.empty() ? PQsendQueryParams(conn, sql.c_str(), int(values.size()), nullptr,
                                                  values.data(), nullptr, nullptr, 0) == 1
                              : PQsendQueryPrepared(conn, name.c_str(), int(values.size()),
                                                    values.data(), nullptr, nullptr, 0) == 1;
            ++sent;
        }
        ok = ok && PQpipelineSync(conn) == 1;
        if (ok)
            break;
        Unavailable failure = broken("could not send the statement");
        if (attempt > 0)
            throw failure;
    }

    // One result per command, each followed by a null; then the sync point.
    std::vector<ResultPtr> results;
    int nullsInARow = 0;
    while (true) {
        ResultPtr r(PQgetResult(conn));
        if (!r) {
            if (PQstatus(conn) != CONNECTION_OK || ++nullsInARow > 1)
                throw broken("connection lost");
            continue;
        }
        nullsInARow = 0;
        if (PQresultStatus(r.get()) == PGRES_PIPELINE_SYNC)
            break;
        results.push_back(std::move(r));
    }
    PQexitPipelineMode(conn);

    // A statement the server accepted stays prepared even when running it failed (a bad
    // value, say); remember it so that failing requests do not pile up new ones.
    if (preparing && int(results.size()) > prepareIndex &&
        PQresultStatus(results[size_t(prepareIndex)].get()) == PGRES_COMMAND_OK)
        slot.prepared.emplace(sql, name);

    // The first failure decides; the commands after it were skipped.
    std::optional<PgError> failure;
    for (const auto &r : results) {
        const auto status = PQresultStatus(r.get());
        if (status == PGRES_FATAL_ERROR) {
            failure = errorOf(r.get());
            break;
        }
    }
    if (failure)
        throw SqlError(*failure); // already rolled back at the sync point
    if (int(results.size()) != sent)
        throw broken("unexpected answer from the database");

    const PGresult *r = results[size_t(statementIndex)].get();
    Rows rows;
    rows.columns = PQnfields(r);
    const int count = PQntuples(r);
    rows.rows.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        auto &row = rows.rows[size_t(i)];
        row.reserve(size_t(rows.columns));
        for (int c = 0; c < rows.columns; ++c)
            row.push_back(PQgetisnull(r, i, c)
                              ? std::nullopt
                              : std::optional<std::string>(std::string(
                                    PQgetvalue(r, i, c), size_t(PQgetlength(r, i, c)))));
    }
    return rows;
}

void Db::begin(pqxx::work &work, Slot &slot, Role role, const std::string *claims) {
    Tx tx(work, slot);
    switch (role) {
    case Role::Login:
        break;
    case Role::Authenticated: {
        const auto [sessionId, userId] = sessionOf(*claims);
        tx.exec(claimsSql, std::vector<std::string>{*claims, sessionId, userId});
        break;
    }
    case Role::Service:
        tx.exec("SELECT set_config('role', 'service_role', true), "
                "set_config('request.jwt.claims', '{\"role\":\"service_role\"}', true)");
        break;
    }
}

pqxx::result Db::Tx::exec(const std::string &sql, const std::vector<std::string> &params) {
    auto it = m_slot.prepared.find(sql);
    if (it == m_slot.prepared.end()) {
        if (m_slot.prepared.size() >= maxPreparedPerConnection)
            return m_work.exec_params(sql, pqxx::prepare::make_dynamic_params(params));
        const std::string name = "gw" + std::to_string(m_slot.nextStatement++);
        m_slot.conn->prepare(name, sql);
        it = m_slot.prepared.emplace(sql, name).first;
    }
    return m_work.exec_prepared(it->second, pqxx::prepare::make_dynamic_params(params));
}

PgError describe(const pqxx::sql_error &error) {
    PgError out;
    out.sqlstate = error.sqlstate();
    // libpq's message: "ERROR:  text\nDETAIL:  text\nHINT:  text\n" (plus context lines).
    std::istringstream lines(error.what());
    std::string line;
    auto after = [](const std::string &text, const char *prefix) -> std::optional<std::string> {
        const std::string p(prefix);
        if (text.rfind(p, 0) != 0)
            return std::nullopt;
        size_t start = p.size();
        while (start < text.size() && text[start] == ' ')
            ++start;
        return text.substr(start);
    };
    bool first = true;
    while (std::getline(lines, line)) {
        if (first) {
            first = false;
            for (const char *severity : {"ERROR:", "FATAL:", "PANIC:"})
                if (auto m = after(line, severity)) {
                    out.message = *m;
                    break;
                }
            if (out.message.empty())
                out.message = line;
        } else if (auto d = after(line, "DETAIL:")) {
            out.details = *d;
        } else if (auto h = after(line, "HINT:")) {
            out.hint = *h;
        }
    }
    return out;
}
