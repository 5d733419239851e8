#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Response helpers shared by the APIs.
namespace http {

inline constexpr const char *jsonType = "application/json; charset=utf-8";

void sendJson(httplib::Response &res, int status, const std::string &body);
void sendJson(httplib::Response &res, int status, const nlohmann::ordered_json &body);

// The REST API's error body: {"code","details","hint","message"}.
void sendRestError(httplib::Response &res, int status, const std::string &code,
                   const std::string &message, const std::optional<std::string> &details = {},
                   const std::optional<std::string> &hint = {});

// The auth API's error body. With the request header X-Supabase-Api-Version of
// 2024-01-01 or later it is {"code":"<error_code>","message":...}; without it the older
// {"code":<status>,"error_code":...,"msg":...}.
void sendAuthError(const httplib::Request &req, httplib::Response &res, int status,
                   const std::string &errorCode, const std::string &message);

// The website API's error body: {"error": message}.
void sendWebError(httplib::Response &res, int status, const std::string &message);

// The token of an "Authorization: Bearer <token>" header; nullopt when the header is
// absent, an empty string when it is present but carries no bearer token.
std::optional<std::string> bearerToken(const httplib::Request &req);

// The request's query parameters, in the order sent, read from the request target only
// (the HTTP library would also mix in the fields of a form-encoded body). "+" decodes to a
// space, as in every query string; clients send a literal plus as %2B.
std::vector<std::pair<std::string, std::string>> queryParams(const httplib::Request &req);
// Decodes one form or query component: "+" is a space, %XX a byte.
std::string decodeComponent(std::string_view text);
// The first value of a query parameter, or "" when absent.
std::string queryParam(const httplib::Request &req, const std::string &key);
bool hasQueryParam(const httplib::Request &req, const std::string &key);

// Percent-encodes a query component (RFC 3986 unreserved characters stay as they are).
std::string urlEncode(const std::string &value);

} // namespace http
