#pragma once

#include "Db.h"
#include "Jwt.h"
#include "RestQuery.h"

#include "Http.h"

#include <functional>

// rest/v1: the account's tables as the hosted REST service answers for them. Every request
// runs in one transaction as role `authenticated` with the caller's verified claims, so
// the row-level security policies decide what it sees and changes.
class RestApi {
public:
    RestApi(Db &db, const Jwt &jwt);

    void install(httplib::Server &server);

    // Verifies the bearer token as the REST service does; on failure answers 401 with
    // its error body and WWW-Authenticate header and returns false.
    bool authenticate(const httplib::Request &req, httplib::Response &res,
                      Jwt::Verified &out) const;

private:
    // One table request after its checks: the plan, the preferences and the caller.
    struct Call {
        const rest::Query &query;
        const rest::Prefer &prefer;
        const Jwt::Verified &caller;
        bool returnRows() const { return prefer.ret == rest::Prefer::Return::Representation; }
    };
    void read(const httplib::Request &req, httplib::Response &res, const Call &call);
    void insert(const httplib::Request &req, httplib::Response &res, const Call &call);
    void update(const httplib::Request &req, httplib::Response &res, const Call &call);
    void remove(const httplib::Request &req, httplib::Response &res, const Call &call);
    void rpc(const httplib::Request &req, httplib::Response &res, const std::string &name,
             const Jwt::Verified &caller);

    using TableHandler = void (RestApi::*)(const httplib::Request &, httplib::Response &,
                                           const Call &);
    void dispatch(const httplib::Request &req, httplib::Response &res, TableHandler handler);

    // Runs the statement as the caller and hands back its single result row's values.
    struct Outcome {
        std::optional<int64_t> total;
        int64_t page = 0;
        int64_t inserted = 0;
        std::string body;
    };
    Outcome execute(const Jwt::Verified &caller, const rest::Statement &statement);
    // The answer to a write: Content-Range over `range` (with the count when asked),
    // Preference-Applied, then the rows or only the status.
    static void sendWritten(httplib::Response &res, const Call &call, const Outcome &outcome,
                            std::pair<int64_t, int64_t> range, bool withResolution, int rowsStatus,
                            int minimalStatus);

    Db &m_db;
    const Jwt &m_jwt;
};
