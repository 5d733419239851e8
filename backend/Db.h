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

struct pg_conn;

// The parts of a PostgreSQL error a response carries.
struct PgError {
    std::string sqlstate;
    std::string message;
    std::optional<std::string> details;
    std::optional<std::string> hint;
};
PgError describe(const pqxx::sql_error &error);

// Connections to PostgreSQL and the transaction helpers every endpoint uses. Requests
// never connect on their own: they borrow a pooled connection for one transaction.
//
// Two pools:
//  - transactions of several statements (the auth API, website code) run on libpqxx
//    connections through asUser/asService/asServer;
//  - the REST API's single statements run through queryAsUser on plain libpq connections
//    in pipeline mode, so the role and claims and the statement travel in one round trip
//    and run as one transaction. That path carries the desks' polling.
class Db {
public:
    Db(std::string connectionString, size_t statementPoolSize, size_t transactionPoolSize);
    ~Db();
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // Opens every connection once, so a wrong connection string fails at start-up.
    void connectAll();

    // No connection became free in time, or the database is unreachable.
    struct Unavailable : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    // The database refused a statement; carries its SQLSTATE and texts.
    struct SqlError : std::runtime_error {
        explicit SqlError(PgError e) : std::runtime_error(e.message), error(std::move(e)) {}
        PgError error;
    };

    // The rows of one statement, as text (nullopt for SQL NULL).
    struct Rows {
        int columns = 0;
        std::vector<std::vector<std::optional<std::string>>> rows;
    };

    // Runs one statement in its own transaction as role `authenticated` with
    // `request.jwt.claims` set to `claimsJson`, so the row-level security policies decide
    // what it sees and may change. Throws SqlError or Unavailable.
    Rows queryAsUser(const std::string &claimsJson, const std::string &sql,
                     const std::vector<std::string> &params);

    class Tx;

    // Runs `fn(Tx&)` in one transaction. Roles:
    //  - asUser: `authenticated` with the caller's claims (as queryAsUser);
    //  - asService: `service_role`, which bypasses row-level security (server-side code
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
    struct PipeSlot {
        pg_conn *conn = nullptr;
        std::unordered_map<std::string, std::string> prepared;
        size_t nextStatement = 0;
    };
    enum class Role { Login, Authenticated, Service };

    template <class T> class Pool {
    public:
        void add(std::unique_ptr<T> item) {
            m_free.push_back(item.get());
            m_all.push_back(std::move(item));
        }
        T *acquire(std::chrono::milliseconds timeout) {
            std::unique_lock lock(m_mutex);
            if (!m_available.wait_for(lock, timeout, [this] { return !m_free.empty(); }))
                throw Unavailable("Timed out acquiring connection from connection pool.");
            T *item = m_free.back();
            m_free.pop_back();
            return item;
        }
        void release(T *item) {
            {
                std::lock_guard lock(m_mutex);
                m_free.push_back(item);
            }
            m_available.notify_one();
        }
        std::vector<std::unique_ptr<T>> &all() { return m_all; }

    private:
        std::vector<std::unique_ptr<T>> m_all;
        std::vector<T *> m_free;
        std::mutex m_mutex;
        std::condition_variable m_available;
    };
    template <class T> class Lease {
    public:
        Lease(Pool<T> &pool, T *item) : m_pool(pool), m_item(item) {}
        ~Lease() { m_pool.release(m_item); }
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        T &operator*() { return *m_item; }

    private:
        Pool<T> &m_pool;
        T *m_item;
    };

    void ensureConnected(Slot &slot);
    void ensureConnected(PipeSlot &slot);
    static void discard(Slot &slot);
    static void discard(PipeSlot &slot);
    static void begin(pqxx::work &work, Slot &slot, Role role, const std::string *claims);

    // A connection lost before fn's first statement (while opening the transaction) is
    // replaced and the transaction tried once more: nothing of the caller's had reached
    // the server. Once fn has run, a lost connection is never retried, because its
    // outcome is unknown (and fn may have done more than SQL, such as writing a mail).
    template <class F> auto run(Role role, const std::string *claims, F &&fn) {
        Lease<Slot> lease(m_transactions, m_transactions.acquire(m_acquireTimeout));
        for (int attempt = 0;; ++attempt) {
            bool started = false;
            try {
                ensureConnected(*lease);
                pqxx::work work(*(*lease).conn);
                Tx tx(work, *lease);
                begin(work, *lease, role, claims);
                started = true;
                if constexpr (std::is_void_v<decltype(fn(tx))>) {
                    fn(tx);
                    work.commit();
                    return;
                } else {
                    auto result = fn(tx);
                    work.commit();
                    return result;
                }
            } catch (const pqxx::broken_connection &e) {
                discard(*lease);
                if (started || attempt > 0)
                    throw Unavailable(e.what());
            } catch (const pqxx::in_doubt_error &e) {
                discard(*lease);
                throw Unavailable(e.what());
            }
        }
    }

    std::string m_connectionString;
    Pool<PipeSlot> m_statements;
    Pool<Slot> m_transactions;
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
