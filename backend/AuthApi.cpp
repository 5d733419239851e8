#include "AuthApi.h"

#include "ApiFailure.h"
#include "Clock.h"
#include "Crypto.h"
#include "Http.h"
#include "RestQuery.h"
#include "Text.h"

#include <cmath>
#include <regex>

namespace {

constexpr size_t minPasswordLength = 8;
// bcrypt reads only the first 72 bytes; a longer password would be silently cut.
constexpr size_t maxPasswordBytes = 72;

// The user object of the auth API, built by the database from a row aliased `u`.
const std::string userJsonSql =
    "json_strip_nulls(json_build_object("
    "'id', u.id, 'aud', u.aud, 'role', u.role, 'email', u.email, "
    "'email_confirmed_at', u.email_confirmed_at, 'phone', '', "
    "'confirmation_sent_at', u.confirmation_sent_at, 'recovery_sent_at', u.recovery_sent_at, "
    "'confirmed_at', u.email_confirmed_at, 'last_sign_in_at', u.last_sign_in_at, "
    "'app_metadata', u.raw_app_meta_data, 'user_metadata', u.raw_user_meta_data, "
    "'identities', '[]'::json, 'created_at', u.created_at, 'updated_at', u.updated_at, "
    "'is_anonymous', false))::text";

// Spends about as long as checking a real password, so that a sign-in attempt does not
// reveal whether an address has an account.
const std::string dummyHashSql = "SELECT extensions.crypt($1, '$2a$10$CwTycUXWue0Thq9StjUM0u')";

// A request the auth API refuses, with the status and error code of its answer.
struct AuthError : std::runtime_error {
    AuthError(int status, std::string code, const std::string &message, int retryAfter = 0)
        : std::runtime_error(message), status(status), code(std::move(code)),
          retryAfter(retryAfter) {}
    int status;
    std::string code;
    int retryAfter; // seconds, for 429
};

// Refuses when the key's bucket is empty.
void limit(RateLimiter &limiter, const std::string &key, const char *code,
           const std::string &message) {
    const double wait = limiter.take(key);
    if (wait > 0)
        throw AuthError{429, code, message, int(std::ceil(wait))};
}

// PostgreSQL cannot store a NUL character in text or JSON; say so instead of failing.
void rejectNul(const nlohmann::json &value) {
    const auto hasNul = [](const std::string &s) { return s.find('\0') != std::string::npos; };
    if (value.is_string() && hasNul(value.get_ref<const std::string &>()))
        throw AuthError{400, "validation_failed", "Text may not contain a NUL character (\\u0000)"};
    if (value.is_object())
        for (const auto &item : value.items()) {
            if (hasNul(item.key()))
                throw AuthError{400, "validation_failed",
                                "Text may not contain a NUL character (\\u0000)"};
            rejectNul(item.value());
        }
    if (value.is_array())
        for (const auto &item : value)
            rejectNul(item);
}

// The API version a request asks for, when it names one (YYYY-MM-DD).
std::optional<std::string> apiVersion(const httplib::Request &req) {
    static const std::regex date(R"(^\d{4}-\d{2}-\d{2}$)");
    const std::string version = req.get_header_value("X-Supabase-Api-Version");
    if (!std::regex_match(version, date))
        return std::nullopt;
    return version;
}

// The request body as a JSON object; an empty body counts as {}.
nlohmann::json parseObject(const std::string &body) {
    if (body.empty())
        return nlohmann::json::object();
    if (rest::jsonDepth(body) > 64)
        throw AuthError{400, "bad_json", "Could not parse request body as JSON: nested too deeply"};
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded())
        throw AuthError{400, "bad_json", "Could not parse request body as JSON: invalid JSON"};
    if (!parsed.is_object())
        throw AuthError{400, "bad_json",
                        "Could not parse request body as JSON: expected an object"};
    return parsed;
}

std::optional<std::string> stringField(const nlohmann::json &body, const char *key) {
    const auto it = body.find(key);
    if (it == body.end() || it->is_null())
        return std::nullopt;
    if (!it->is_string())
        throw AuthError{400, "bad_json",
                        std::string("Could not parse request body as JSON: ") + key +
                            " must be a string"};
    return it->get<std::string>();
}

