#pragma once

#include "Db.h"
#include "Http.h"
#include "Jwt.h"
#include "Outbox.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The website's invite API:
//   POST api/invites               creates an invite for the caller and e-mails it (201)
//   POST api/invites/<id>/resend   e-mails a waiting invite again (204)
// Callers authenticate with the access token of the auth API. Errors are
// {"error": "<message for people>"} with 400, 401, 404, 409 or 422.
class WebsiteApi {
public:
    // `siteUrl` gives this server's origin for the links in invitations (known once the
    // port is bound).
    WebsiteApi(Db &db, const Jwt &jwt, Outbox &outbox, std::function<std::string()> siteUrl);

    void install(httplib::Server &server);

    // What an invitation e-mail says; the same text goes out on resend.
    struct InviteMail {
        std::string to;
        std::string visitorName;
        std::string placeName; // empty: the account has not named its place
        std::string hostName;  // the account holder's name; may be empty
        std::optional<std::string> visitDate;
        std::optional<std::string> visitTime;
        std::optional<std::string> note;
        std::string link;
        bool reminder = false;
    };
    static Outbox::Mail composeInviteMail(const InviteMail &invite);

private:
    struct Caller {
        std::string userId;
        std::string name; // from the token's user metadata
    };
    std::optional<Caller> authenticate(const httplib::Request &req, httplib::Response &res);

    void createInvite(const httplib::Request &req, httplib::Response &res);
    void resendInvite(const httplib::Request &req, httplib::Response &res);

    Db &m_db;
    const Jwt &m_jwt;
    Outbox &m_outbox;
    std::function<std::string()> m_siteUrl;
};
