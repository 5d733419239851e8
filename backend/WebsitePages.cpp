#include "WebsitePages.h"

#include "Backend.h"
#include "Crypto.h"
#include "Http.h"
#include "QrSvg.h"
#include "WebText.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <iostream>

namespace {

using webtext::html;

constexpr size_t minPasswordLength = 8;
constexpr size_t maxPasswordBytes = 72; // bcrypt ignores the rest

const char *const styleSheet = R"CSS(
:root{color-scheme:light dark;--bg:#f4f5f7;--card:#fff;--text:#1d1d1f;--muted:#64646b;
--accent:#0b63ce;--on-accent:#fff;--line:#d7d7dc;--field:#85858d;--bad:#c62828;--good:#1b7a36}
@media (prefers-color-scheme:dark){:root{--bg:#18181a;--card:#262628;--text:#f2f2f4;
--muted:#a3a3aa;--accent:#5aa2ff;--on-accent:#0d1520;--line:#3b3b3f;--field:#7b7b83;
--bad:#ff6b60;--good:#52d273}}
*{box-sizing:border-box}
body{margin:0;font:16px/1.55 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;
background:var(--bg);color:var(--text)}
header,main,footer{max-width:44rem;margin:0 auto;padding:1rem 1.25rem}
header a{font-weight:650;color:var(--text);text-decoration:none;letter-spacing:.01em}
main{background:var(--card);border-radius:14px;padding:1.5rem 1.75rem;
box-shadow:0 1px 3px rgba(0,0,0,.08)}
h1{font-size:1.6rem;line-height:1.25;margin:.2rem 0 1rem}
h2{font-size:1.15rem;margin:1.7rem 0 .5rem}
a{color:var(--accent)}
.muted{color:var(--muted)}.error{color:var(--bad)}.ok{color:var(--good)}
.center{text-align:center}
footer{font-size:.9rem;color:var(--muted)}
footer a{color:var(--muted);margin-right:1rem;display:inline-block}
label{display:block;margin:.9rem 0 .25rem;font-weight:550}
input{width:100%;padding:.6rem .7rem;font:inherit;border:1px solid var(--field);
border-radius:8px;background:var(--bg);color:var(--text)}
input[aria-invalid=true]{border-color:var(--bad)}
button{margin-top:1.1rem;padding:.6rem 1.2rem;font:inherit;font-weight:600;border:0;
border-radius:8px;background:var(--accent);color:var(--on-accent);cursor:pointer}
button:disabled{opacity:.6;cursor:default}
button.plain{background:none;color:var(--accent);padding:0;margin:0;font-weight:500}
.qr{width:260px;height:260px;display:block;margin:1.2rem auto .4rem;border-radius:6px}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:.3rem 1.2rem;margin:1rem 0}
dt{color:var(--muted)}dd{margin:0;min-width:0;overflow-wrap:anywhere}
.note{white-space:pre-wrap;border-left:3px solid var(--line);padding-left:.8rem}
.stats{display:flex;gap:.8rem;margin:1rem 0}
.stats div{flex:1;background:var(--bg);border-radius:10px;padding:.7rem;text-align:center}
.stats b{display:block;font-size:1.8rem;line-height:1.2}
table{width:100%;border-collapse:collapse}
td,th{text-align:left;padding:.4rem .3rem;border-bottom:1px solid var(--line);font-size:.95rem}
th{color:var(--muted);font-weight:500}
code,pre{font:.88em ui-monospace,SFMono-Regular,Menlo,monospace;background:var(--bg);
border-radius:6px}
code{padding:.1em .3em;overflow-wrap:anywhere}
pre{padding:.8rem;white-space:pre-wrap;overflow-wrap:anywhere;font-size:.8em}
li{margin:.25rem 0}
[hidden]{display:none!important}
@media (max-width:30rem){header,footer{padding:.8rem 1rem}
main{border-radius:0;padding:1.25rem 1rem}.stats{gap:.5rem}}
)CSS";

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

    std::string doc = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                      // No icon to fetch: the browser would otherwise ask for /favicon.ico.
                      "<link rel=\"icon\" href=\"data:,\">";
    if (page.personal)
        doc += "<meta name=\"robots\" content=\"noindex\">";
    doc += "<title>" + html(page.title) + " · Greetwell</title><style nonce=\"" + nonce + "\">" +
           styleSheet + "</style></head><body><header><a href=\"/\">Greetwell</a></header><main>" +
           page.body +
           "</main><footer><a href=\"/dashboard\">Dashboard</a><a href=\"/support\">Support</a>"
           "<a href=\"/privacy\">Privacy</a><a href=\"/guides/host-notifications\">Host "
           "alerts guide</a></footer>";
    if (!page.script.empty())
        doc += "<script nonce=\"" + nonce + "\">" + page.script + "</script>";
    doc += "</body></html>\n";
    res.status = page.status;
    res.set_content(doc, "text/html; charset=utf-8");
}

int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A JSON string literal that is also safe inside a <script> element.
std::string scriptString(const std::string &text) {
    const std::string json = nlohmann::json(text).dump();
    std::string out;
    for (char c : json)
        out += c == '<' ? std::string("\\u003c") : std::string(1, c);
    return out;
}

size_t codePoints(const std::string &s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xc0) != 0x80;
    return n;
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

Page notFound(const std::string &title, const std::string &message) {
    Page page;
    page.title = title;
    page.status = 404;
    page.body = "<h1>" + html(title) + "</h1><p>" + message +
                "</p><p><a href=\"/\">Go to the start page</a> or read <a "
                "href=\"/support\">Support</a>.</p>";
    return page;
}

// The page the e-mailed links land on. The session arrives in the fragment, which never
// reaches the server; a reset link's token is kept for this tab (phones reload tabs
// they discarded) until the new password is saved.
const char *const callbackScript = R"JS(
const KEY = 'greetwell.reset';
const $ = id => document.getElementById(id);
const show = id => {
  for (const s of document.querySelectorAll('main > section')) s.hidden = s.id !== id;
};
// Only texts of our own: the address is anyone's to write.
const REASONS = {otp_expired: 'The link has expired or was already used.'};
const GENERIC = 'The link is invalid or has expired.';
const USED = 'The password reset link has expired or was already used.';
let token = '';

function claims(jwt) {
  try {
    const part = jwt.split('.')[1].replace(/-/g, '+').replace(/_/g, '/');
    return JSON.parse(new TextDecoder().decode(Uint8Array.from(atob(part), c => c.charCodeAt(0))));
  } catch { return {}; }
}

function linkDead(text) {
  sessionStorage.removeItem(KEY);
  $('why').textContent = text;
  show('invalid');
}

function openForm(candidate) {
  const c = claims(candidate);
  if (!(c.exp * 1000 > Date.now())) return linkDead(USED);
  token = candidate;
  $('username').value = c.email || '';
  $('account').textContent = c.email || '';
  $('for').hidden = !c.email;
  show('reset');
  $('password').focus();
}

function fail(message) {
  const error = $('reset-error');
  error.textContent = message;
  error.hidden = false;
  for (const field of [$('password'), $('confirm')]) {
    field.setAttribute('aria-invalid', 'true');
    field.setAttribute('aria-describedby', 'reset-error reset-hint');
  }
  $('password').focus();
  $('password').select();
}

function problem(password, confirm) {
  if ([...password].length < 8) return 'Use at least 8 characters.';
  if (new TextEncoder().encode(password).length > 72)
    return 'Use at most 72 bytes (72 letters without accents).';
  if (password !== confirm) return 'The two passwords are not the same.';
  return '';
}

$('reset-form').addEventListener('submit', async event => {
  event.preventDefault();
  const password = $('password').value, confirm = $('confirm').value;
  const why = problem(password, confirm);
  if (why) return fail(why);
  $('save').disabled = true;
  try {
    const response = await fetch('/auth/callback', {
      method: 'POST', headers: {Accept: 'application/json'},
      body: new URLSearchParams({access_token: token, password, confirm})});
    const body = await response.json().catch(() => ({}));
    if (response.ok) {
      sessionStorage.removeItem(KEY);
      show('done');
    } else if (response.status === 401) {
      linkDead(USED);
    } else {
      fail(body.error || 'The password could not be saved. Please try again.');
    }
  } catch {
    fail('The server could not be reached. Check the connection and try again.');
  } finally {
    $('save').disabled = false;
  }
});

const params = new URLSearchParams(location.hash.slice(1));
if (location.hash) history.replaceState(null, '', location.pathname + location.search);
if (params.has('error') || params.has('error_code') || params.has('error_description')) {
  linkDead(REASONS[params.get('error_code')] || GENERIC);
} else if (params.get('access_token') && params.get('type') === 'recovery') {
  sessionStorage.setItem(KEY, params.get('access_token'));
  // Wherever the link landed, a reload comes back to the form.
  history.replaceState(null, '', '/auth/callback?next=/reset-password');
  openForm(params.get('access_token'));
} else if (params.get('access_token') && params.get('type') === 'signup') {
  show('confirmed');
} else if (new URLSearchParams(location.search).get('next') === '/reset-password' &&
           sessionStorage.getItem(KEY)) {
  openForm(sessionStorage.getItem(KEY));
}
)JS";