std::string normalizedEmail(const std::string &raw) {
    std::string email(text::trim(raw));
    for (char &c : email)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return email;
}

bool validEmail(const std::string &email) {
    static const std::regex pattern(
        R"(^[^\s@"<>(),;:\\\[\]]+@[^\s@"<>(),;:\\\[\]]+\.[^\s@"<>(),;:\\\[\]]+$)");
    if (email.empty() || email.size() > 254)
        return false;
    for (unsigned char c : email)
        if (c < 0x20 || c == 0x7f)
            return false;
    return std::regex_match(email, pattern);
}

void checkPassword(const std::string &password) {
    if (password.find('\0') != std::string::npos)
        throw AuthError{422, "validation_failed", "Password may not contain a NUL character"};
    if (password.size() > maxPasswordBytes)
        throw AuthError{422, "validation_failed", "Password cannot be longer than 72 characters"};
    if (text::codePoints(password) < minPasswordLength)
        throw AuthError{422, "weak_password",
                        "Password should be at least " + std::to_string(minPasswordLength) +
                            " characters."};
}

std::string displayName(const nlohmann::json &metadata) {
    if (metadata.is_object())
        if (const auto it = metadata.find("name"); it != metadata.end() && it->is_string())
            return it->get<std::string>();
    return {};
}

// The user metadata a body sets ("data"), when it sets any.
std::optional<nlohmann::json> metadataField(const nlohmann::json &body) {
    const auto it = body.find("data");
    if (it == body.end() || it->is_null())
        return std::nullopt;
    if (!it->is_object())
        throw AuthError{400, "bad_json",
                        "Could not parse request body as JSON: data must be an object"};
    rejectNul(*it);
    return *it;
}

// A new account that may sign in at once; no row when the address has an account.
const std::string insertConfirmedUserSql =
    "INSERT INTO auth.users (email, encrypted_password, email_confirmed_at, raw_user_meta_data) "
    "VALUES ($1, extensions.crypt($2, extensions.gen_salt('bf', 10)), now(), $3::jsonb) "
    "ON CONFLICT (email) DO NOTHING RETURNING id::text";

// A new account waiting for its address to be confirmed. Signing up again before
// confirming takes the newer password and link; a confirmed address gets no row.
const std::string insertUnconfirmedUserSql =
    "WITH u AS (INSERT INTO auth.users AS existing (email, encrypted_password, "
    "raw_user_meta_data, confirmation_token, confirmation_sent_at) "
    "  VALUES ($1, extensions.crypt($2, extensions.gen_salt('bf', 10)), $3::jsonb, $4, now()) "
    "  ON CONFLICT (email) DO UPDATE SET encrypted_password = EXCLUDED.encrypted_password, "
    "    raw_user_meta_data = EXCLUDED.raw_user_meta_data, "
    "    confirmation_token = EXCLUDED.confirmation_token, confirmation_sent_at = now(), "
    "    updated_at = now() "
    "  WHERE existing.email_confirmed_at IS NULL RETURNING *) "
    "SELECT " +
    userJsonSql + " FROM u";

} // namespace

nlohmann::ordered_json AuthApi::Session::toJson() const {
    nlohmann::ordered_json body;
    body["access_token"] = accessToken;
    body["token_type"] = "bearer";
    body["expires_in"] = expiresIn;
    body["expires_at"] = expiresAt;
    body["refresh_token"] = refreshToken;
    body["user"] = user;
    return body;
}

AuthApi::AuthApi(Db &db, const Jwt &jwt, Outbox &outbox, Settings settings)
    : m_db(db), m_jwt(jwt), m_outbox(outbox), m_settings(std::move(settings)),
      m_refreshKey(jwt.derivedKey("greetwell refresh token chain")),
      m_signInByAddress(m_settings.rateLimits.signIn),
      m_signInByEmail(m_settings.rateLimits.signInPerEmail),
      m_mailByAddress(m_settings.rateLimits.mail),
      m_mailByEmail(m_settings.rateLimits.mailPerEmail),
      m_refreshByAddress(m_settings.rateLimits.refresh) {}

