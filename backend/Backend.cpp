#include "Backend.h"

#include "ApiFailure.h"
#include "Crypto.h"
#include "Http.h"

#include <thread>

namespace {

bool startsWith(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

bool underApi(const std::string &path, const char *api) {
    const std::string base = std::string("/") + api;
    return path == base || startsWith(path, (base + "/").c_str());
}

std::string reasonFor(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Request body too large (the limit is 1 MiB)";
    case 414:
        return "Request URI too long";
    case 416:
        return "Range Not Satisfiable";
    case 415:
        return "Compressed request bodies are not accepted";
    case 417:
        return "Expectation Failed";
    case 431:
        return "Request headers too large";
    case 501:
        return "Transfer-Encoding not supported (use chunked or Content-Length)";
    case 503:
        return "The server is busy; please try again in a moment";
    default:
        return status >= 500 ? "Internal Server Error" : "Request failed";
    }
}

http::Limits limitsFrom(const Config &config) {
    http::Limits limits;
    limits.maxConnections = size_t(config.maxConnections);
    limits.idleTimeout = std::chrono::seconds(config.idleTimeout);
    limits.headerTimeout = std::chrono::seconds(config.headerTimeout);
    return limits;
}

// The event loop only reads, checks and writes: one thread per core is plenty.
size_t loopThreads() {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 8);
}

} // namespace

Backend::Backend(Config config)
    : m_config(std::move(config)),
      m_server(m_routes, limitsFrom(m_config), size_t(m_config.threads),
               size_t(m_config.dbConnections), loopThreads()),
      m_db(m_config.database, size_t(m_config.dbConnections), 3),
      m_jwt(m_config.jwtSecret.empty() ? crypto::randomToken(48) : m_config.jwtSecret),
      m_outbox(m_config.outbox),
      m_auth(m_db, m_jwt, m_outbox,
             {m_config.siteUrl, m_config.tokenLifetime, m_config.autoconfirm, m_config.rateLimits,
              m_config.refreshReuseInterval}),
      m_rest(m_db, m_jwt) {
    // The REST tables' requests are one pooled statement each; rpc calls are transactions.
    m_routes.singleStatement = [](const http::Request &req) {
        return underApi(req.path, "rest/v1") && !underApi(req.path, "rest/v1/rpc");
    };
    m_routes.preRouting = [this](const http::Request &req, http::Response &res) {
        return !checkApiKey(req, res);
    };

    // Errors without a body of their own (unknown route, body too large, bad request
    // line) get a JSON body in the form of the API that was asked.
    m_routes.onError = [](const http::Request &req, http::Response &res) {
        const std::string reason = reasonFor(res.status);
        if (underApi(req.path, "rest/v1")) {
            if (res.status == 404)
                http::sendRestError(res, 404, "PGRST125", "Invalid path specified in request URL");
            else
                http::sendRestError(res, res.status, "PGRST" + std::to_string(res.status), reason);
        } else if (underApi(req.path, "auth/v1")) {
            const std::string code = res.status == 404   ? "not_found"
                                     : res.status == 413 ? "request_too_large"
                                                         : "validation_failed";
            http::sendAuthError(req, res, res.status, code, reason);
        } else {
            http::sendWebError(res, res.status, reason);
        }
    };

    m_routes.onException = [](const http::Request &req, http::Response &res,
                              std::exception_ptr error) {
        const ApiForm form = underApi(req.path, "rest/v1")   ? ApiForm::Rest
                             : underApi(req.path, "auth/v1") ? ApiForm::Auth
                                                             : ApiForm::Web;
        sendFailure(form, req, res, error);
    };

    m_auth.install(m_routes);
    m_rest.install(m_routes);
}

bool Backend::checkApiKey(const http::Request &req, http::Response &res) const {
    if (!underApi(req.path, "auth/v1") && !underApi(req.path, "rest/v1"))
        return true;
    // Links in e-mails are opened by a browser, which sends no key.
    if (req.path == "/auth/v1/verify" && (req.method == "GET" || req.method == "HEAD"))
        return true;
    if (!req.has_header("apikey")) {
        http::sendJson(res, 401,
                       nlohmann::ordered_json{{"message", "No API key found in request"}});
        return false;
    }
    if (!crypto::constantTimeEquals(req.get_header_value("apikey"), m_config.apikey)) {
        http::sendJson(res, 401, nlohmann::ordered_json{{"message", "Invalid API key"}});
        return false;
    }
    return true;
}

int Backend::bind() {
    m_db.connectAll();
    const int port = m_server.bind(m_config.host, m_config.port);
    m_siteUrl = m_config.siteUrl.empty() ? "http://" + m_config.host + ":" + std::to_string(port)
                                         : m_config.siteUrl;
    m_auth.setSiteUrl(m_siteUrl);
    return port;
}

void Backend::run() {
    m_server.run();
}

void Backend::stop() {
    m_server.stop();
}