const char *const dashboardScript = R"JS(
const $ = id => document.getElementById(id);
let token = sessionStorage.getItem('greetwell.token');

async function call(path, options = {}) {
  const headers = {apikey: API_KEY, 'Content-Type': 'application/json', ...(options.headers || {})};
  if (token) headers.Authorization = 'Bearer ' + token;
  const response = await fetch(path, {...options, headers});
  if (response.status === 401 && token) { signOut(); throw new Error('Your session ended. Please sign in again.'); }
  return response;
}

async function count(filter) {
  const r = await call('/rest/v1/visitors?select=id&limit=1&' + filter, {headers: {Prefer: 'count=exact'}});
  const total = (r.headers.get('Content-Range') || '').split('/').pop();
  return /^\d+$/.test(total) ? Number(total) : 0;
}

function cell(row, text) { const td = row.insertCell(); td.textContent = text; return td; }
// Messages read as sentences, whatever the server's wording.
function sentence(text) { return /[.!?]$/.test(text) ? text : text + '.'; }
// As the invitation page writes it: "Sunday, March 1, 2026 at 14:30", or "Any day".
function visitText(date, clock) {
  if (!/^\d{4}-\d{2}-\d{2}$/.test(date || '')) return 'Any day';
  const [y, m, d] = date.split('-').map(Number);
  const day = new Date(2000, 0, 1);
  day.setFullYear(y, m - 1, d);
  const text = day.toLocaleDateString('en-US', {weekday: 'long', month: 'long', day: 'numeric', year: 'numeric'});
  return /^\d{2}:\d{2}$/.test(clock || '') ? text + ' at ' + clock : text;
}
function time(ts) { return new Date(ts).toLocaleTimeString([], {hour: 'numeric', minute: '2-digit'}); }