void AuthApi::guarded(const httplib::Request &req, httplib::Response &res, Handler handler) {
    // The official clients read an error body's code by the version the answer names;
    // the body's form follows the version asked for (see http::sendAuthError).
    if (const auto version = apiVersion(req))
        res.set_header("X-Supabase-Api-Version", *version);
    try {
        (this->*handler)(req, res);
    } catch (const AuthError &e) {
        if (e.retryAfter > 0)
            res.set_header("Retry-After", std::to_string(e.retryAfter));
        http::sendAuthError(req, res, e.status, e.code, e.what());
    } catch (...) {
        sendFailure(ApiForm::Auth, req, res, std::current_exception());
    }
}

void AuthApi::install(httplib::Server &server) {
    const auto guard = [this](Handler handler) {
        return [this, handler](const httplib::Request &req, httplib::Response &res) {
            guarded(req, res, handler);
        };
    };
    server.Post("/auth/v1/token", guard(&AuthApi::token));
    server.Post("/auth/v1/signup", guard(&AuthApi::signup));
    server.Post("/auth/v1/recover", guard(&AuthApi::recover));
    server.Get("/auth/v1/verify", guard(&AuthApi::verify));
    server.Get("/auth/v1/user", guard(&AuthApi::getUser));
    server.Put("/auth/v1/user", guard(&AuthApi::putUser));
    server.Post("/auth/v1/logout", guard(&AuthApi::logout));
    server.Get("/auth/v1/health", [](const httplib::Request &, httplib::Response &res) {
        http::sendJson(res, 200,
                       nlohmann::ordered_json{{"version", GW_BACKEND_VERSION},
                                              {"name", "greetwell-backend"},
                                              {"description", "local auth service"}});
    });
}

std::optional<Jwt::Verified> AuthApi::requireBearer(const httplib::Request &req,
                                                    httplib::Response &res) const {
    const auto token = http::bearerToken(req);
    if (!token || token->empty()) {
        http::sendAuthError(req, res, 401, "no_authorization",
                            "This endpoint requires a valid Bearer token");
        return std::nullopt;
    }
    auto verified = m_jwt.verify(*token, nowSeconds());
    if (!verified.ok()) {
        http::sendAuthError(req, res, 401, "bad_jwt",
                            "invalid JWT: unable to parse or verify signature, " +
                                verified.message);
        return std::nullopt;
    }
    return verified;
}

void AuthApi::endSessions(Db::Tx &tx, const std::string &userId, const std::string &keepSessionId) {
    tx.exec("DELETE FROM auth.sessions WHERE user_id = $1::uuid AND id::text <> $2", userId,
            keepSessionId);
}

std::string AuthApi::nextRefreshToken(const std::string &token) const {
    return crypto::base64UrlEncode(crypto::hmacSha256(m_refreshKey, token));
}

void AuthApi::limitSignIn(const httplib::Request &req, const std::string &email) {
    limit(m_signInByAddress, req.remote_addr, "over_request_rate_limit",
          "Request rate limit reached");
    limit(m_signInByEmail, email, "over_request_rate_limit", "Request rate limit reached");
}

void AuthApi::limitMail(const httplib::Request &req, const std::string &email) {
    limit(m_mailByAddress, req.remote_addr, "over_email_send_rate_limit",
          "Email rate limit exceeded");
    const double wait = m_mailByEmail.take(email);
    if (wait > 0)
        throw AuthError{429, "over_email_send_rate_limit",
                        "For security purposes, you can only request this after " +
                            std::to_string(int(std::ceil(wait))) + " seconds.",
                        int(std::ceil(wait))};
}

