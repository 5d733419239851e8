#pragma once

#include "Http.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace http {

// What one client may ask of the server. A request over a limit is answered with the
// matching status and the connection closed; nothing past the limit is buffered.
struct Limits {
    size_t maxBody = 1024 * 1024;           // decoded body bytes (413)
    size_t maxHeaderLine = 8 * 1024;        // request line (414) or one header line (431)
    size_t maxHeaderBytes = 64 * 1024;      // the whole head (431)
    std::chrono::seconds headerTimeout{10}; // from connecting or from a request's first byte
    std::chrono::seconds idleTimeout{5};    // between requests on a kept-alive connection
    std::chrono::seconds bodyTimeout{30};   // from the end of the head to the end of the body
    std::chrono::seconds writeTimeout{30};  // to send one answer
    size_t maxConnections = 1000;           // more are answered 503 and closed
};

// HTTP/1.1 over TCP: an event loop on a few threads reads and checks requests and writes
// answers; the handlers run on separate, bounded pools of threads, since they wait on
// the database. Requests on one connection are answered in the order they came.
//
// Requests that Routes::singleStatement picks (the desks' polling) have a pool of their
// own, as large as the statement connections they wait for: more threads would only
// queue on the connection pool's lock, and each hand-over between them costs a context
// switch. Everything else (sign-ins with their slow password hashes, the website) runs
// on the other pool and cannot hold the polling up.
class Server {
public:
    Server(const Routes &routes, Limits limits, size_t handlerThreads, size_t statementThreads,
           size_t loopThreads);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on host:port (0: any free port); returns the port bound. Throws on failure.
    int bind(const std::string &host, int port);
    // Serves until stop(); then lets requests in progress finish (for a few seconds).
    void run();
    // From any thread, also before run().
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace http