function inviteStatus(invite) {
  if (invite.used_at) return 'Signed in ' + new Date(invite.used_at).toLocaleString([], {dateStyle: 'medium', timeStyle: 'short'});
  if (invite.visit_date) {
    const [y, m, d] = invite.visit_date.split('-').map(Number);
    const today = new Date(); today.setHours(0, 0, 0, 0);
    if (new Date(y, m - 1, d) < today) return 'Expired';
  }
  return 'Waiting';
}

async function load() {
  $('signin').hidden = true; $('board').hidden = false;
  const now = new Date();
  const today = new Date(now); today.setHours(0, 0, 0, 0);
  const week = new Date(today); week.setDate(today.getDate() - today.getDay());
  const [t, o, w, onSite, invites] = await Promise.all([
    count('signed_in_at=gte.' + encodeURIComponent(today.toISOString())),
    count('signed_out_at=is.null'),
    count('signed_in_at=gte.' + encodeURIComponent(week.toISOString())),
    call('/rest/v1/visitors?select=visitor_name,host_name,signed_in_at&order=signed_in_at.desc&signed_out_at=is.null&limit=500').then(r => r.json()),
    call('/rest/v1/invites?select=visitor_name,visitor_email,visit_date,visit_time,token,used_at&order=created_at.desc&limit=20').then(r => r.json()),
  ]);
  $('today').textContent = t; $('onsite').textContent = o; $('week').textContent = w;
  const people = $('people'); people.replaceChildren();
  for (const v of onSite) { const row = people.insertRow(); cell(row, v.visitor_name); cell(row, v.host_name || '—'); cell(row, time(v.signed_in_at)); }
  $('nobody').hidden = onSite.length > 0;
  const list = $('invites'); list.replaceChildren();
  for (const i of invites) {
    const row = list.insertRow();
    const link = document.createElement('a'); link.href = '/i/' + encodeURIComponent(i.token); link.textContent = i.visitor_name;
    row.insertCell().append(link);
    cell(row, visitText(i.visit_date, i.visit_time));
    cell(row, inviteStatus(i));
  }
  $('noinvites').hidden = invites.length > 0;
  $('updated').textContent = 'Updated ' + time(now.toISOString());
}

