#include "WebsitePages.h"

#include "ApiFailure.h"
#include "Clock.h"
#include "Crypto.h"
#include "Http.h"
#include "QrSvg.h"
#include "Text.h"
#include "WebAssets.h"
#include "WebText.h"

#include <nlohmann/json.hpp>

namespace {

using webtext::html;

constexpr size_t minPasswordLength = 8;
constexpr size_t maxPasswordBytes = 72; // bcrypt ignores the rest

struct Page {
    std::string title;
    std::string body;   // inside <main>
    std::string script; // run with this response's nonce; may be empty
    int status = 200;
    bool personal = false; // holds someone's data or a secret: never cached or indexed
};

void send(httplib::Response &res, const Page &page) {
    const std::string nonce = crypto::randomToken(16);
    std::string csp = "default-src 'none'; style-src 'nonce-" + nonce +
                      "'; img-src data:; form-action 'self'; base-uri 'none'; "
                      "frame-ancestors 'none'";
    if (!page.script.empty())
        csp += "; script-src 'nonce-" + nonce + "'; connect-src 'self'";
    res.set_header("Content-Security-Policy", csp);
    res.set_header("X-Content-Type-Options", "nosniff");
    // Invite links carry their token in the path; no other site may see it.
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", page.personal ? "no-store" : "no-cache");

    const std::string script =
        page.script.empty() ? std::string()
                            : "<script nonce=\"" + nonce + "\">\n" + page.script + "</script>";
    res.status = page.status;
    // The frame (page.html) names an empty icon, so that browsers do not ask for
    // /favicon.ico.
    res.set_content(
        text::fill(webassets::page_html,
                   {{"robots", page.personal ? "<meta name=\"robots\" content=\"noindex\">" : ""},
                    {"title", html(page.title)},
                    {"nonce", nonce},
                    {"style", webassets::style_css},
                    {"body", page.body},
                    {"script", script}}),
        "text/html; charset=utf-8");
}

// A JSON string literal that is also safe inside a <script> element.
std::string scriptString(const std::string &text) {
    const std::string json = nlohmann::json(text).dump();
    std::string out;
    for (char c : json)
        out += c == '<' ? std::string("\\u003c") : std::string(1, c);
    return out;
}

// Tokens are URL-safe base64; anything else cannot name an invite.
bool plausibleToken(const std::string &token) {
    if (token.size() < 22 || token.size() > 128)
        return false;
    for (char c : token)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return false;
    return true;
}

// `message` is HTML.
Page notFound(const std::string &title, const std::string &message) {
    Page page;
    page.title = title;
    page.status = 404;
    page.body =
        text::fill(webassets::not_found_html, {{"title", html(title)}, {"message", message}});
    return page;
}

// A page whose body is a fixed document.
Page staticPage(std::string title, std::string_view body) {
    Page page;
    page.title = std::move(title);
    page.body = std::string(body);
    return page;
}

// An invitation as its page shows it.
struct Invite {
    std::string visitorName;
    std::optional<std::string> visitDate, visitTime, note, place, usedOn;
    bool expired = false;
};

std::optional<Invite> findInvite(Db &db, const std::string &token) {
    return db.asService([&](Db::Tx &tx) -> std::optional<Invite> {
        const auto rows = tx.exec(
            "SELECT i.visitor_name, i.visit_date::text, i.visit_time, i.note, k.place_name, "
            "to_char(i.used_at, 'FMDay, FMMonth FMDD, YYYY'), "
            "coalesce(i.used_at IS NULL AND i.visit_date < current_date, false) "
            "FROM public.invites i LEFT JOIN public.kiosk_settings k ON k.owner_id = i.owner_id "
            "WHERE i.token = $1",
            token);
        if (rows.empty())
            return std::nullopt;
        const auto text = [&](int column) -> std::optional<std::string> {
            if (rows[0][column].is_null() || webtext::trim(rows[0][column].c_str()).empty())
                return std::nullopt;
            return std::string(rows[0][column].c_str());
        };
        return Invite{rows[0][0].c_str(),   text(1), text(2), text(3), text(4), text(5),
                      rows[0][6].as<bool>()};
    });
}

std::string inviteBody(const Invite &invite, const std::string &link) {
    const bool used = invite.usedOn.has_value();
    const auto qr = used ? std::nullopt : qrSvg(link, "QR code of this invitation");
    const std::string visitDay =
        invite.visitDate ? webtext::longDate(*invite.visitDate).value_or(*invite.visitDate) : "";
    const std::string place = html(invite.place.value_or(""));
    return text::fill(webassets::invite_html,
                      {{"visitor", html(invite.visitorName)},
                       {"host", invite.place ? std::string_view(place) : "your host"},
                       {"when", html(webtext::visitText(invite.visitDate, invite.visitTime))},
                       {"place", place},
                       {"note", html(invite.note.value_or(""))},
                       {"used_on", html(invite.usedOn.value_or(""))},
                       {"visit_day", html(visitDay)},
                       {"qr", qr.value_or("")}},
                      {{"place", invite.place.has_value()},
                       {"note", invite.note.has_value()},
                       {"used", used},
                       {"expired", !used && invite.expired},
                       {"qr", qr.has_value()}});
}

} // namespace

