#pragma once

#include "Http.h"

#include <string>

class Backend;

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
    explicit WebsitePages(Backend &backend);

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

    Backend &m_backend;
};
