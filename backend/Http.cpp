#include "Http.h"

#include <string_view>
#include <strings.h>

namespace http {

bool CaseInsensitiveLess::operator()(const std::string &a, const std::string &b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool Request::has_header(const std::string &name) const {
    return headers.count(name) > 0;
}

std::string Request::get_header_value(const std::string &name, size_t index) const {
    auto [it, end] = headers.equal_range(name);
    for (; it != end; ++it, --index)
        if (index == 0)
            return it->second;
    return {};
}

size_t Request::get_header_value_count(const std::string &name) const {
    return headers.count(name);
}

void Response::set_header(const std::string &name, const std::string &value) {
    headers.emplace(name, value);
}

void Response::set_content(std::string content, const std::string &contentType) {
    body = std::move(content);
    headers.erase("Content-Type");
    headers.emplace("Content-Type", contentType);
}

bool Response::has_header(const std::string &name) const {
    return headers.count(name) > 0;
}

std::string Response::get_header_value(const std::string &name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

void Routes::add(const char *method, const std::string &pattern, Handler handler) {
    m_routes.push_back({method, std::regex(pattern), std::move(handler)});
}

void Routes::Get(const std::string &pattern, Handler handler) {
    add("GET", pattern, std::move(handler));
}
void Routes::Post(const std::string &pattern, Handler handler) {
    add("POST", pattern, std::move(handler));
}
void Routes::Put(const std::string &pattern, Handler handler) {
    add("PUT", pattern, std::move(handler));
}
void Routes::Patch(const std::string &pattern, Handler handler) {
    add("PATCH", pattern, std::move(handler));
}
void Routes::Delete(const std::string &pattern, Handler handler) {
    add("DELETE", pattern, std::move(handler));
}

void Routes::refuse(const Request &req, Response &res, int status) const {
    res = Response();
    res.status = status;
    if (onError) {
        try {
            onError(req, res);
        } catch (...) {
            res.body.clear(); // an answer without a body is still an answer
        }
    }
}

void Routes::serve(Request &req, Response &res) const {
    try {
        if (preRouting && preRouting(req, res)) {
            // answered before routing
        } else {
            const std::string &method = req.method == "HEAD" ? std::string("GET") : req.method;
            const Route *found = nullptr;
            for (const Route &route : m_routes)
                if (route.method == method &&
                    std::regex_match(req.path, req.matches, route.pattern)) {
                    found = &route;
                    break;
                }
            if (!found) {
                refuse(req, res, 404);
                return;
            }
            found->handler(req, res);
        }
        if (res.status == -1)
            res.status = 200;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        res = Response();
        try {
            if (onException)
                onException(req, res, error);
        } catch (...) {
        }
        if (res.status == -1)
            res.status = 500;
    }
    if (res.status >= 400 && res.body.empty()) {
        const int status = res.status;
        Headers kept = std::move(res.headers);
        refuse(req, res, status);
        res.headers.merge(kept);
    }
}

void sendJson(Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, jsonType);
}

void sendJson(Response &res, int status, const nlohmann::ordered_json &body) {
    sendJson(res, status, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void sendRestError(Response &res, int status, const std::string &code, const std::string &message,
                   const std::optional<std::string> &details,
                   const std::optional<std::string> &hint) {
    nlohmann::ordered_json body;
    body["code"] = code;
    body["details"] = details ? nlohmann::ordered_json(*details) : nlohmann::ordered_json();
    body["hint"] = hint ? nlohmann::ordered_json(*hint) : nlohmann::ordered_json();
    body["message"] = message;
    sendJson(res, status, body);
}

void sendAuthError(const Request &req, Response &res, int status, const std::string &errorCode,
                   const std::string &message) {
    nlohmann::ordered_json body;
    const std::string version = req.get_header_value("X-Supabase-Api-Version");
    // Dated versions compare as text; every version from 2024-01-01 on uses the new form.
    if (!version.empty() && version >= "2024-01-01") {
        body["code"] = errorCode;
        body["message"] = message;
    } else {
        body["code"] = status;
        body["error_code"] = errorCode;
        body["msg"] = message;
    }
    res.set_header("X-Sb-Error-Code", errorCode);
    sendJson(res, status, body);
}

void sendWebError(Response &res, int status, const std::string &message) {
    nlohmann::ordered_json body;
    body["error"] = message;
    sendJson(res, status, body);
}

std::optional<std::string> bearerToken(const Request &req) {
    if (!req.has_header("Authorization"))
        return std::nullopt;
    const std::string value = req.get_header_value("Authorization");
    // The scheme is case-insensitive.
    if (value.size() < 7)
        return std::string();
    std::string scheme = value.substr(0, 7);
    for (char &c : scheme)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "bearer ")
        return std::string();
    size_t start = 7;
    while (start < value.size() && value[start] == ' ')
        ++start;
    size_t end = value.size();
    while (end > start && value[end - 1] == ' ')
        --end;
    return value.substr(start, end - start);
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

namespace {

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plusIsSpace) {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string decodeComponent(std::string_view text) {
    return percentDecode(text, true);
}

std::string decodePath(std::string_view text) {
    return percentDecode(text, false);
}

std::vector<std::pair<std::string, std::string>> queryParams(const Request &req) {
    std::vector<std::pair<std::string, std::string>> params;
    const size_t question = req.target.find('?');
    if (question == std::string::npos)
        return params;
    std::string_view query(req.target);
    query.remove_prefix(question + 1);
    if (const size_t hash = query.find('#'); hash != std::string_view::npos)
        query = query.substr(0, hash);
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        if (!item.empty()) {
            const size_t eq = item.find('=');
            params.emplace_back(decodeComponent(item.substr(0, eq)),
                                eq == std::string_view::npos
                                    ? std::string()
                                    : decodeComponent(item.substr(eq + 1)));
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return params;
}

std::string queryParam(const Request &req, const std::string &key) {
    for (const auto &[k, v] : queryParams(req))
        if (k == key)
            return v;
    return {};
}

bool hasQueryParam(const Request &req, const std::string &key) {
    for (const auto &[k, v] : queryParams(req))
        if (k == key)
            return true;
    return false;
}

std::string urlEncode(const std::string &value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace http
