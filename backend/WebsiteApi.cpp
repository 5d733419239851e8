#include "WebsiteApi.h"

#include "ApiFailure.h"
#include "Clock.h"
#include "Crypto.h"
#include "Http.h"
#include "RestQuery.h"
#include "WebText.h"

#include <nlohmann/json.hpp>

#include <map>
#include <set>

namespace {

constexpr size_t maxNoteCharacters = 500;
constexpr size_t maxAnswerCharacters = 200;
constexpr size_t maxAnswers = 50;

// A request the website API refuses, with the status and the message for people.
struct WebError : std::runtime_error {
    WebError(int status, const std::string &message)
        : std::runtime_error(message), status(status) {}
    int status;
};

// The create-invite body after checking.
struct NewInvite {
    struct Answer {
        int64_t slot = 0;
        std::string value;
    };
    std::vector<Answer> answers;
    std::string visitorName; // the answer in slot 0
    std::string email;
    std::optional<std::string> visitDate;
    std::optional<std::string> visitTime;
    std::optional<std::string> note;
};

std::optional<std::string> optionalText(const nlohmann::json &body, const char *key) {
    const auto it = body.find(key);
    if (it == body.end() || it->is_null())
        return std::nullopt;
    if (!it->is_string())
        throw WebError{400, std::string("\"") + key + "\" must be text."};
    return it->get<std::string>();
}

void refuseNul(const std::string &text) {
    if (text.find('\0') != std::string::npos)
        throw WebError{422, "Text may not contain NUL characters."};
}

// The body's shape: a list of answers and optional texts.
NewInvite readNewInvite(const std::string &raw) {
    if (raw.empty() || rest::jsonDepth(raw) > 16)
        throw WebError{400, "The request body must be a JSON object."};
    const auto body = nlohmann::json::parse(raw, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw WebError{400, "The request body must be a JSON object."};

    NewInvite invite;
    const auto answers = body.find("answers");
    if (answers == body.end() || !answers->is_array())
        throw WebError{400, "\"answers\" must be a list of {\"slot\", \"value\"} objects."};
    for (const auto &item : *answers) {
        const auto slot = item.is_object() ? item.find("slot") : item.end();
        const auto value = item.is_object() ? item.find("value") : item.end();
        if (!item.is_object() || slot == item.end() || !slot->is_number_integer() ||
            value == item.end() || !value->is_string())
            throw WebError{400, "Each answer must be an object with a whole-number \"slot\" and a "
                                "text \"value\"."};
        if (slot->get<int64_t>() < 0)
            throw WebError{400, "Answer slots are numbers from 0 up."};
        invite.answers.push_back({slot->get<int64_t>(), value->get<std::string>()});
    }
    invite.email = optionalText(body, "email").value_or("");
    invite.visitDate = optionalText(body, "visit_date");
    invite.visitTime = optionalText(body, "visit_time");
    invite.note = optionalText(body, "note");
    return invite;
}

// Trims the answers and checks them; leaves out the empty ones.
void checkAnswers(NewInvite &invite) {
    if (invite.answers.size() > maxAnswers)
        throw WebError{422, "An invite can carry at most 50 answers."};
    std::set<int64_t> slots;
    for (auto &answer : invite.answers) {
        refuseNul(answer.value);
        answer.value = webtext::trim(answer.value);
        if (!slots.insert(answer.slot).second)
            throw WebError{422, "Each answer must have its own slot."};
        if (webtext::characterCount(answer.value) > maxAnswerCharacters)
            throw WebError{422, "Each answer can be at most 200 characters."};
    }
    const auto name = std::find_if(invite.answers.begin(), invite.answers.end(),
                                   [](const auto &a) { return a.slot == 0; });
    if (name == invite.answers.end() || name->value.empty())
        throw WebError{422, "Please enter the visitor's name."};
    invite.visitorName = name->value;
    // Empty answers carry nothing; the desk leaves them out too.
    std::erase_if(invite.answers, [](const auto &a) { return a.value.empty(); });
}

// The create-invite body, checked in the order of the desk's form (the checks people can
// act on come after the body's shape).
NewInvite parseNewInvite(const std::string &raw) {
    NewInvite invite = readNewInvite(raw);
    checkAnswers(invite);
    invite.email = webtext::trim(invite.email);
    if (!webtext::isMailableAddress(invite.email))
        throw WebError{422, "Please enter a valid email address to send the invite to."};
    if (invite.visitDate && invite.visitDate->empty())
        invite.visitDate.reset();
    if (invite.visitTime && invite.visitTime->empty())
        invite.visitTime.reset();
    if (invite.visitDate && !webtext::isIsoDate(*invite.visitDate))
        throw WebError{422, "The visit date must be a calendar day written as yyyy-MM-dd."};
    if (invite.visitTime && !webtext::isClockTime(*invite.visitTime))
        throw WebError{422, "The visit time must be written as HH:mm (00:00 to 23:59)."};
    if (invite.visitTime && !invite.visitDate)
        throw WebError{422, "A visit time needs a visit date."};
    if (invite.note) {
        refuseNul(*invite.note);
        invite.note = webtext::trim(*invite.note);
        if (invite.note->empty())
            invite.note.reset();
        else if (webtext::characterCount(*invite.note) > maxNoteCharacters)
            throw WebError{422, "The note can be at most 500 characters."};
    }
    return invite;
}

// Slot -> label of the account's sign-in form; the default form when it has none saved.
std::map<int64_t, std::string> formLabels(const std::optional<std::string> &fieldsJson) {
    if (!fieldsJson)
        return {{0, "Name"}, {1, "Email"}, {2, "Phone"}};
    std::map<int64_t, std::string> labels;
    const auto fields = nlohmann::json::parse(*fieldsJson, nullptr, false);
    if (!fields.is_array())
        return labels;
    for (const auto &field : fields) {
        if (!field.is_object())
            continue;
        const auto slot = field.find("slot");
        const auto label = field.find("label");
        if (slot != field.end() && slot->is_number_integer() && label != field.end() &&
            label->is_string())
            labels.emplace(slot->get<int64_t>(), label->get<std::string>());
    }
    return labels;
}

std::optional<std::string> textOf(const pqxx::field &field) {
    if (field.is_null())
        return std::nullopt;
    return std::string(field.c_str());
}

// The account's sign-in form labels and place name, as the invitation shows them.
struct AccountSetup {
    std::map<int64_t, std::string> labels;
    std::string place;
};
AccountSetup accountSetup(Db::Tx &tx, const std::string &userId) {
    const auto rows = tx.exec(
        "SELECT fields::text, place_name FROM public.kiosk_settings WHERE owner_id = $1::uuid",
        userId);
    if (rows.empty())
        return {formLabels(std::nullopt), {}};
    return {formLabels(textOf(rows[0][0])), textOf(rows[0][1]).value_or("")};
}

// The answers as the invite stores them: slot, the form's label for it, value.
nlohmann::ordered_json labelledAnswers(const NewInvite &invite,
                                       const std::map<int64_t, std::string> &labels) {
    nlohmann::ordered_json answers = nlohmann::ordered_json::array();
    for (const auto &answer : invite.answers) {
        nlohmann::ordered_json item;
        item["slot"] = answer.slot;
        if (const auto label = labels.find(answer.slot); label != labels.end())
            item["label"] = label->second;
        item["value"] = answer.value;
        answers.push_back(std::move(item));
    }
    return answers;
}

std::string accountName(const std::string &claimsJson) {
    const auto claims = nlohmann::json::parse(claimsJson, nullptr, false);
    if (!claims.is_object())
        return {};
    const auto metadata = claims.find("user_metadata");
    if (metadata == claims.end() || !metadata->is_object())
        return {};
    const auto name = metadata->find("name");
    return name != metadata->end() && name->is_string() ? webtext::trim(name->get<std::string>())
                                                        : std::string();
}

} // namespace

WebsiteApi::WebsiteApi(Db &db, const Jwt &jwt, Outbox &outbox, std::function<std::string()> siteUrl)
    : m_db(db), m_jwt(jwt), m_outbox(outbox), m_siteUrl(std::move(siteUrl)) {}

void WebsiteApi::install(httplib::Server &server) {
    const auto guarded =
        [this](void (WebsiteApi::*handler)(const httplib::Request &, httplib::Response &)) {
            return [this, handler](const httplib::Request &req, httplib::Response &res) {
                try {
                    (this->*handler)(req, res);
                } catch (const WebError &e) {
                    http::sendWebError(res, e.status, e.what());
                } catch (...) {
                    sendFailure(ApiForm::Web, req, res, std::current_exception());
                }
            };
        };
    server.Post("/api/invites", guarded(&WebsiteApi::createInvite));
    server.Post(R"(/api/invites/([^/]+)/resend)", guarded(&WebsiteApi::resendInvite));
}

std::optional<WebsiteApi::Caller> WebsiteApi::authenticate(const httplib::Request &req,
                                                           httplib::Response &res) {
    const auto token = http::bearerToken(req);
    if (!token || token->empty()) {
        http::sendWebError(res, 401, "Sign in to send invites.");
        return std::nullopt;
    }
    const auto verified = m_jwt.verifyCached(*token, nowSeconds());
    // A signed-out session may still hold an unexpired token; it must not send mail.
    const bool live =
        verified.ok() && crypto::isUuid(verified.sessionId) && m_db.asServer([&](Db::Tx &tx) {
            return tx.exec("SELECT 1 FROM auth.sessions WHERE id = $1::uuid AND user_id = $2::uuid",
                           verified.sessionId, verified.sub)
                       .size() == 1;
        });
    if (!live) {
        http::sendWebError(res, 401, "Your session ended. Please sign in again.");
        return std::nullopt;
    }
    return Caller{verified.sub, accountName(verified.claimsJson)};
}

void WebsiteApi::createInvite(const httplib::Request &req, httplib::Response &res) {
    const auto caller = authenticate(req, res);
    if (!caller)
        return;
    const NewInvite invite = parseNewInvite(req.body);
    const std::string token = crypto::randomToken(32); // 256 random bits
    const std::string link = m_siteUrl() + "/i/" + token;

    try {
        // service_role, because desks may not insert invites; the owner is the verified
        // caller and nobody else.
        const std::string row = m_db.asService([&](Db::Tx &tx) {
            const AccountSetup setup = accountSetup(tx, caller->userId);
            const auto inserted = tx.exec(
                "INSERT INTO public.invites (owner_id, token, visitor_name, visitor_email, "
                "answers, visit_date, visit_time, note) "
                "VALUES ($1::uuid, $2, $3, $4, $5::jsonb, NULLIF($6, '')::date, NULLIF($7, ''), "
                "NULLIF($8, '')) "
                "RETURNING json_build_object('id', id, 'token', token, 'visitor_name', "
                "visitor_name, 'visitor_email', visitor_email, 'answers', answers, 'visit_date', "
                "visit_date, 'visit_time', visit_time, 'note', note, 'created_at', created_at, "
                "'used_at', used_at)::text",
                std::vector<std::string>{caller->userId, token, invite.visitorName, invite.email,
                                         labelledAnswers(invite, setup.labels).dump(),
                                         invite.visitDate.value_or(""),
                                         invite.visitTime.value_or(""), invite.note.value_or("")});
            // Written before the commit: an invite whose e-mail could not be written is
            // not kept.
            m_outbox.write(
                composeInviteMail({invite.email, invite.visitorName, setup.place, caller->name,
                                   invite.visitDate, invite.visitTime, invite.note, link, false}));
            return std::string(inserted.at(0)[0].c_str());
        });
        res.set_header("Location", "/i/" + token);
        http::sendJson(res, 201, row);
    } catch (...) {
        const ApiFailure failure = ApiFailure::of(std::current_exception());
        // The account was deleted while its token was still valid.
        if (failure.kind == ApiFailure::Kind::Sql && failure.sql.sqlstate == "23503")
            throw WebError{401, "Your session ended. Please sign in again."};
        if (failure.kind == ApiFailure::Kind::Sql && failure.sql.sqlstate == "23514")
            throw WebError{422, "The invite could not be saved: one of its values is too long."};
        throw;
    }
}

void WebsiteApi::resendInvite(const httplib::Request &req, httplib::Response &res) {
    const auto caller = authenticate(req, res);
    if (!caller)
        return;
    std::string id = req.matches[1];
    for (char &c : id)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!crypto::isUuid(id))
        throw WebError{404, "This invite does not exist."};

