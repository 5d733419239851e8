#include "ApiFailure.h"

#include "RestQuery.h"

#include <iostream>

ApiFailure ApiFailure::of(std::exception_ptr error) {
    using Kind = ApiFailure::Kind;
    if (!error)
        return {Kind::Internal, {}, "no exception"};
    try {
        std::rethrow_exception(error);
    } catch (const Db::SqlError &e) {
        return {Kind::Sql, e.error, e.what()};
    } catch (const pqxx::sql_error &e) {
        // A statement of a transaction (Db::Tx) the database refused.
        return {Kind::Sql, describe(e), e.what()};
    } catch (const Db::Unavailable &e) {
        return {Kind::Unavailable, {}, e.what()};
    } catch (const pqxx::broken_connection &e) {
        return {Kind::Unavailable, {}, e.what()};
    } catch (const std::exception &e) {
        return {Kind::Internal, {}, e.what()};
    } catch (...) {
        return {Kind::Internal, {}, "unknown exception"};
    }
}

void logFailure(const http::Request &req, const ApiFailure &failure) {
    if (failure.kind == ApiFailure::Kind::Unavailable)
        return;
    std::cerr << "greetwell-backend: internal error on " << req.path << ": " << failure.what
              << std::endl;
}

void sendFailure(ApiForm form, const http::Request &req, http::Response &res,
                 std::exception_ptr error) {
    ApiFailure failure = ApiFailure::of(error);
    // Only the REST API hands a refused statement's SQLSTATE to its clients; the others'
    // statements are the server's own, so their refusal is a fault of ours.
    if (failure.kind == ApiFailure::Kind::Sql && form != ApiForm::Rest)
        failure.kind = ApiFailure::Kind::Internal;
    logFailure(req, failure);
    const bool unavailable = failure.kind == ApiFailure::Kind::Unavailable;
    switch (form) {
    case ApiForm::Rest:
        if (failure.kind == ApiFailure::Kind::Sql)
            http::sendRestError(res, rest::statusForSqlState(failure.sql.sqlstate),
                                failure.sql.sqlstate, failure.sql.message, failure.sql.details,
                                failure.sql.hint);
        else if (unavailable)
            http::sendRestError(res, 503, "PGRST001",
                                "Database client error. Retrying the connection.", failure.what);
        else
            http::sendRestError(res, 500, "PGRSTX00", "Internal server error");
        return;
    case ApiForm::Auth:
        if (unavailable)
            http::sendAuthError(req, res, 503, "unexpected_failure",
                                "The database is not available");
        else
            http::sendAuthError(req, res, 500, "unexpected_failure",
                                "Unexpected failure, please try again");
        return;
    case ApiForm::Web:
        if (unavailable)
            http::sendWebError(res, 503, "The service is busy or unavailable. Please try again.");
        else
            http::sendWebError(res, 500, "Something went wrong on the server. Please try again.");
        return;
    }
}
