#include "Db.h"

#include <sstream>

namespace {
// Distinct statement texts come from the few shapes of query the API accepts; the cap
// only guards against a client that invents endless shapes.
constexpr size_t maxPreparedPerConnection = 256;
} // namespace

Db::Db(std::string connectionString, size_t poolSize)
    : m_connectionString(std::move(connectionString)) {
    if (poolSize == 0)
        poolSize = 1;
    for (size_t i = 0; i < poolSize; ++i) {
        m_slots.push_back(std::make_unique<Slot>());
        m_free.push_back(m_slots.back().get());
    }
}

Db::~Db() = default;

void Db::connectAll() {
    for (auto &slot : m_slots)
        ensureConnected(*slot);
}

Db::Slot *Db::acquire() {
    std::unique_lock lock(m_mutex);
    if (!m_available.wait_for(lock, m_acquireTimeout, [this] { return !m_free.empty(); }))
        throw Unavailable("Timed out acquiring connection from connection pool.");
    Slot *slot = m_free.back();
    m_free.pop_back();
    return slot;
}

void Db::release(Slot *slot) {
    {
        std::lock_guard lock(m_mutex);
        m_free.push_back(slot);
    }
    m_available.notify_one();
}

void Db::ensureConnected(Slot &slot) {
    if (slot.conn && slot.conn->is_open())
        return;
    slot.prepared.clear();
    try {
        slot.conn = std::make_unique<pqxx::connection>(m_connectionString);
        // Timestamps come back in UTC, as the hosted service answers; no statement may
        // hold a connection for long.
        pqxx::nontransaction setup(*slot.conn);
        setup.exec("SET TIME ZONE 'UTC'; SET statement_timeout = '8s'; "
                   "SET application_name = 'greetwell-backend'");
    } catch (const pqxx::broken_connection &e) {
        slot.conn.reset();
        throw Unavailable(e.what());
    }
}

void Db::discard(Slot &slot) {
    slot.conn.reset();
    slot.prepared.clear();
}

void Db::begin(pqxx::work &work, Slot &slot, Role role, const std::string *claims) {
    Tx tx(work, slot);
    switch (role) {
    case Role::Login:
        break;
    case Role::Authenticated:
        tx.exec("SELECT set_config('role', 'authenticated', true), "
                "set_config('request.jwt.claims', $1, true)",
                std::vector<std::string>{*claims});
        break;
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
