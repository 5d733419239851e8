#include "Http.h"

#include <string_view>

namespace http {

void sendJson(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, jsonType);
}

void sendJson(httplib::Response &res, int status, const nlohmann::ordered_json &body) {
    sendJson(res, status, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void sendRestError(httplib::Response &res, int status, const std::string &code,
                   const std::string &message, const std::optional<std::string> &details,
                   const std::optional<std::string> &hint) {
    nlohmann::ordered_json body;
    body["code"] = code;
    body["details"] = details ? nlohmann::ordered_json(*details) : nlohmann::ordered_json();
    body["hint"] = hint ? nlohmann::ordered_json(*hint) : nlohmann::ordered_json();
    body["message"] = message;
    sendJson(res, status, body);
}

void sendAuthError(const httplib::Request &req, httplib::Response &res, int status,
                   const std::string &errorCode, const std::string &message) {
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

void sendWebError(httplib::Response &res, int status, const std::string &message) {
    nlohmann::ordered_json body;
    body["error"] = message;
    sendJson(res, status, body);
}

std::optional<std::string> bearerToken(const httplib::Request &req) {
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

std::string decodeComponent(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
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

std::vector<std::pair<std::string, std::string>> queryParams(const httplib::Request &req) {
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

std::string queryParam(const httplib::Request &req, const std::string &key) {
    for (const auto &[k, v] : queryParams(req))
        if (k == key)
            return v;
    return {};
}

bool hasQueryParam(const httplib::Request &req, const std::string &key) {
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