function signOut() {
  if (token) call('/auth/v1/logout', {method: 'POST'}).catch(() => {});
  token = null; sessionStorage.removeItem('greetwell.token');
  $('board').hidden = true; $('signin').hidden = false;
}

// Marks the sign-in fields as the ones the message is about, or clears that.
function markFields(invalid) {
  for (const field of [$('email'), $('pass')]) {
    for (const [name, value] of [['aria-invalid', 'true'], ['aria-describedby', 'message']]) {
      if (invalid) field.setAttribute(name, value);
      else field.removeAttribute(name);
    }
  }
}

$('form').addEventListener('submit', async event => {
  event.preventDefault();
  $('message').textContent = '';
  markFields(false);
  try {
    const r = await call('/auth/v1/token?grant_type=password', {method: 'POST',
      body: JSON.stringify({email: $('email').value.trim(), password: $('pass').value})});
    const body = await r.json();
    if (!r.ok) throw new Error(body.error_code === 'invalid_credentials' ? 'That email and password combination did not work.' : sentence(body.msg || body.message || 'Sign-in failed'));
    token = body.access_token; sessionStorage.setItem('greetwell.token', token);
    $('pass').value = '';
    await load();
  } catch (e) {
    $('message').textContent = sentence(e.message);
    if (!token) { markFields(true); $('pass').focus(); $('pass').select(); }
  }
});
$('signout').addEventListener('click', signOut);
$('refresh').addEventListener('click', () => {
  $('problem').textContent = '';
  load().catch(e => { $('problem').textContent = sentence(e.message); });
});
if (token) load().catch(() => signOut());
)JS";

} // namespace

WebsitePages::WebsitePages(Backend &backend) : m_backend(backend) {}

