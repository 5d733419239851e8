#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RateLimiter.h"

// greetwell-backend's settings, from the command line. The token-signing secret comes from
// a file or the environment instead: any local user can read another's command line.
struct Config {
    std::string host = "127.0.0.1";
    int port = 54321; // 0 picks a free port (the ready line says which)
    std::string database;
    std::string jwtSecret; // --jwt-secret-file or GREETWELL_JWT_SECRET; empty: a random one
    std::string apikey = "sb_publishable_greetwell-local-desk-0123456789";
    int64_t tokenLifetime = 3600;
    bool autoconfirm = true;
    std::string outbox;  // empty: the user's data folder
    std::string siteUrl; // empty: http://HOST:PORT
    bool demo = false;
    int threads = 16; // request handlers
    int dbConnections = 4;
    int maxConnections = 1000;
    int idleTimeout = 5;               // seconds
    int headerTimeout = 10;            // seconds
    int64_t refreshReuseInterval = 10; // seconds a spent refresh token still answers
    RateLimits rateLimits;

    // Parses argv; on a bad flag or --help prints to stderr/stdout and returns the exit
    // code to end with.
    static std::optional<int> parse(int argc, char **argv, Config &out);
    static std::string usage();
};
