#pragma once

#include "Db.h"
#include "Jwt.h"
#include "Outbox.h"

#include "Http.h"
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// auth/v1: accounts, sessions and tokens, answering as the hosted auth service does.
// Users, sessions and refresh tokens live in the `auth` schema; passwords are bcrypt
// hashes made by pgcrypto; refresh tokens are single-use and stored as SHA-256 hashes.
class AuthApi {
public:
    struct Settings {
        std::string siteUrl; // this server's own origin, for links in e-mails
        int64_t tokenLifetime = 3600;
        bool autoconfirm = true; // new accounts may sign in at once
    };

    AuthApi(Db &db, const Jwt &jwt, Outbox &outbox, Settings settings);

    void install(httplib::Server &server);

    // The site URL is known only once the port is bound.
    void setSiteUrl(const std::string &siteUrl) { m_settings.siteUrl = siteUrl; }
    const Settings &settings() const { return m_settings; }

    // A signed-in session, as the token endpoint hands it out.
    struct Session {
        std::string accessToken;
        std::string refreshToken;
        int64_t expiresIn = 0;
        int64_t expiresAt = 0;
        nlohmann::ordered_json user;
        nlohmann::ordered_json toJson() const;
    };

    // Creates a confirmed account and signs it in (used by --demo and tests).
    Session createConfirmedUser(const std::string &email, const std::string &password,
                                const nlohmann::json &metadata);

    // Checks a bearer token for the auth API; on failure answers 401 in the auth error
    // form and returns nullopt.
    std::optional<Jwt::Verified> requireBearer(const httplib::Request &req,
                                               httplib::Response &res) const;

private:
    void token(const httplib::Request &req, httplib::Response &res);
    void passwordGrant(const httplib::Request &req, httplib::Response &res,
                       const nlohmann::json &body);
    void refreshGrant(const httplib::Request &req, httplib::Response &res,
                      const nlohmann::json &body);
    void signup(const httplib::Request &req, httplib::Response &res);
    void recover(const httplib::Request &req, httplib::Response &res);
    void verify(const httplib::Request &req, httplib::Response &res);
    void getUser(const httplib::Request &req, httplib::Response &res);
    void putUser(const httplib::Request &req, httplib::Response &res);
    void logout(const httplib::Request &req, httplib::Response &res);

    // Opens a session for a user inside the caller's transaction.
    Session issueSession(Db::Tx &tx, const std::string &userId, const std::string &method);
    Session tokensFor(const std::string &sessionId, const std::string &userJson,
                      const std::string &method);

    // A redirect target on this site's own origin; anything else falls back to the site
    // root, so mailed links cannot send people (or their session) elsewhere.
    std::string safeRedirect(const std::string &requested) const;
    std::string verifyLink(const std::string &token, const std::string &type,
                           const std::string &redirect) const;

    template <class F> void guarded(const httplib::Request &req, httplib::Response &res, F &&fn);

    Db &m_db;
    const Jwt &m_jwt;
    Outbox &m_outbox;
    Settings m_settings;
};