WebsitePages::WebsitePages(Db &db, const Jwt &jwt, std::string apikey,
                           std::function<std::string()> siteUrl)
    : m_db(db), m_jwt(jwt), m_apikey(std::move(apikey)), m_siteUrl(std::move(siteUrl)) {}

void WebsitePages::install(httplib::Server &server) {
    using Handler = void (WebsitePages::*)(const httplib::Request &, httplib::Response &);
    const auto guarded = [this](Handler handler) {
        return [this, handler](const httplib::Request &req, httplib::Response &res) {
            try {
                (this->*handler)(req, res);
            } catch (...) {
                logFailure(req, ApiFailure::of(std::current_exception()));
                res = httplib::Response(); // nothing of the half-made answer
                Page page = staticPage("Something went wrong", webassets::error_html);
                page.status = 503;
                send(res, page);
            }
        };
    };
    server.Get("/", guarded(&WebsitePages::callbackPage));
    server.Get("/auth/callback", guarded(&WebsitePages::callbackPage));
    server.Post("/auth/callback", guarded(&WebsitePages::setPassword));
    server.Get(R"(/i/(.*))", guarded(&WebsitePages::invitePage));
    server.Get("/dashboard", guarded(&WebsitePages::dashboardPage));
    server.Get("/support", guarded(&WebsitePages::supportPage));
    server.Get("/privacy", guarded(&WebsitePages::privacyPage));
    server.Get("/guides/host-notifications", guarded(&WebsitePages::guidePage));
    // Registered last, so only paths no other route serves land here; the APIs keep
    // their own JSON answers.
    server.Get(R"(/(?!api/|auth/v1/|rest/v1/|api$|auth/v1$|rest/v1$).*)",
               guarded(&WebsitePages::notFoundPage));
}

void WebsitePages::invitePage(const httplib::Request &req, httplib::Response &res) {
    const std::string token = req.matches[1];
    const auto invite = plausibleToken(token) ? findInvite(m_db, token) : std::nullopt;
    if (!invite) {
        Page page = notFound("Invitation not found",
                             "This invitation link is not valid. It may have been cancelled, or "
                             "part of the link was lost when it was copied. Ask the person who "
                             "invited you to send it again.");
        page.personal = true;
        return send(res, page);
    }
    Page page;
    page.title = "Your invitation";
    page.personal = true;
    page.body = inviteBody(*invite, m_siteUrl() + "/i/" + token);
    send(res, page);
}

