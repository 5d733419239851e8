#pragma once

#include <pqxx/pqxx>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

// A fixed pool of PostgreSQL connections and the transaction helpers every endpoint uses.
// Requests never connect on their own: they borrow a connection for one transaction.
class Db {
public:
    Db(std::string connectionString, size_t poolSize);
    ~Db();
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // Opens every connection once, so a wrong connection string fails at start-up.
    void connectAll();

    class Tx;
    // Raised when no connection became free in time, or the database is unreachable.
    struct Unavailable : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Runs `fn(Tx&)` in one transaction. Roles:
    //  - asUser: role `authenticated` with `request.jwt.claims` set to `claimsJson`, so
    //    the row-level security policies decide what the statement sees and may change;
    //  - asService: role `service_role` (bypasses row-level security; server-side code
    //    acting for a verified caller, such as creating an invite);
    //  - asServer: the login role itself, which may use the auth schema only.
    // The transaction commits when fn returns and rolls back when it throws.
    template <class F> auto asUser(const std::string &claimsJson, F &&fn) {
        return run(Role::Authenticated, &claimsJson, std::forward<F>(fn));
    }
    template <class F> auto asService(F &&fn) {
        return run(Role::Service, nullptr, std::forward<F>(fn));
    }
    template <class F> auto asServer(F &&fn) {
        return run(Role::Login, nullptr, std::forward<F>(fn));
    }

private:
    struct Slot {
        std::unique_ptr<pqxx::connection> conn;
        std::unordered_map<std::string, std::string> prepared; // SQL text -> statement name
        size_t nextStatement = 0;
    };
    enum class Role { Login, Authenticated, Service };

    class Lease {
    public:
        Lease(Db &db, Slot *slot) : m_db(db), m_slot(slot) {}
        ~Lease() { m_db.release(m_slot); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Slot &slot() { return *m_slot; }

    private:
        Db &m_db;
        Slot *m_slot;
    };

    Slot *acquire();
    void release(Slot *slot);
    void ensureConnected(Slot &slot);
    void discard(Slot &slot);
    void begin(pqxx::work &work, Slot &slot, Role role, const std::string *claims);

    template <class F> auto run(Role role, const std::string *claims, F &&fn) {
        Lease lease(*this, acquire());
        try {
            ensureConnected(lease.slot());
            pqxx::work work(*lease.slot().conn);
            Tx tx(work, lease.slot());
            begin(work, lease.slot(), role, claims);
            if constexpr (std::is_void_v<decltype(fn(tx))>) {
                fn(tx);
                work.commit();
            } else {
                auto result = fn(tx);
                work.commit();
                return result;
            }
        } catch (const pqxx::broken_connection &e) {
            discard(lease.slot());
            throw Unavailable(e.what());
        } catch (const pqxx::in_doubt_error &e) {
            discard(lease.slot());
            throw Unavailable(e.what());
        }
    }

    std::string m_connectionString;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<Slot *> m_free;
    std::mutex m_mutex;
    std::condition_variable m_available;
    std::chrono::milliseconds m_acquireTimeout{10000};

public:
    // One transaction's handle: statements with bound parameters only. Statement texts
    // are prepared once per connection, so repeated requests skip parsing and planning.
    class Tx {
    public:
        Tx(pqxx::work &work, Slot &slot) : m_work(work), m_slot(slot) {}
        pqxx::result exec(const std::string &sql, const std::vector<std::string> &params = {});
        template <class... Args> pqxx::result exec(const std::string &sql, const Args &...args) {
            return exec(sql, std::vector<std::string>{std::string(args)...});
        }
        pqxx::work &work() { return m_work; }

    private:
        pqxx::work &m_work;
        Slot &m_slot;
    };
};

// The parts of a PostgreSQL error a response carries.
struct PgError {
    std::string sqlstate;
    std::string message;
    std::optional<std::string> details;
    std::optional<std::string> hint;
};
PgError describe(const pqxx::sql_error &error);