AuthApi::Session AuthApi::tokensFor(const std::string &sessionId, const std::string &userJson,
                                    const std::string &method) {
    const auto user = nlohmann::ordered_json::parse(userJson);
    const int64_t now = nowSeconds();
    Session session;
    session.expiresIn = m_settings.tokenLifetime;
    session.expiresAt = now + m_settings.tokenLifetime;
    session.user = user;

    nlohmann::ordered_json claims;
    claims["aud"] = "authenticated";
    claims["exp"] = session.expiresAt;
    claims["iat"] = now;
    claims["iss"] = m_settings.siteUrl + "/auth/v1";
    claims["sub"] = user.value("id", "");
    claims["email"] = user.value("email", "");
    claims["phone"] = "";
    claims["app_metadata"] = user.value("app_metadata", nlohmann::ordered_json::object());
    claims["user_metadata"] = user.value("user_metadata", nlohmann::ordered_json::object());
    claims["role"] = "authenticated";
    claims["aal"] = "aal1";
    claims["amr"] = nlohmann::ordered_json::array({{{"method", method}, {"timestamp", now}}});
    claims["session_id"] = sessionId;
    claims["is_anonymous"] = false;
    session.accessToken = m_jwt.sign(claims);
    return session;
}

AuthApi::Session AuthApi::issueSession(Db::Tx &tx, const std::string &userId,
                                       const std::string &method) {
    const std::string refresh = crypto::randomToken(32);
    const auto row = tx.exec("WITH s AS (INSERT INTO auth.sessions (user_id) VALUES ($1::uuid) "
                             "RETURNING id, user_id), "
                             "t AS (INSERT INTO auth.refresh_tokens (token, user_id, session_id) "
                             "      SELECT $2, s.user_id, s.id FROM s RETURNING session_id), "
                             "u AS (UPDATE auth.users SET last_sign_in_at = now() WHERE id = "
                             "$1::uuid RETURNING *) "
                             "SELECT t.session_id::text, " +
                                 userJsonSql + " FROM t, u",
                             userId, crypto::sha256Hex(refresh))
                         .at(0);
    Session session = tokensFor(row[0].c_str(), row[1].c_str(), method);
    session.refreshToken = refresh;
    return session;
}

std::optional<AuthApi::Session> AuthApi::openConfirmedAccount(const SignUp &signUp) {
    return m_db.asServer([&](Db::Tx &tx) -> std::optional<Session> {
        const auto rows =
            tx.exec(insertConfirmedUserSql, signUp.email, signUp.password, signUp.metadata.dump());
        if (rows.empty())
            return std::nullopt;
        return issueSession(tx, rows[0][0].c_str(), "password");
    });
}

AuthApi::Session AuthApi::createConfirmedUser(const std::string &rawEmail,
                                              const std::string &password,
                                              const nlohmann::json &metadata) {
    const SignUp signUp{normalizedEmail(rawEmail), password, metadata};
    checkPassword(password);
    auto session = openConfirmedAccount(signUp);
    if (!session)
        throw std::runtime_error("an account for " + signUp.email + " already exists");
    return std::move(*session);
}

void AuthApi::token(const httplib::Request &req, httplib::Response &res) {
    const std::string grant = http::queryParam(req, "grant_type");
    const auto body = parseObject(req.body);
    if (grant == "password")
        return passwordGrant(req, res, body);
    if (grant == "refresh_token")
        return refreshGrant(req, res, body);
    throw AuthError{400, "validation_failed", "unsupported_grant_type"};
}

void AuthApi::passwordGrant(const httplib::Request &req, httplib::Response &res,
                            const nlohmann::json &body) {
    const auto rawEmail = stringField(body, "email");
    const auto password = stringField(body, "password");
    if (!rawEmail || rawEmail->empty())
        throw AuthError{400, "validation_failed", "missing email or phone"};
    if (!password || password->empty())
        throw AuthError{400, "validation_failed", "missing password"};
    const std::string email = normalizedEmail(*rawEmail);
    if (password->find('\0') != std::string::npos || email.find('\0') != std::string::npos)
        throw AuthError{400, "invalid_credentials", "Invalid login credentials"};
    limitSignIn(req, email);

    enum class Result { Ok, Wrong, Unconfirmed };
    Session session;
    const Result result = m_db.asServer([&](Db::Tx &tx) {
        const auto rows = tx.exec(
            "SELECT id::text, encrypted_password = extensions.crypt($2, encrypted_password), "
            "email_confirmed_at IS NOT NULL FROM auth.users WHERE email = $1",
            email, *password);
        if (rows.empty()) {
            tx.exec(dummyHashSql, *password);
            return Result::Wrong;
        }
        if (!rows[0][1].as<bool>())
            return Result::Wrong;
        if (!rows[0][2].as<bool>())
            return Result::Unconfirmed;
        session = issueSession(tx, rows[0][0].c_str(), "password");
        return Result::Ok;
    });
    if (result == Result::Wrong)
        throw AuthError{400, "invalid_credentials", "Invalid login credentials"};
    if (result == Result::Unconfirmed)
        throw AuthError{400, "email_not_confirmed", "Email not confirmed"};
    http::sendJson(res, 200, session.toJson());
}

