#pragma once

#include "Db.h"
#include "Jwt.h"
#include "Outbox.h"
#include "RateLimiter.h"

#include "Http.h"
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// auth/v1: accounts, sessions and tokens, answering as the hosted auth service does.
// Users, sessions and refresh tokens live in the `auth` schema; passwords are bcrypt
// hashes made by pgcrypto; refresh tokens are single-use and stored as SHA-256 hashes.
//
// Refresh tokens rotate: each use hands out the next token of the session's chain. A
// spent token used again within the reuse interval gets the session it was spent for (a
// lost answer, or two desks refreshing at once); later, it ends the session, because the
// token must have been copied. The next token is derived from the spent one with a key
// of the server's, so the server can hand it out again without storing it.
class AuthApi {
public:
    struct Settings {
        std::string siteUrl; // this server's own origin, for links in e-mails
        int64_t tokenLifetime = 3600;
        bool autoconfirm = true; // new accounts may sign in at once
        RateLimits rateLimits;
        int64_t refreshReuseInterval = 10; // seconds
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

    // Ends every session of the user but `keepSessionId` (all when empty), inside the
    // caller's transaction: their refresh tokens stop working at once, and their access
    // tokens are refused by the auth, REST and website APIs from then on.
    static void endSessions(Db::Tx &tx, const std::string &userId,
                            const std::string &keepSessionId = {});

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

    // A sign-up request after checking.
    struct SignUp {
        std::string email; // normalised
        std::string password;
        nlohmann::json metadata; // an object
    };
    static SignUp readSignUp(const std::string &body);
    // A confirmed account, signed in; nullopt when the address has an account.
    std::optional<Session> openConfirmedAccount(const SignUp &signUp);
    // An account that waits for the link mailed to its address; its user object, or
    // nullopt when the address has a confirmed account.
    std::optional<std::string> openUnconfirmedAccount(const SignUp &signUp,
                                                      const std::string &redirectTo);

    // Opens a session for a user inside the caller's transaction.
    Session issueSession(Db::Tx &tx, const std::string &userId, const std::string &method);
    Session tokensFor(const std::string &sessionId, const std::string &userJson,
                      const std::string &method);

    // A redirect target on this site's own origin; anything else falls back to the site
    // root, so mailed links cannot send people (or their session) elsewhere.
    std::string safeRedirect(const std::string &requested) const;
    std::string verifyLink(const std::string &token, const std::string &type,
                           const std::string &redirect) const;

    using Handler = void (AuthApi::*)(const httplib::Request &, httplib::Response &);
    // Runs a route's handler and answers what it throws in the auth API's error form.
    void guarded(const httplib::Request &req, httplib::Response &res, Handler handler);

    // What a refresh token is worth: the next token of its chain when it was unspent; the
    // token now in use when it was spent within the reuse interval; otherwise nothing, and
    // a spent token ends its session (Reused).
    struct Rotation {
        enum class Result { Ok, Reused, Unknown } result;
        std::string sessionId;
        std::string next;
    };
    Rotation rotate(Db::Tx &tx, const std::string &refresh);
    // The unspent token of the session's chain after `spent`; empty when there is none
    // within a few steps.
    std::string tokenInUse(Db::Tx &tx, const std::string &spent,
                           const std::string &sessionId) const;

    // The token that follows `token` in its session's chain.
    std::string nextRefreshToken(const std::string &token) const;
    // Refuses with 429 when the client's address or the e-mail address is over a limit.
    void limitSignIn(const httplib::Request &req, const std::string &email);
    void limitMail(const httplib::Request &req, const std::string &email);

    Db &m_db;
    const Jwt &m_jwt;
    Outbox &m_outbox;
    Settings m_settings;
    std::string m_refreshKey;
    RateLimiter m_signInByAddress, m_signInByEmail, m_mailByAddress, m_mailByEmail,
        m_refreshByAddress;
};
