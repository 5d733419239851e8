#pragma once

#include <nlohmann/json.hpp>

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace http {

// Header names compare without regard to case.
struct CaseInsensitiveLess {
    bool operator()(const std::string &a, const std::string &b) const;
};
using Headers = std::multimap<std::string, std::string, CaseInsensitiveLess>;

// One request as the handlers see it, once the transport has read and checked it.
struct Request {
    std::string method;
    std::string target; // as sent: path and query
    std::string path;   // the target's path, percent-decoded
    Headers headers;
    std::string body; // decoded from chunks when sent chunked
    std::string remote_addr;
    int remote_port = 0;
    std::smatch matches; // the route's capture groups, into `path`

    bool has_header(const std::string &name) const;
    // The index-th value of a header sent more than once; "" when absent.
    std::string get_header_value(const std::string &name, size_t index = 0) const;
    size_t get_header_value_count(const std::string &name) const;
};

struct Response {
    int status = -1; // -1 until set: 200 once a handler ran
    Headers headers;
    std::string body;

    // Adds a header (a second call with the same name adds a second line).
    void set_header(const std::string &name, const std::string &value);
    void set_content(std::string content, const std::string &contentType);
    bool has_header(const std::string &name) const;
    std::string get_header_value(const std::string &name) const;
};

// The routing table: handlers by method and path pattern, tried in the order added.
// A pattern is a regular expression matched against the whole decoded path.
class Routes {
public:
    using Handler = std::function<void(const Request &, Response &)>;

    void Get(const std::string &pattern, Handler handler); // also serves HEAD
    void Post(const std::string &pattern, Handler handler);
    void Put(const std::string &pattern, Handler handler);
    void Patch(const std::string &pattern, Handler handler);
    void Delete(const std::string &pattern, Handler handler);

    // Picks the requests that run one pooled statement each (see http::Server).
    std::function<bool(const Request &)> singleStatement;
    // Runs before routing; returns true when it answered the request itself.
    std::function<bool(const Request &, Response &)> preRouting;
    // Fills in the body of an answer of 400 or more that has none.
    std::function<void(const Request &, Response &)> onError;
    // Answers for a handler that threw.
    std::function<void(const Request &, Response &, std::exception_ptr)> onException;

    // Answers one request: the first matching handler, or 404. Never throws.
    void serve(Request &req, Response &res) const;
    // An answer the transport gives itself (malformed or oversized request, busy server).
    void refuse(const Request &req, Response &res, int status) const;

private:
    void add(const char *method, const std::string &pattern, Handler handler);
    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
    };
    std::vector<Route> m_routes;
};

// Response helpers shared by the APIs.

inline constexpr const char *jsonType = "application/json; charset=utf-8";

void sendJson(Response &res, int status, const std::string &body);
void sendJson(Response &res, int status, const nlohmann::ordered_json &body);

// The REST API's error body: {"code","details","hint","message"}.
void sendRestError(Response &res, int status, const std::string &code, const std::string &message,
                   const std::optional<std::string> &details = {},
                   const std::optional<std::string> &hint = {});

// The auth API's error body. With the request header X-Supabase-Api-Version of
// 2024-01-01 or later it is {"code":"<error_code>","message":...}; without it the older
// {"code":<status>,"error_code":...,"msg":...}.
void sendAuthError(const Request &req, Response &res, int status, const std::string &errorCode,
                   const std::string &message);

// The website API's error body: {"error": message}.
void sendWebError(Response &res, int status, const std::string &message);

// The token of an "Authorization: Bearer <token>" header; nullopt when the header is
// absent, an empty string when it is present but carries no bearer token.
std::optional<std::string> bearerToken(const Request &req);

// The request's query parameters, in the order sent, read from the request target only
// (never the fields of a form-encoded body). "+" decodes to a
// space, as in every query string; clients send a literal plus as %2B.
std::vector<std::pair<std::string, std::string>> queryParams(const Request &req);
// Decodes one form or query component: "+" is a space, %XX a byte.
std::string decodeComponent(std::string_view text);
// Decodes a URL path: %XX is a byte, "+" stays a plus.
std::string decodePath(std::string_view text);
// The first value of a query parameter, or "" when absent.
std::string queryParam(const Request &req, const std::string &key);
bool hasQueryParam(const Request &req, const std::string &key);

// Percent-encodes a query component (RFC 3986 unreserved characters stay as they are).
std::string urlEncode(const std::string &value);

} // namespace http

// The handlers were written against these names; they mean the types above.
namespace httplib {
using Request = http::Request;
using Response = http::Response;
using Headers = http::Headers;
using Server = http::Routes;
} // namespace httplib