void AuthApi::refreshGrant(const httplib::Request &req, httplib::Response &res,
                           const nlohmann::json &body) {
    const auto refresh = stringField(body, "refresh_token");
    if (!refresh || refresh->empty())
        throw AuthError{400, "validation_failed", "refresh_token required"};
    limit(m_refreshByAddress, req.remote_addr, "over_request_rate_limit",
          "Request rate limit reached");

    Session session;
    const Rotation::Result result = m_db.asServer([&](Db::Tx &tx) {
        const Rotation rotation = rotate(tx, *refresh);
        if (rotation.result != Rotation::Result::Ok)
            return rotation.result;
        const auto row = tx.exec("WITH s AS (UPDATE auth.sessions SET refreshed_at = now(), "
                                 "updated_at = now() WHERE id = $1::uuid RETURNING user_id) "
                                 "SELECT " +
                                     userJsonSql + " FROM s JOIN auth.users u ON u.id = s.user_id",
                                 rotation.sessionId);
        if (row.empty())
            return Rotation::Result::Unknown;
        session = tokensFor(rotation.sessionId, row[0][0].c_str(), "token_refresh");
        session.refreshToken = rotation.next;
        return Rotation::Result::Ok;
    });
    if (result == Rotation::Result::Unknown)
        throw AuthError{400, "refresh_token_not_found",
                        "Invalid Refresh Token: Refresh Token Not Found"};
    if (result == Rotation::Result::Reused)
        throw AuthError{400, "refresh_token_already_used", "Invalid Refresh Token: Already Used"};
    http::sendJson(res, 200, session.toJson());
}

AuthApi::Rotation AuthApi::rotate(Db::Tx &tx, const std::string &refresh) {
    const std::string hash = crypto::sha256Hex(refresh);
    // Spending the token and checking it was unspent is one statement, so of two requests
    // racing with the same token exactly one spends it; the other waits for it and then
    // finds the token spent moments ago.
    const auto spent = tx.exec("UPDATE auth.refresh_tokens SET revoked = true, updated_at = now() "
                               "WHERE token = $1 AND NOT revoked RETURNING session_id::text",
                               hash);
    if (!spent.empty()) {
        Rotation rotation{Rotation::Result::Ok, spent[0][0].c_str(), nextRefreshToken(refresh)};
        tx.exec("INSERT INTO auth.refresh_tokens (token, user_id, session_id, parent) "
                "SELECT $1, user_id, id, $3 FROM auth.sessions WHERE id = $2::uuid",
                crypto::sha256Hex(rotation.next), rotation.sessionId, hash);
        return rotation;
    }
    const auto known = tx.exec("SELECT session_id::text, updated_at > now() - $2::int * "
                               "interval '1 second' FROM auth.refresh_tokens WHERE token = $1",
                               hash, std::to_string(m_settings.refreshReuseInterval));
    if (known.empty())
        return {Rotation::Result::Unknown, {}, {}};
    Rotation rotation{Rotation::Result::Ok, known[0][0].c_str(), {}};
    // Spent moments ago (a lost answer, two desks at once): the token now in use.
    if (known[0][1].as<bool>())
        rotation.next = tokenInUse(tx, refresh, rotation.sessionId);
    if (rotation.next.empty()) {
        // A spent token used again later means it leaked or was copied: the session
        // ends, its access tokens included.
        tx.exec("DELETE FROM auth.sessions WHERE id = $1::uuid", rotation.sessionId);
        rotation.result = Rotation::Result::Reused;
    }
    return rotation;
}