void WebsitePages::install(httplib::Server &server) {
    using Handler = void (WebsitePages::*)(const httplib::Request &, httplib::Response &);
    const auto guarded = [this](Handler handler) {
        return [this, handler](const httplib::Request &req, httplib::Response &res) {
            try {
                (this->*handler)(req, res);
            } catch (const std::exception &e) {
                std::cerr << "greetwell-backend: page error on " << req.path << ": " << e.what()
                          << std::endl;
                Page page;
                page.title = "Something went wrong";
                page.status = 503;
                page.body = "<h1>Something went wrong</h1><p>The page could not be shown just "
                            "now. Please try again in a moment.</p>";
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
    const auto missing = [&] {
        Page page = notFound("Invitation not found",
                             "This invitation link is not valid. It may have been cancelled, or "
                             "part of the link was lost when it was copied. Ask the person who "
                             "invited you to send it again.");
        page.personal = true;
        send(res, page);
    };
    if (!plausibleToken(token))
        return missing();

    struct Invite {
        std::string visitorName;
        std::optional<std::string> visitDate, visitTime, note, place, usedOn;
        bool expired = false;
    };
    const auto invite = m_backend.db().asService([&](Db::Tx &tx) -> std::optional<Invite> {
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
    if (!invite)
        return missing();

    const std::string link = m_backend.siteUrl() + "/i/" + token;
    Page page;
    page.title = "Your invitation";
    page.personal = true;
    std::string &b = page.body;
    b = "<h1>You're invited</h1><p>Hello <strong>" + html(invite->visitorName) + "</strong>, " +
        (invite->place ? html(*invite->place) : std::string("your host")) +
        " is expecting you.</p><dl class=\"facts\"><dt>When</dt><dd>" +
        html(webtext::visitText(invite->visitDate, invite->visitTime)) + "</dd>";
    if (invite->place)
        b += "<dt>Where</dt><dd>" + html(*invite->place) + "</dd>";
    b += "</dl>";
    if (invite->note)
        b += "<p class=\"note\">" + html(*invite->note) + "</p>";
    if (invite->usedOn) {
        b += "<p class=\"ok\">This invitation was used to sign in on " + html(*invite->usedOn) +
             ". Welcome back any time.</p>";
    } else {
        if (invite->expired)
            b += "<p class=\"error\">This invitation was for " +
                 html(webtext::longDate(*invite->visitDate).value_or(*invite->visitDate)) +
                 ", which has passed. You can still show it at reception.</p>";
        if (const auto svg = qrSvg(link, "QR code of this invitation"))
            b += *svg + "<p class=\"center muted\">Show this code at reception when you arrive, "
                        "or give your name.</p>";
    }
    send(res, page);
}

void WebsitePages::callbackPage(const httplib::Request &req, httplib::Response &res) {
    const bool reset = http::queryParam(req, "next") == "/reset-password";
    Page page;
    page.title = reset ? "Choose a new password" : "Welcome";
    page.personal = true;
    page.script = callbackScript;
    page.body =
        "<section id=\"home\"" + std::string(reset ? " hidden" : "") +
        "><h1>Greetwell</h1><p>This is the Greetwell service for your reception desk. Staff use "
        "the Greetwell app to sign visitors in and out, print badges and invite guests.</p><ul>"
        "<li><a href=\"/dashboard\">Dashboard</a>: today's visitors at a glance</li>"
        "<li><a href=\"/guides/host-notifications\">Host alerts guide</a>: tell hosts in chat "
        "when their visitor arrives</li><li><a href=\"/support\">Support</a> and <a "
        "href=\"/privacy\">privacy</a></li></ul></section>"
        "<section id=\"confirmed\" hidden><h1>Your e-mail address is confirmed</h1><p>Open the "
        "Greetwell app and sign in with your e-mail address and password.</p></section>"
        "<section id=\"invalid\"" +
        std::string(reset ? "" : " hidden") +
        "><h1>This link no longer works</h1><p class=\"error\" id=\"why\">" +
        std::string(reset ? "Open this page from the link in your password reset e-mail." : "") +
        "</p><p>Links in Greetwell e-mails work once, for a limited time. To get a new one, "
        "choose <strong>Forgot password?</strong> on the sign-in screen of the app.</p>"
        "</section>"
        "<section id=\"reset\" hidden><h1>Choose a new password</h1><p id=\"for\" "
        "hidden>For the Greetwell account <strong id=\"account\"></strong>.</p>"
        "<form id=\"reset-form\" novalidate>"
        // Tells password managers which account the new password belongs to.
        "<input type=\"email\" id=\"username\" autocomplete=\"username\" hidden readonly>"
        "<p class=\"error\" id=\"reset-error\" role=\"alert\" hidden></p>"
        "<label for=\"password\">New password</label><input type=\"password\" id=\"password\" "
        "minlength=\"8\" autocomplete=\"new-password\" aria-describedby=\"reset-hint\" "
        "required><label for=\"confirm\">Repeat the new password</label><input "
        "type=\"password\" id=\"confirm\" minlength=\"8\" autocomplete=\"new-password\" "
        "aria-describedby=\"reset-hint\" required><p class=\"muted\" id=\"reset-hint\">At "
        "least 8 characters.</p><button type=\"submit\" id=\"save\">Save "
        "Password</button></form></section>"
        "<section id=\"done\" hidden><h1>Your password is changed</h1><p class=\"ok\">You can "
        "now sign in to the Greetwell app with your new password.</p></section>"
        "<noscript><p class=\"error\">This page needs JavaScript to read the "
        "link from your e-mail.</p></noscript>";
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

    const auto caller = m_backend.jwt().verify(token, nowSeconds());
    if (!caller.ok() || !crypto::isUuid(caller.sessionId))
        return expired();
    if (password.find('\0') != std::string::npos)
        return retry("The password may not contain a NUL character.");
    if (codePoints(password) < minPasswordLength)
        return retry("Use at least 8 characters.");
    if (password.size() > maxPasswordBytes)
        return retry("Use at most 72 bytes (72 letters without accents).");
    if (password != confirm)
        return retry("The two passwords are not the same.");

    enum class Result { Changed, NoSession, Same };
    const Result result = m_backend.db().asServer([&](Db::Tx &tx) {
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
        "const API_KEY = " + scriptString(m_backend.config().apikey) + ";\n" + dashboardScript;
    page.body =
        "<section id=\"signin\"><h1>Dashboard</h1><p class=\"muted\">Sign in with your "
        "Greetwell account to see today's visitors and your invites.</p>"
        "<form id=\"form\"><label for=\"email\">Email</label><input id=\"email\" type=\"email\" "
        "autocomplete=\"username\" required><label for=\"pass\">Password</label><input "
        "id=\"pass\" type=\"password\" autocomplete=\"current-password\" required><p "
        "class=\"error\" id=\"message\" role=\"alert\"></p><button type=\"submit\">Sign "
        "In</button></form><p class=\"muted\">Forgot your password? Choose <strong>Forgot "
        "password?</strong> in the app; the e-mail links back here.</p></section>"
        "<section id=\"board\" hidden><h1>Dashboard</h1><p class=\"muted\"><span "
        "id=\"updated\"></span> · <button class=\"plain\" id=\"refresh\">Refresh</button> · "
        "<button class=\"plain\" id=\"signout\">Sign Out</button></p><p class=\"error\" "
        "id=\"problem\" role=\"alert\"></p>"
        "<div class=\"stats\"><div><b id=\"today\">–</b>Today</div><div><b "
        "id=\"onsite\">–</b>On site</div><div><b id=\"week\">–</b>This week</div></div>"
        "<h2>On site now</h2><table><thead><tr><th>Visitor</th><th>Host</th><th>Since</th></tr>"
        "</thead><tbody id=\"people\"></tbody></table><p class=\"muted\" id=\"nobody\">Nobody "
        "is signed in right now.</p><h2>Latest invites</h2><table><thead><tr><th>Visitor</th>"
        "<th>Visit</th><th>Status</th></tr></thead><tbody id=\"invites\"></tbody></table><p "
        "class=\"muted\" id=\"noinvites\">No invites yet. Create them in the app under "
        "<strong>Invites</strong>.</p></section><noscript><p class=\"error\">The dashboard "
        "needs JavaScript.</p></noscript>";
    send(res, page);
}

void WebsitePages::supportPage(const httplib::Request &, httplib::Response &res) {
    Page page;
    page.title = "Support";
    page.body =
        "<h1>Support</h1><p>Answers to the questions reception desks ask most.</p>"
        "<h2>I can't sign in</h2><p>Check the address and password; both must match the "
        "account exactly. To choose a new password, click <strong>Forgot password?</strong> on "
        "the app's sign-in screen and follow the link in the e-mail within an hour. The link "
        "works once.</p>"
        "<h2>Where are the e-mails?</h2><p>This local service does not send mail over the "
        "internet: every message (invitations, password resets, confirmations) is saved as an "
        ".eml file in the outbox folder of its data folder, on the computer it runs on. Open "
        "one with any mail program, or forward it yourself.</p>"
        "<h2>Invitations</h2><p>Create an invite under <strong>Invites</strong> in the app. "
        "The visitor gets a link to a page with a QR code; on arrival, choose the invite in "
        "the sign-in sheet and their answers are filled in. <strong>Resend Email</strong> "
        "sends the same link again; a used invite cannot be resent.</p>"
        "<h2>Badges don't print</h2><p>Label printers need their Linux (CUPS) driver. Once "
        "the printer appears in the system's printer settings, choose it in "
        "<strong>Settings › Badges</strong> and print a test badge.</p>"
        "<h2>Hosts aren't told about visitors</h2><p>Follow the <a "
        "href=\"/guides/host-notifications\">host alerts guide</a>, paste the webhook address "
        "in <strong>Settings › Alerts</strong> and press <strong>Send Test Message</strong>. "
        "The result of the last delivery is shown there.</p>"
        "<h2>The app says the server can't be reached</h2><p>The app talks to this service at "
        "<code>" +
        html(m_backend.siteUrl()) +
        "</code>. Make sure it is running (<code>scripts/backend</code>) and that nothing else "
        "uses its port.</p>";
    send(res, page);
}

void WebsitePages::privacyPage(const httplib::Request &, httplib::Response &res) {
    Page page;
    page.title = "Privacy";
    page.body =
        "<h1>Privacy</h1><p>Greetwell keeps a visitor log for your reception desk. This page "
        "says what is stored, where, and for how long.</p>"
        "<h2>What is stored</h2><ul><li>Your account: e-mail address, name, and a password "
        "hash (never the password itself).</li><li>Visitors: the answers of the sign-in form "
        "(such as name, company, e-mail, phone), the host they came to see, sign-in and "
        "sign-out times, and the name of the desk or iPad used.</li><li>Invites: the invited "
        "visitor's name, e-mail address, answers, visit day and time and note.</li><li>Setup: "
        "the sign-in form, the employee list and the webhook addresses for host alerts.</li>"
        "</ul><h2>Where it is stored</h2><p>In this service's database. Every account sees "
        "only its own records. Your desk keeps only its sign-in session (in the system "
        "keychain) and its printer and alert preferences.</p>"
        "<h2>Who receives it</h2><p>Visitors' names and answers are sent only to the chat "
        "webhooks you configure for host alerts, and invitation e-mails only to the visitor "
        "invited. There is no advertising, analytics or tracking, and these pages set no "
        "cookies.</p>"
        "<h2>How long it is kept</h2><p>Until you delete it. Deleting your account "
        "(<strong>Settings › Account › Delete Account</strong>) removes the account and all "
        "of its visitors, invites and setup at once. Invitation links stop working when the "
        "invite is cancelled.</p>"
        "<h2>Visitors' rights</h2><p>A visitor who asks to see or remove their record should "
        "contact the office they visited; staff can find it with the search on the "
        "<strong>Visitors</strong> screen.</p>";
    send(res, page);
}

void WebsitePages::guidePage(const httplib::Request &, httplib::Response &res) {
    Page page;
    page.title = "Host alerts guide";
    page.body = R"HTML(<h1>Host alerts in chat</h1>
<p>Greetwell can post a message to a chat channel when a visitor signs in (and, if you
like, when they sign out). It uses an <em>incoming webhook</em>: a secret address that
lets anyone who knows it post to one channel. Create one in your chat service as below,
then paste it in the app:</p>
<ul><li><strong>Settings › Alerts › Office webhook</strong> for the whole office, or</li>
<li><strong>Employees › Edit… › Personal webhook</strong> so that a host's own visitors
go to that host's channel instead of the office one.</li></ul>
<p>Press <strong>Send Test Message</strong> to check it. The app recognises the service
from the address and formats the message for it. Treat webhook addresses like passwords.</p>

<h2>Slack</h2>
<ol><li>Open <a href="https://api.slack.com/apps">api.slack.com/apps</a>, choose
<strong>Create New App › From scratch</strong>, name it (for example "Reception") and pick
your workspace.</li>
<li>Under <strong>Features › Incoming Webhooks</strong>, switch <strong>Activate Incoming
Webhooks</strong> on.</li>
<li>Click <strong>Add New Webhook to Workspace</strong>, choose the channel and allow.</li>
<li>Copy the address; it starts with <code>https://hooks.slack.com/services/</code>.</li></ol>

<h2>Microsoft Teams (Workflows)</h2>
<ol><li>In Teams, open the channel, choose <strong>⋯ › Workflows</strong> and pick the
template <strong>Post to a channel when a webhook request is received</strong>.</li>
<li>Name the workflow, check the team and channel, and choose <strong>Add
workflow</strong>.</li>
<li>Copy the address shown at the end. It is on a <code>logic.azure.com</code> or
<code>powerplatform.com</code> host. Messages arrive as an Adaptive Card.</li></ol>
<p class="muted">The older Office 365 "Incoming Webhook" connectors are being retired by
Microsoft; use Workflows.</p>

<h2>Google Chat</h2>
<ol><li>Open the space, click its name and choose <strong>Apps &amp; integrations</strong>
(Google Workspace accounts only).</li>
<li>Choose <strong>Add webhooks</strong>, give it a name (and an avatar if you like) and
save.</li>
<li>Copy the address; it starts with <code>https://chat.googleapis.com/v1/spaces/</code>.</li></ol>

<h2>Discord</h2>
<ol><li>Open <strong>Server Settings › Integrations › Webhooks</strong> (you need the
Manage Webhooks permission) and click <strong>New Webhook</strong>.</li>
<li>Name it, choose the channel and click <strong>Copy Webhook URL</strong>; it starts with
<code>https://discord.com/api/webhooks/</code>.</li></ol>
<p class="muted">Greetwell switches mentions off, so a visitor named "@everyone" pings
nobody.</p>

<h2>Any other receiver (JSON)</h2>
<p>Any other <code>https://</code> address receives a <code>POST</code> with
<code>Content-Type: application/json</code> and a body like this (<code>host</code> is
left out when the visitor named no host; <code>event</code> is <code>sign_in</code> or
<code>sign_out</code>; <code>timestamp</code> is UTC):</p>
<pre>{
  "event": "sign_in",
  "fields": [{"label": "Company", "value": "Acme"}],
  "host": "Dana Reyes",
  "text": "Sam Lee has arrived to see Dana Reyes · 9:41 AM\nCompany: Acme",
  "timestamp": "2026-03-04T15:06:07Z",
  "visitor": "Sam Lee"
}</pre>
<p>Answer with any 2xx status. Anything else, or no answer within 10 seconds, counts as a
failure; Greetwell tries once more two seconds later and shows the last error under
<strong>Settings › Alerts</strong>. Use it with automation tools (Zapier, Make, n8n, Power
Automate) or your own service.</p>)HTML";
    send(res, page);
}

void WebsitePages::notFoundPage(const httplib::Request &, httplib::Response &res) {
    send(res, notFound("Page not found", "There is no page at this address."));
}
