#include "Config.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

bool parseInt(const std::string &text, int64_t min, int64_t max, int64_t &out) {
    int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

constexpr const char *secretVariable = "GREETWELL_JWT_SECRET";

// The secret in a file only its owner may read. Trailing white space (a final newline)
// is not part of it.
bool readSecretFile(const std::string &path, std::string &out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        std::cerr << "greetwell-backend: cannot read --jwt-secret-file " << path << ": "
                  << std::strerror(errno) << "\n";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::cerr << "greetwell-backend: --jwt-secret-file " << path << " is not a file\n";
        return false;
    }
    if (st.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        std::cerr << "greetwell-backend: --jwt-secret-file " << path << " has mode " << mode
                  << ", so other users may read it; make it private with chmod 600\n";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        std::cerr << "greetwell-backend: cannot read --jwt-secret-file " << path << "\n";
        return false;
    }
    out = text.str();
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back())))
        out.pop_back();
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
           "  --jwt-secret-file FILE file holding the HS256 secret for access tokens (at\n"
           "                         least 32 characters; readable by its owner only).\n"
           "                         Or set GREETWELL_JWT_SECRET. Without either, a random\n"
           "                         one is used, so sessions end with the process\n"
           "  --apikey KEY           the publishable API key clients must send\n"
           "                         (default sb_publishable_greetwell-local-desk-0123456789)\n"
           "  --token-lifetime SECS  access token lifetime (default 3600)\n"
           "  --no-autoconfirm       new accounts must confirm their address by e-mail first\n"
           "  --outbox DIR           folder for outgoing e-mail as .eml files\n"
           "                         (default ~/.local/share/greetwell/outbox)\n"
           "  --site-url URL         this server's public origin for links in e-mails\n"
           "                         (default http://127.0.0.1:PORT)\n"
           "  --demo                 create a demo account with sample data\n"
           "  --threads N            handler threads for sign-ins, the website and rpc calls\n"
           "                         (default 16; requests beyond them wait their turn)\n"
           "  --db-connections N     PostgreSQL connections for the REST tables' statements,\n"
           "                         each with one handler thread (default 4)\n"
           "  --max-connections N    open client connections; more are answered 503\n"
           "                         (default 1000)\n"
           "  --idle-timeout SECS    close kept-alive connections idle this long (default 5)\n"
           "  --header-timeout SECS  a request's headers must arrive within this (default 10)\n"
           "  --refresh-reuse-interval SECS\n"
           "                         a spent refresh token used again this soon gets the\n"
           "                         session it was spent for (default 10)\n"
           "  --rate-limit KIND=COUNT/SECS\n"
           "                         at most COUNT requests per SECS (bursts of up to 30);\n"
           "                         COUNT 0 lifts the limit. KIND and default:\n"
           "                           sign-in=30/300           password sign-in and sign-up,\n"
           "                                                    per client address\n"
           "                           sign-in-per-email=10/300 the same, per e-mail address\n"
           "                           mail=30/3600             confirmation and reset mails,\n"
           "                                                    per client address\n"
           "                           mail-per-email=1/60      the same, per e-mail address\n"
           "                           refresh=1800/3600        token refreshes, per address\n"
           "  --no-rate-limits       lift every rate limit (tests, benchmarks)\n"
           "  --help                 show this text\n";
}

namespace {

// Reads the command line one flag at a time; every failure is said on stderr.
class Arguments {
public:
    Arguments(int argc, char **argv) : m_argc(argc), m_argv(argv) {}

    bool next() {
        if (++m_index >= m_argc)
            return false;
        m_flag = m_argv[m_index];
        return true;
    }
    const std::string &flag() const { return m_flag; }