std::string AuthApi::tokenInUse(Db::Tx &tx, const std::string &spent,
                                const std::string &sessionId) const {
    // Follows the chain in case it moved on more than once within the interval.
    std::string token = spent;
    for (int step = 0; step < 16; ++step) {
        token = nextRefreshToken(token);
        const auto child = tx.exec("SELECT revoked FROM auth.refresh_tokens WHERE token = $1 AND "
                                   "session_id = $2::uuid",
                                   crypto::sha256Hex(token), sessionId);
        if (child.empty())
            return {};
        if (!child[0][0].as<bool>())
            return token;
    }
    return {};
}

void AuthApi::signup(const httplib::Request &req, httplib::Response &res) {
    const SignUp signUp = readSignUp(req.body);
    limitSignIn(req, signUp.email);
    if (m_settings.autoconfirm) {
        const auto session = openConfirmedAccount(signUp);
        if (!session)
            throw AuthError{422, "user_already_exists", "User already registered"};
        http::sendJson(res, 200, session->toJson());
        return;
    }
    limitMail(req, signUp.email);
    const auto user = openUnconfirmedAccount(signUp, http::queryParam(req, "redirect_to"));
    if (!user)
        throw AuthError{422, "user_already_exists", "User already registered"};
    http::sendJson(res, 200, *user);
}

AuthApi::SignUp AuthApi::readSignUp(const std::string &text) {
    const auto body = parseObject(text);
    const auto rawEmail = stringField(body, "email");
    const auto password = stringField(body, "password");
    if (!rawEmail || rawEmail->empty())
        throw AuthError{400, "validation_failed", "To signup, please provide your email"};
    const std::string email = normalizedEmail(*rawEmail);
    if (!validEmail(email))
        throw AuthError{400, "validation_failed",
                        "Unable to validate email address: invalid format"};
    if (!password || password->empty())
        throw AuthError{400, "validation_failed", "Signup requires a valid password"};
    checkPassword(*password);
    return {email, *password, metadataField(body).value_or(nlohmann::json::object())};
}

std::optional<std::string> AuthApi::openUnconfirmedAccount(const SignUp &signUp,
                                                           const std::string &redirectTo) {
    const std::string token = crypto::randomToken(32);
    const std::string redirect = safeRedirect(redirectTo);
    return m_db.asServer([&](Db::Tx &tx) -> std::optional<std::string> {
        const auto rows = tx.exec(insertUnconfirmedUserSql, signUp.email, signUp.password,
                                  signUp.metadata.dump(), crypto::sha256Hex(token));
        if (rows.empty())
            return std::nullopt;
        // Written before the commit: if the mail cannot be written, no account is left
        // waiting for a link that never went out.
        const std::string name = displayName(signUp.metadata);
        m_outbox.write({signUp.email,
                        "Confirm your Greetwell account",
                        "Hello" + (name.empty() ? std::string() : " " + name) +
                            ",\n\n"
                            "Confirm your e-mail address to start using Greetwell:\n\n" +
                            verifyLink(token, "signup", redirect) +
                            "\n\nThe link works for 24 hours. If you did not create an account, "
                            "you can ignore this message.\n",
                        {},
                        "confirm"});
        return std::string(rows[0][0].c_str());
    });
}

void AuthApi::recover(const httplib::Request &req, httplib::Response &res) {
    const auto body = parseObject(req.body);
    const auto rawEmail = stringField(body, "email");
    if (!rawEmail || rawEmail->empty())
        throw AuthError{422, "validation_failed", "Password recovery requires an email"};
    const std::string email = normalizedEmail(*rawEmail);
    // The answer is the same whether or not the address has an account, and so are the
    // limits.
    if (validEmail(email)) {
        limitMail(req, email);
        const std::string token = crypto::randomToken(32);
        const std::string redirect = safeRedirect(http::queryParam(req, "redirect_to"));
        m_db.asServer([&](Db::Tx &tx) {
            const auto rows =
                tx.exec("UPDATE auth.users SET recovery_token = $2, recovery_sent_at = now() "
                        "WHERE email = $1 RETURNING id",
                        email, crypto::sha256Hex(token));
            if (rows.empty())
                return;
            m_outbox.write(
                {email,
                 "Reset your Greetwell password",
                 "Someone asked to reset the password of the Greetwell account for " + email +
                     ".\n\nOpen this link to choose a new password:\n\n" +
                     verifyLink(token, "recovery", redirect) +
                     "\n\nThe link works once, for one hour. If you did not ask for this, "
                     "ignore this message: your password stays as it is.\n",
                 {},
                 "reset"});
        });
    }
    http::sendJson(res, 200, std::string("{}"));
}

