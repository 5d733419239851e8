#include "Backend.h"

#include "Crypto.h"
#include "Http.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <iostream>

namespace {

constexpr size_t maxBodyBytes = 1024 * 1024;

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
    case 431:
        return "Request headers too large";
    default:
        return status >= 500 ? "Internal Server Error" : "Request failed";
    }
}

} // namespace

Backend::Backend(Config config)
    : m_config(std::move(config)), m_db(m_config.database, size_t(m_config.dbConnections), 3),
      m_jwt(m_config.jwtSecret.empty() ? crypto::randomToken(48) : m_config.jwtSecret),
      m_outbox(m_config.outbox),
      m_auth(m_db, m_jwt, m_outbox,
             {m_config.siteUrl, m_config.tokenLifetime, m_config.autoconfirm, m_config.rateLimits,
              m_config.refreshReuseInterval}),
      m_rest(m_db, m_jwt) {
    const int threads = m_config.threads;
    m_http.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    m_http.set_payload_max_length(maxBodyBytes);
    // Responses go out in more than one write; without TCP_NODELAY a small second write
    // can wait for the client's delayed ACK.
    m_http.set_tcp_nodelay(true);
    m_http.set_keep_alive_max_count(1000);
    m_http.set_keep_alive_timeout(5);
    m_http.set_read_timeout(10);
    m_http.set_write_timeout(10);
    m_http.set_socket_options([this](socket_t sock) {
        // SO_REUSEADDR only: a second server on the same port must fail rather than
        // quietly share it.
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        m_listenSocket = sock;
    });

    m_http.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        // A request without Content-Length or Transfer-Encoding has no body (Qt sends a
        // bodyless POST that way: logout, resending an invite). The HTTP library would
        // wait for one until its read timeout and then answer 400; say so before it reads.
        // The handler runs before the body is read, on the request object being served.
        if (req.method != "GET" && req.method != "HEAD" && !req.has_header("Content-Length") &&
            !req.has_header("Transfer-Encoding"))
            const_cast<httplib::Request &>(req).set_header("Content-Length", "0");
        return checkApiKey(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                     : httplib::Server::HandlerResponse::Handled;
    });

    // Errors the HTTP layer produces itself (unknown route, body too large, bad request
    // line) get a JSON body in the form of the API that was asked.
    m_http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &req,
                                                                     httplib::Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
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
        return httplib::Server::HandlerResponse::Handled;
    }));

    m_http.set_exception_handler([](const httplib::Request &req, httplib::Response &res,
                                    std::exception_ptr error) {
        if (underApi(req.path, "rest/v1")) {
            sendRestException(res, error);
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            std::cerr << "greetwell-backend: internal error on " << req.path << ": " << e.what()
                      << std::endl;
        } catch (...) {
        }
        if (underApi(req.path, "auth/v1"))
            http::sendAuthError(req, res, 500, "unexpected_failure",
                                "Unexpected failure, please try again");
        else
            http::sendWebError(res, 500, "Something went wrong on the server. Please try again.");
    });

    m_auth.install(m_http);
    m_rest.install(m_http);
}

bool Backend::checkApiKey(const httplib::Request &req, httplib::Response &res) const {
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
    int port = m_config.port;
    if (port == 0) {
        port = m_http.bind_to_any_port(m_config.host);
        if (port < 0)
            throw std::runtime_error("could not bind a port on " + m_config.host);
    } else if (!m_http.bind_to_port(m_config.host, port)) {
        throw std::runtime_error("could not listen on " + m_config.host + ":" +
                                 std::to_string(port) + " (is another server using it?)");
    }
    // The library listens with a backlog of 5; many desks connecting at once need more.
    if (m_listenSocket >= 0)
        ::listen(m_listenSocket, 1024);
    m_siteUrl = m_config.siteUrl.empty() ? "http://" + m_config.host + ":" + std::to_string(port)
                                         : m_config.siteUrl;
    m_auth.setSiteUrl(m_siteUrl);
    return port;
}

void Backend::run() {
    m_http.listen_after_bind();
}

void Backend::stop() {
    m_http.stop();
}
