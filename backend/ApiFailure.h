#pragma once

#include "Db.h"
#include "Http.h"

#include <exception>
#include <string>

// What a failure a handler let through means for its answer, in one place for every API:
// the database refusing a statement, the database out of reach, or a fault of ours.
struct ApiFailure {
    enum class Kind { Sql, Unavailable, Internal };
    Kind kind = Kind::Internal;
    PgError sql; // for Kind::Sql
    std::string what;

    static ApiFailure of(std::exception_ptr error);
};

// The error body a failure is answered with.
enum class ApiForm {
    Rest, // {"code","details","hint","message"}; statement errors keep their SQLSTATE
    Auth, // the auth API's error body; statement errors count as faults of ours
    Web,  // {"error": message}; likewise
};

// Answers a handler's failure in the API's form (503 while the database is out of reach);
// faults of ours are logged with the request's path.
void sendFailure(ApiForm form, const http::Request &req, http::Response &res,
                 std::exception_ptr error);
// Writes a fault of ours to the log; other failures are no news.
void logFailure(const http::Request &req, const ApiFailure &failure);