void AuthApi::verify(const httplib::Request &req, httplib::Response &res) {
    const std::string type = http::queryParam(req, "type");
    const std::string token = http::queryParam(req, "token");
    const std::string redirect = safeRedirect(http::queryParam(req, "redirect_to"));
    std::string target = redirect.substr(0, redirect.find('#'));

    std::optional<Session> session;
    if (!token.empty() && (type == "signup" || type == "recovery")) {
        const std::string hash = crypto::sha256Hex(token);
        session = m_db.asServer([&](Db::Tx &tx) -> std::optional<Session> {
            // Each link works once; following it also proves the address.
            const auto rows =
                type == "signup"
                    ? tx.exec("UPDATE auth.users SET email_confirmed_at = "
                              "coalesce(email_confirmed_at, now()), "
                              "confirmation_token = NULL, updated_at = now() WHERE "
                              "confirmation_token = $1 "
                              "AND confirmation_sent_at > now() - interval '24 hours' RETURNING "
                              "id::text",
                              hash)
                    : tx.exec("UPDATE auth.users SET email_confirmed_at = "
                              "coalesce(email_confirmed_at, now()), "
                              "recovery_token = NULL, updated_at = now() WHERE recovery_token = $1 "
                              "AND recovery_sent_at > now() - interval '1 hour' RETURNING id::text",
                              hash);
            if (rows.empty())
                return std::nullopt;
            Session opened =
                issueSession(tx, rows[0][0].c_str(), type == "signup" ? "otp" : "recovery");
            // Marked, so that a new password ends every session a reset link opened.
            if (type == "recovery")
                tx.exec("UPDATE auth.sessions SET recovery = true WHERE id = (SELECT "
                        "session_id FROM auth.refresh_tokens WHERE token = $1)",
                        crypto::sha256Hex(opened.refreshToken));
            return opened;
        });
    }
    if (session)
        target += "#access_token=" + session->accessToken +
                  "&expires_at=" + std::to_string(session->expiresAt) +
                  "&expires_in=" + std::to_string(session->expiresIn) +
                  "&refresh_token=" + session->refreshToken + "&token_type=bearer&type=" + type;
    else
        target += "#error=access_denied&error_code=otp_expired&error_description=" +
                  http::urlEncode("Email link is invalid or has expired.");
    res.status = 303;
    res.set_header("Location", target);
    // The address carries a live session: no cache may keep it and no page it leads to
    // may learn it.
    res.set_header("Cache-Control", "no-store");
    res.set_header("Referrer-Policy", "no-referrer");
}

void AuthApi::getUser(const httplib::Request &req, httplib::Response &res) {
    const auto caller = requireBearer(req, res);
    if (!caller)
        return;
    const auto user = m_db.asServer([&](Db::Tx &tx) -> std::optional<std::string> {
        const auto rows = tx.exec(
            "SELECT " + userJsonSql +
                " FROM auth.users u JOIN auth.sessions s ON s.user_id = u.id "
                "WHERE u.id = $1::uuid AND s.id = $2::uuid",
            caller->sub, crypto::isUuid(caller->sessionId) ? caller->sessionId : std::string());
        if (rows.empty())
            return std::nullopt;
        return std::string(rows[0][0].c_str());
    });
    if (!user)
        throw AuthError{401, "session_not_found",
                        "Session from session_id claim in JWT does not exist"};
    http::sendJson(res, 200, *user);
}

