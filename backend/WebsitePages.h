#pragma once

#include "Db.h"
#include "Http.h"
#include "Jwt.h"

#include <functional>
#include <string>

// The website's pages, served as small self-contained HTML documents:
//   i/<token>                  an invitation with its QR code
//   auth/callback (and /)      where e-mailed links land; ?next=/reset-password offers
//                              the new-password form, whose script posts back to
//                              auth/callback and reads a JSON answer
//   dashboard                  the account's day at a glance (signs in from the browser)
//   support, privacy, guides/host-notifications
// Anything else outside the APIs gets a friendly "not found" page.
class WebsitePages {
public:
    // `apikey` is the publishable key the dashboard's script sends; `siteUrl` gives this
    // server's origin (known once the port is bound).
    WebsitePages(Db &db, const Jwt &jwt, std::string apikey, std::function<std::string()> siteUrl);

    void install(httplib::Server &server);

private:
    void invitePage(const httplib::Request &req, httplib::Response &res);
    void callbackPage(const httplib::Request &req, httplib::Response &res);
    void setPassword(const httplib::Request &req, httplib::Response &res);
    void dashboardPage(const httplib::Request &req, httplib::Response &res);
    void supportPage(const httplib::Request &req, httplib::Response &res);
    void privacyPage(const httplib::Request &req, httplib::Response &res);
    void guidePage(const httplib::Request &req, httplib::Response &res);
    void notFoundPage(const httplib::Request &req, httplib::Response &res);

    Db &m_db;
    const Jwt &m_jwt;
    std::string m_apikey;
    std::function<std::string()> m_siteUrl;
};