// The page the e-mailed links land on. The session arrives in the fragment, which never
// reaches the server; a reset link's token is kept for this tab (phones reload tabs
// they discarded) until the new password is saved.
void WebsitePages::callbackPage(const httplib::Request &req, httplib::Response &res) {
    const bool reset = http::queryParam(req, "next") == "/reset-password";
    Page page;
    page.title = reset ? "Choose a new password" : "Welcome";
    page.personal = true;
    page.script = std::string(webassets::callback_js);
    page.body =
        text::fill(webassets::callback_html,
                   {{"home_hidden", reset ? " hidden" : ""},
                    {"invalid_hidden", reset ? "" : " hidden"},
                    {"invalid_reason",
                     reset ? "Open this page from the link in your password reset e-mail." : ""}});
    send(res, page);
}

// Answers the reset page's script in the website API's JSON form.
void WebsitePages::setPassword(const httplib::Request &req, httplib::Response &res) {
    const std::string token = webtext::formField(req.body, "access_token").value_or("");
    const std::string password = webtext::formField(req.body, "password").value_or("");
    const std::string confirm = webtext::formField(req.body, "confirm").value_or(password);

    const auto expired = [&] {
        http::sendWebError(res, 401, "The password reset link has expired or was already used.");
    };
    const auto retry = [&](const std::string &message) { http::sendWebError(res, 422, message); };
    res.set_header("Cache-Control", "no-store");

    const auto caller = m_jwt.verify(token, nowSeconds());
    if (!caller.ok() || !crypto::isUuid(caller.sessionId))
        return expired();
    if (password.find('\0') != std::string::npos)
        return retry("The password may not contain a NUL character.");
    if (text::codePoints(password) < minPasswordLength)
        return retry("Use at least 8 characters.");
    if (password.size() > maxPasswordBytes)
        return retry("Use at most 72 bytes (72 letters without accents).");
    if (password != confirm)
        return retry("The two passwords are not the same.");

    enum class Result { Changed, NoSession, Same };
    const Result result = m_db.asServer([&](Db::Tx &tx) {
        // Only a session that a reset link opened, and only while it lives: a new
        // password (from any link, or the app) ends them all.
        const auto rows =
            tx.exec("SELECT u.encrypted_password = extensions.crypt($3, u.encrypted_password) "
                    "FROM auth.users u JOIN auth.sessions s ON s.user_id = u.id "
                    "WHERE u.id = $1::uuid AND s.id = $2::uuid AND s.recovery FOR UPDATE OF u",
                    caller.sub, caller.sessionId, password);
        if (rows.empty())
            return Result::NoSession;
        if (rows[0][0].as<bool>())
            return Result::Same;
        tx.exec("UPDATE auth.users SET encrypted_password = extensions.crypt($2, "
                "extensions.gen_salt('bf', 10)), updated_at = now() WHERE id = $1::uuid",
                caller.sub, password);
        // Whoever knew the old password is signed out everywhere.
        tx.exec("DELETE FROM auth.sessions WHERE user_id = $1::uuid", caller.sub);
        return Result::Changed;
    });
    if (result == Result::NoSession)
        return expired();
    if (result == Result::Same)
        return retry("Choose a password different from your old one.");
    http::sendJson(res, 200, nlohmann::ordered_json{{"message", "Your password is changed."}});
}

void WebsitePages::dashboardPage(const httplib::Request &, httplib::Response &res) {
    Page page;
    page.title = "Dashboard";
    page.personal = true;
    page.script =
        "const API_KEY = " + scriptString(m_apikey) + ";\n" + std::string(webassets::dashboard_js);
    page.body = std::string(webassets::dashboard_html);
    send(res, page);
}

void WebsitePages::supportPage(const httplib::Request &, httplib::Response &res) {
    send(res, staticPage("Support",
                         text::fill(webassets::support_html, {{"site_url", html(m_siteUrl())}})));
}

void WebsitePages::privacyPage(const httplib::Request &, httplib::Response &res) {
    send(res, staticPage("Privacy", webassets::privacy_html));
}

void WebsitePages::guidePage(const httplib::Request &, httplib::Response &res) {
    send(res, staticPage("Host alerts guide", webassets::guide_html));
}

void WebsitePages::notFoundPage(const httplib::Request &, httplib::Response &res) {
    send(res, notFound("Page not found", "There is no page at this address."));
}