void AuthApi::putUser(const httplib::Request &req, httplib::Response &res) {
    const auto caller = requireBearer(req, res);
    if (!caller)
        return;
    const auto body = parseObject(req.body);
    const auto password = stringField(body, "password");
    if (password)
        checkPassword(*password);
    const auto data = metadataField(body);
    const std::optional<std::string> metadata =
        data ? std::optional<std::string>(data->dump()) : std::nullopt;
    if (stringField(body, "email"))
        throw AuthError{422, "validation_failed", "Changing the e-mail address is not supported"};

    enum class Result { Ok, NoSession, SamePassword };
    std::string user;
    const Result result = m_db.asServer([&](Db::Tx &tx) {
        const auto rows = tx.exec(
            "SELECT u.encrypted_password = extensions.crypt($3, u.encrypted_password) "
            "FROM auth.users u JOIN auth.sessions s ON s.user_id = u.id "
            "WHERE u.id = $1::uuid AND s.id = $2::uuid FOR UPDATE OF u",
            caller->sub, crypto::isUuid(caller->sessionId) ? caller->sessionId : std::string(),
            password.value_or(""));
        if (rows.empty())
            return Result::NoSession;
        if (password && rows[0][0].as<bool>())
            return Result::SamePassword;
        const auto updated =
            tx.exec("UPDATE auth.users u SET "
                    "encrypted_password = CASE WHEN $2 THEN extensions.crypt($3, "
                    "extensions.gen_salt('bf', 10)) "
                    "                     ELSE u.encrypted_password END, "
                    "raw_user_meta_data = CASE WHEN $4 THEN u.raw_user_meta_data || $5::jsonb ELSE "
                    "u.raw_user_meta_data END, "
                    "updated_at = now() WHERE u.id = $1::uuid RETURNING " +
                        userJsonSql,
                    caller->sub, password ? "true" : "false", password.value_or(""),
                    metadata ? "true" : "false", metadata.value_or("{}"));
        user = updated.at(0)[0].c_str();
        // Whoever knew the old password may hold another session: a new password ends
        // them all but this one.
        if (password)
            endSessions(tx, caller->sub, caller->sessionId);
        return Result::Ok;
    });
    if (result == Result::NoSession)
        throw AuthError{401, "session_not_found",
                        "Session from session_id claim in JWT does not exist"};
    if (result == Result::SamePassword)
        throw AuthError{422, "same_password",
                        "New password should be different from the old password."};
    http::sendJson(res, 200, user);
}

void AuthApi::logout(const httplib::Request &req, httplib::Response &res) {
    const auto caller = requireBearer(req, res);
    if (!caller)
        return;
    // Only this session by default: signing out one desk must not sign out the kiosks
    // and other desks of the same account.
    const std::string scope =
        http::hasQueryParam(req, "scope") ? http::queryParam(req, "scope") : "local";
    if (scope != "local" && scope != "global" && scope != "others")
        throw AuthError{400, "validation_failed", "scope must be one of local, global, others"};
    const std::string sessionId =
        crypto::isUuid(caller->sessionId) ? caller->sessionId : std::string();
    m_db.asServer([&](Db::Tx &tx) {
        if (scope == "global")
            endSessions(tx, caller->sub);
        else if (scope == "others")
            endSessions(tx, caller->sub, sessionId);
        else if (!sessionId.empty())
            tx.exec("DELETE FROM auth.sessions WHERE id = $1::uuid AND user_id = $2::uuid",
                    sessionId, caller->sub);
    });
    res.status = 204;
}

std::string AuthApi::safeRedirect(const std::string &requested) const {
    const std::string &site = m_settings.siteUrl;
    const std::string fallback = site + "/";
    for (unsigned char c : requested)
        if (c <= 0x20 || c == 0x7f || c == '\\' || c == '"' || c == '<' || c == '>')
            return fallback;
    // Only this site's own origin: scheme, host and port exactly, then a path. Any other
    // address (another port on this machine included) would receive the session that
    // the link opens.
    if (requested.size() > site.size() && requested.compare(0, site.size(), site) == 0 &&
        requested[site.size()] == '/')
        return requested;
    return fallback;
}

std::string AuthApi::verifyLink(const std::string &token, const std::string &type,
                                const std::string &redirect) const {
    return m_settings.siteUrl + "/auth/v1/verify?token=" + http::urlEncode(token) +
           "&type=" + type + "&redirect_to=" + http::urlEncode(redirect);
}
