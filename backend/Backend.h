#pragma once

#include "AuthApi.h"
#include "Config.h"
#include "Db.h"
#include "Http.h"
#include "HttpServer.h"
#include "Jwt.h"
#include "Outbox.h"
#include "RestApi.h"

#include <memory>

// The whole service: one HTTP server, the database pool, the token signer, the outbox and
// the APIs. Further APIs (the website's invite endpoints and pages) add their routes to
// http() before run().
class Backend {
public:
    explicit Backend(Config config);

    // Connects the pool and binds the port; returns the port actually bound.
    int bind();
    // Serves until stop() is called (from any thread).
    void run();
    void stop();

    http::Routes &http() { return m_routes; }
    Db &db() { return m_db; }
    const Jwt &jwt() const { return m_jwt; }
    Outbox &outbox() { return m_outbox; }
    AuthApi &auth() { return m_auth; }
    RestApi &rest() { return m_rest; }
    const Config &config() const { return m_config; }
    // http://127.0.0.1:PORT once bound (or --site-url).
    const std::string &siteUrl() const { return m_siteUrl; }

private:
    bool checkApiKey(const http::Request &req, http::Response &res) const;

    Config m_config;
    http::Routes m_routes;
    http::Server m_server;
    Db m_db;
    Jwt m_jwt;
    Outbox m_outbox;
    AuthApi m_auth;
    RestApi m_rest;
    std::string m_siteUrl;
};