    enum class Result { Sent, Missing, Used };
    const Result result = m_db.asService([&](Db::Tx &tx) {
        const auto rows = tx.exec(
            "SELECT i.visitor_name, i.visitor_email, i.visit_date::text, i.visit_time, i.note, "
            "i.token, i.used_at IS NOT NULL, k.place_name "
            "FROM public.invites i LEFT JOIN public.kiosk_settings k ON k.owner_id = i.owner_id "
            "WHERE i.id = $1::uuid AND i.owner_id = $2::uuid FOR UPDATE OF i",
            id, caller->userId);
        if (rows.empty())
            return Result::Missing;
        const auto &row = rows[0];
        if (row[6].as<bool>())
            return Result::Used;
        m_outbox.write(
            composeInviteMail({row[1].c_str(), row[0].c_str(), textOf(row[7]).value_or(""),
                               caller->name, textOf(row[2]), textOf(row[3]), textOf(row[4]),
                               m_siteUrl() + "/i/" + row[5].c_str(), true}));
        return Result::Sent;
    });
    if (result == Result::Missing)
        throw WebError{404, "This invite does not exist."};
    if (result == Result::Used)
        throw WebError{409, "This invite has already been used to sign in."};
    res.status = 204;
}

Outbox::Mail WebsiteApi::composeInviteMail(const InviteMail &invite) {
    const std::string place = webtext::trim(invite.placeName);
    const std::string host = webtext::trim(invite.hostName);
    const std::string when = webtext::visitText(invite.visitDate, invite.visitTime);

    Outbox::Mail mail;
    mail.to = invite.to;
    mail.kind = invite.reminder ? "invite-resend" : "invite";
    mail.subject = std::string(invite.reminder ? "Reminder: y" : "Y") + "ou're invited" +
                   (place.empty() ? std::string() : " to " + place);

    const std::string target =
        place.empty() ? std::string(" for a visit.") : " to visit " + place + ".";
    const std::string invited =
        (host.empty() ? std::string("You are invited") : host + " has invited you") + target;
    mail.text = "Hello " + invite.visitorName + ",\n\n" + invited + "\n\nWhen: " + when + "\n";
    if (invite.note)
        mail.text += "\nA note for you:\n" + *invite.note + "\n";
    mail.text += "\nYour invitation, with the QR code to show at reception:\n" + invite.link +
                 "\n\nWhen you arrive, show the code at the front desk and your details will "
                 "be ready.\n";

    using webtext::html;
    mail.html = "<!doctype html><html><body style=\"font-family:sans-serif;line-height:1.5\">"
                "<p>Hello " +
                html(invite.visitorName) + ",</p><p>" + html(invited) +
                "</p><p><strong>When:</strong> " + html(when) + "</p>";
    if (invite.note)
        mail.html += "<p style=\"white-space:pre-wrap\"><strong>A note for you:</strong>\n" +
                     html(*invite.note) + "</p>";
    mail.html += "<p><a href=\"" + html(invite.link) +
                 "\">Open your invitation</a> to see the QR code to show at reception.</p>"
                 "<p style=\"color:#666\">When you arrive, show the code at the front desk and "
                 "your details will be ready.</p></body></html>";
    return mail;
}
