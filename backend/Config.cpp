#include "Config.h"

#include <charconv>
#include <cstdlib>
#include <iostream>

namespace {

bool parseInt(const std::string &text, int64_t min, int64_t max, int64_t &out) {
    int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

} // namespace

std::string Config::usage() {
    return "Usage: greetwell-backend [options]\n"
           "\n"
           "Serves the auth API (auth/v1) and the REST API (rest/v1) over PostgreSQL.\n"
           "\n"
           "  --port N               port on 127.0.0.1 (default 54321; 0 picks a free one)\n"
           "  --database DSN         libpq connection string (default: libpq's defaults)\n"
           "  --jwt-secret SECRET    HS256 secret for access tokens, at least 32 characters\n"
           "                         (default: a random one, so sessions end with the process)\n"
           "  --apikey KEY           the publishable API key clients must send\n"
           "                         (default sb_publishable_greetwell-local-desk-0123456789)\n"
           "  --token-lifetime SECS  access token lifetime (default 3600)\n"
           "  --no-autoconfirm       new accounts must confirm their address by e-mail first\n"
           "  --outbox DIR           folder for outgoing e-mail as .eml files\n"
           "                         (default ~/.local/share/greetwell/outbox)\n"
           "  --site-url URL         this server's public origin for links in e-mails\n"
           "                         (default http://127.0.0.1:PORT)\n"
           "  --demo                 create a demo account with sample data\n"
           "  --threads N            request handler threads (default 16; requests beyond\n"
           "                         them wait their turn)\n"
           "  --db-connections N     PostgreSQL connections in the pool (default 4)\n"
           "  --max-connections N    open client connections; more are answered 503\n"
           "                         (default 1000)\n"
           "  --idle-timeout SECS    close kept-alive connections idle this long (default 5)\n"
           "  --header-timeout SECS  a request's headers must arrive within this (default 10)\n"
           "  --help                 show this text\n";
}

std::optional<int> Config::parse(int argc, char **argv, Config &out) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &target) {
            if (i + 1 >= argc) {
                std::cerr << "greetwell-backend: " << arg << " needs a value\n";
                return false;
            }
            target = argv[++i];
            return true;
        };
        auto number = [&](int64_t min, int64_t max, int64_t &target) {
            std::string text;
            if (!value(text))
                return false;
            if (!parseInt(text, min, max, target)) {
                std::cerr << "greetwell-backend: " << arg << " expects a whole number from " << min
                          << " to " << max << ", not \"" << text << "\"\n";
                return false;
            }
            return true;
        };
        int64_t n = 0;
        if (arg == "--help" || arg == "-h") {
            std::cout << usage();
            return 0;
        } else if (arg == "--port") {
            if (!number(0, 65535, n))
                return 2;
            out.port = int(n);
        } else if (arg == "--database") {
            if (!value(out.database))
                return 2;
        } else if (arg == "--jwt-secret") {
            if (!value(out.jwtSecret))
                return 2;
        } else if (arg == "--apikey") {
            if (!value(out.apikey))
                return 2;
        } else if (arg == "--token-lifetime") {
            if (!number(1, 7 * 24 * 3600, n))
                return 2;
            out.tokenLifetime = n;
        } else if (arg == "--no-autoconfirm") {
            out.autoconfirm = false;
        } else if (arg == "--outbox") {
            if (!value(out.outbox))
                return 2;
        } else if (arg == "--site-url") {
            if (!value(out.siteUrl))
                return 2;
        } else if (arg == "--demo") {
            out.demo = true;
        } else if (arg == "--threads") {
            if (!number(1, 1024, n))
                return 2;
            out.threads = int(n);
        } else if (arg == "--db-connections") {
            if (!number(1, 64, n))
                return 2;
            out.dbConnections = int(n);
        } else if (arg == "--max-connections") {
            if (!number(1, 100000, n))
                return 2;
            out.maxConnections = int(n);
        } else if (arg == "--idle-timeout") {
            if (!number(1, 3600, n))
                return 2;
            out.idleTimeout = int(n);
        } else if (arg == "--header-timeout") {
            if (!number(1, 600, n))
                return 2;
            out.headerTimeout = int(n);
        } else {
            std::cerr << "greetwell-backend: unknown option " << arg << "\n\n" << usage();
            return 2;
        }
    }
    if (!out.jwtSecret.empty() && out.jwtSecret.size() < 32) {
        std::cerr << "greetwell-backend: --jwt-secret must be at least 32 characters\n";
        return 2;
    }
    if (out.apikey.empty()) {
        std::cerr << "greetwell-backend: --apikey may not be empty\n";
        return 2;
    }
    while (!out.siteUrl.empty() && out.siteUrl.back() == '/')
        out.siteUrl.pop_back();
    if (out.outbox.empty()) {
        const char *xdg = std::getenv("XDG_DATA_HOME");
        const char *home = std::getenv("HOME");
        const std::string base =
            xdg && *xdg ? xdg : std::string(home ? home : ".") + "/.local/share";
        out.outbox = base + "/greetwell/outbox";
    }
    return std::nullopt;
}