    // The value after the flag.
    bool value(std::string &target) {
        if (m_index + 1 >= m_argc) {
            std::cerr << "greetwell-backend: " << m_flag << " needs a value\n";
            return false;
        }
        target = m_argv[++m_index];
        return true;
    }
    bool number(int64_t min, int64_t max, int64_t &target) {
        std::string text;
        if (!value(text))
            return false;
        if (!parseInt(text, min, max, target)) {
            std::cerr << "greetwell-backend: " << m_flag << " expects a whole number from " << min
                      << " to " << max << ", not \"" << text << "\"\n";
            return false;
        }
        return true;
    }

private:
    int m_argc;
    char **m_argv;
    int m_index = 0;
    std::string m_flag;
};

struct TextFlag {
    const char *name;
    std::string Config::*target;
};
const TextFlag textFlags[] = {{"--database", &Config::database},
                              {"--apikey", &Config::apikey},
                              {"--outbox", &Config::outbox},
                              {"--site-url", &Config::siteUrl}};

struct NumberFlag {
    const char *name;
    int64_t min, max;
    void (*set)(Config &, int64_t);
};
const NumberFlag numberFlags[] = {
    {"--port", 0, 65535, [](Config &c, int64_t n) { c.port = int(n); }},
    {"--token-lifetime", 1, 7 * 24 * 3600, [](Config &c, int64_t n) { c.tokenLifetime = n; }},
    {"--threads", 1, 1024, [](Config &c, int64_t n) { c.threads = int(n); }},
    {"--db-connections", 1, 64, [](Config &c, int64_t n) { c.dbConnections = int(n); }},
    {"--max-connections", 1, 100000, [](Config &c, int64_t n) { c.maxConnections = int(n); }},
    {"--idle-timeout", 1, 3600, [](Config &c, int64_t n) { c.idleTimeout = int(n); }},
    {"--header-timeout", 1, 600, [](Config &c, int64_t n) { c.headerTimeout = int(n); }},
    {"--refresh-reuse-interval", 0, 3600, [](Config &c, int64_t n) { c.refreshReuseInterval = n; }},
};

// Applies the flag `args` stands at; false after saying why it cannot.
bool applyFlag(Arguments &args, Config &out, bool &secretFromFile) {
    const std::string &arg = args.flag();
    for (const TextFlag &flag : textFlags)
        if (arg == flag.name)
            return args.value(out.*flag.target);
    for (const NumberFlag &flag : numberFlags)
        if (arg == flag.name) {
            int64_t n = 0;
            if (!args.number(flag.min, flag.max, n))
                return false;
            flag.set(out, n);
            return true;
        }
    if (arg == "--jwt-secret-file") {
        std::string path;
        secretFromFile = true;
        return args.value(path) && readSecretFile(path, out.jwtSecret);
    }
    if (arg == "--jwt-secret" || arg.rfind("--jwt-secret=", 0) == 0) {
        std::cerr << "greetwell-backend: --jwt-secret is not accepted (other users can read "
                     "a command line); use --jwt-secret-file or "
                  << secretVariable << "\n";
        return false;
    }
    if (arg == "--no-autoconfirm") {
        out.autoconfirm = false;
    } else if (arg == "--demo") {
        out.demo = true;
    } else if (arg == "--no-rate-limits") {
        out.rateLimits.liftAll();
    } else if (arg == "--rate-limit") {
        std::string assignment;
        if (!args.value(assignment))
            return false;
        if (!out.rateLimits.set(assignment)) {
            std::cerr << "greetwell-backend: --rate-limit expects KIND=COUNT/SECONDS with "
                         "KIND one of sign-in, sign-in-per-email, mail, mail-per-email, "
                         "refresh, not \""
                      << assignment << "\"\n";
            return false;
        }
    } else {
        std::cerr << "greetwell-backend: unknown option " << arg << "\n\n" << Config::usage();
        return false;
    }
    return true;
}

// What the flags leave to the environment and to defaults, and the checks across flags.
bool complete(Config &out, bool secretFromFile) {
    if (const char *secret = std::getenv(secretVariable)) {
        if (!secretFromFile)
            out.jwtSecret = secret;
        // Nothing this process starts needs it.
        unsetenv(secretVariable);
    }
    if (!out.jwtSecret.empty() && out.jwtSecret.size() < 32) {
        std::cerr << "greetwell-backend: the token-signing secret must be at least 32 "
                     "characters\n";
        return false;
    }
    if (out.apikey.empty()) {
        std::cerr << "greetwell-backend: --apikey may not be empty\n";
        return false;
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
    return true;
}

} // namespace

std::optional<int> Config::parse(int argc, char **argv, Config &out) {
    Arguments args(argc, argv);
    bool secretFromFile = false;
    while (args.next()) {
        if (args.flag() == "--help" || args.flag() == "-h") {
            std::cout << usage();
            return 0;
        }
        if (!applyFlag(args, out, secretFromFile))
            return 2;
    }
    if (!complete(out, secretFromFile))
        return 2;
    return std::nullopt;
}
