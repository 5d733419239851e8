#include "HttpServer.h"

// Boost 1.74's coroutine support uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <atomic>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace http {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using asio::awaitable;
using asio::use_awaitable;
using boost::system::error_code;

// Keeps a count of something alive for as long as the holder lives.
class Counted {
public:
    explicit Counted(std::atomic<size_t> &count) : m_count(count) { ++m_count; }
    ~Counted() { --m_count; }
    Counted(const Counted &) = delete;
    Counted &operator=(const Counted &) = delete;

private:
    std::atomic<size_t> &m_count;
};

// Runs `work` on `pool`; the awaiting coroutine resumes on its own executor afterwards.
template <class Work> auto runOn(asio::thread_pool &pool, Work &work) {
    return asio::async_initiate<const asio::use_awaitable_t<> &, void()>(
        [&pool, &work](auto handler) {
            auto guard = asio::make_work_guard(asio::get_associated_executor(handler));
            asio::post(pool,
                       [&work, handler = std::move(handler), guard = std::move(guard)]() mutable {
                           work();
                           asio::post(guard.get_executor(), std::move(handler));
                       });
        },
        use_awaitable);
}

std::string_view bufferView(const beast::flat_buffer &buffer) {
    const auto data = buffer.data();
    return {static_cast<const char *>(data.data()), data.size()};
}

// The value of a raw header line after its name and colon, without the line end and
// without the one space clients put after the colon; anything else stays, so a strict
// check sees stray whitespace.
std::string_view rawValue(std::string_view line, size_t colon) {
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.back() == '\n')
        value.remove_suffix(1);
    if (!value.empty() && value.back() == '\r')
        value.remove_suffix(1);
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    return value;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// What a request line says, as far as it can be read: enough to answer a refused request
// in the form of the API it was meant for.
Request fromRequestLine(std::string_view head) {
    Request req;
    const std::string_view line = head.substr(0, head.find('\r'));
    const size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return req;
    req.method = std::string(line.substr(0, space));
    std::string_view target = line.substr(space + 1);
    target = target.substr(0, target.find(' '));
    req.target = std::string(target);
    req.path = decodePath(target.substr(0, target.find_first_of("?#")));
    return req;
}

// Checks the head's framing headers as sent, before the parser, which forgives
// whitespace and lists that let two servers disagree on where a request ends.
// Returns 0 when acceptable, else the status to refuse with.
int checkFraming(std::string_view head) {
    int lengths = 0;
    bool chunked = false;
    size_t at = head.find('\n') + 1;
    while (at < head.size()) {
        const size_t end = head.find('\n', at);
        const std::string_view line = head.substr(at, end - at + 1);
        at = end + 1;
        if (line == "\r\n" || line == "\n")
            break;
        if (line.front() == ' ' || line.front() == '\t')
            return 400; // folded header lines are obsolete and ambiguous
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return 400;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = rawValue(line, colon);
        if (beast::iequals(name, "Content-Length")) {
            if (++lengths > 1 || value.empty() || value.size() > 18)
                return 400;
            for (char c : value)
                if (c < '0' || c > '9')
                    return 400;
        } else if (beast::iequals(name, "Transfer-Encoding")) {
            if (chunked || !beast::iequals(trimmed(value), "chunked"))
                return 501;
            chunked = true;
        } else if (beast::iequals(name, "Content-Encoding")) {
            // Compressed bodies would grow past the body limit only after decoding.
            if (!beast::iequals(trimmed(value), "identity"))
                return 415;
        }
    }
    return lengths && chunked ? 400 : 0;
}

std::string reasonPhrase(int status) {
    const auto text = bhttp::obsolete_reason(bhttp::int_to_status(unsigned(status)));
    return text == "<unknown-status>" ? std::string("Unknown") : std::string(text);
}

bool hasLineBreak(const std::string &text) {
    return text.find_first_of("\r\n", 0, 3) != std::string::npos;
}

std::string serializeHead(const Response &res, bool keepAlive, const Limits &limits) {
    std::string head =
        "HTTP/1.1 " + std::to_string(res.status) + " " + reasonPhrase(res.status) + "\r\n";
    bool typed = false;
    for (const auto &[name, value] : res.headers) {
        // A value built from request data must not add header lines of its own.
        if (name.empty() || hasLineBreak(name) || hasLineBreak(value) ||
            beast::iequals(name, "Content-Length") || beast::iequals(name, "Connection") ||
            beast::iequals(name, "Transfer-Encoding"))
            continue;
        typed = typed || beast::iequals(name, "Content-Type");
        head += name + ": " + value + "\r\n";
    }
    const bool bodiless = res.status < 200 || res.status == 204 || res.status == 304;
    if (!bodiless) {
        if (!typed && !res.body.empty())
            head += "Content-Type: text/plain\r\n";
        head += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    }
    if (keepAlive)
        head += "Connection: keep-alive\r\nKeep-Alive: timeout=" +
                std::to_string(limits.idleTimeout.count()) + "\r\n\r\n";
    else
        head += "Connection: close\r\n\r\n";
    return head;
}

} // namespace

struct Server::Impl {
    Impl(const Routes &r, Limits l, size_t handlerThreads, size_t statementThreads, size_t loops)
        : routes(r), limits(l), loopThreads(std::max<size_t>(1, loops)),
          workers(std::max<size_t>(1, handlerThreads)),
          statementWorkers(std::max<size_t>(1, statementThreads)) {}

    const Routes &routes;
    const Limits limits;
    const size_t loopThreads;
    asio::io_context ioc;
    tcp::acceptor acceptor{ioc};
    asio::thread_pool workers;
    asio::thread_pool statementWorkers;
    std::atomic<size_t> open{0};     // connections being served
    std::atomic<size_t> refusing{0}; // connections being told the server is full
    std::atomic<size_t> busy{0};     // requests between their head and their answer
    std::atomic<bool> stopping{false};

    awaitable<void> acceptLoop();
    awaitable<void> serve(tcp::socket socket);
    awaitable<void> refuseBusy(tcp::socket socket);

    struct Head {
        size_t length = 0; // bytes up to and including the empty line
        int refusal = 0;   // a status to refuse the request with
        bool lost = false; // closed, failed or too slow: nothing to answer
    };
    awaitable<Head> readHead(beast::tcp_stream &stream, beast::flat_buffer &buffer);
    awaitable<bool> send(beast::tcp_stream &stream, const Response &res, bool keepAlive,
                         bool withBody);
    awaitable<void> closeGently(beast::tcp_stream &stream);
    awaitable<void> refuse(beast::tcp_stream &stream, const Request &req, int status);
    awaitable<void> drainAndStop();
};

Server::Server(const Routes &routes, Limits limits, size_t handlerThreads, size_t statementThreads,
               size_t loopThreads)
    : d(std::make_unique<Impl>(routes, limits, handlerThreads, statementThreads, loopThreads)) {}

Server::~Server() {
    d->workers.join();
    d->statementWorkers.join();
}

int Server::bind(const std::string &host, int port) {
    error_code ec;
    tcp::resolver resolver(d->ioc);
    const auto endpoints = resolver.resolve(host, std::to_string(port), ec);
    if (ec || endpoints.empty())
        throw std::runtime_error("could not resolve " + host + ": " + ec.message());
    const tcp::endpoint endpoint = endpoints.begin()->endpoint();
    d->acceptor.open(endpoint.protocol(), ec);
    // SO_REUSEADDR only: a second server on the same port must fail rather than quietly
    // share it.
    if (!ec)
        d->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        d->acceptor.bind(endpoint, ec);
    // Many desks connecting at once need a long queue.
    if (!ec)
        d->acceptor.listen(1024, ec);
    if (ec) {
        d->acceptor.close();
        throw std::runtime_error(port == 0
                                     ? "could not bind a port on " + host
                                     : "could not listen on " + host + ":" + std::to_string(port) +
                                           " (is another server using it?)");
    }
    return d->acceptor.local_endpoint().port();
}

void Server::run() {
    asio::co_spawn(d->ioc, d->acceptLoop(), asio::detached);
    std::vector<std::thread> threads;
    for (size_t i = 1; i < d->loopThreads; ++i)
        threads.emplace_back([this] { d->ioc.run(); });
    d->ioc.run();
    for (auto &thread : threads)
        thread.join();
    // Handlers use the database and the APIs, which the caller may destroy once this
    // returns.
    d->workers.join();
    d->statementWorkers.join();
}

void Server::stop() {
    asio::co_spawn(d->ioc, d->drainAndStop(), asio::detached);
}

awaitable<void> Server::Impl::drainAndStop() {
    if (stopping.exchange(true))
        co_return;
    error_code ec;
    acceptor.close(ec);
    // Requests already read get their answers; idle connections are simply dropped.
    asio::steady_timer timer(ioc);
    for (int i = 0; i < 250 && busy > 0; ++i) {
        timer.expires_after(std::chrono::milliseconds(20));
        co_await timer.async_wait(asio::redirect_error(use_awaitable, ec));
    }
    ioc.stop();
}

awaitable<void> Server::Impl::acceptLoop() {
    asio::steady_timer pause(ioc);
    while (!stopping) {
        error_code ec;
        tcp::socket socket = co_await acceptor.async_accept(
            asio::make_strand(ioc), asio::redirect_error(use_awaitable, ec));
        if (ec) {
            if (!acceptor.is_open() || ec == asio::error::operation_aborted)
                co_return;
            // Out of file descriptors or similar: let connections end, then go on.
            pause.expires_after(std::chrono::milliseconds(100));
            co_await pause.async_wait(asio::redirect_error(use_awaitable, ec));
            continue;
        }
        const auto executor = socket.get_executor();
        if (open < limits.maxConnections)
            asio::co_spawn(executor, serve(std::move(socket)), asio::detached);
        else if (refusing < 64)
            asio::co_spawn(executor, refuseBusy(std::move(socket)), asio::detached);
        // Beyond that the socket closes unanswered: a flood gets no work out of us.
    }
}

awaitable<void> Server::Impl::refuseBusy(tcp::socket socket) {
    Counted counted(refusing);
    beast::tcp_stream stream(std::move(socket));
    co_await refuse(stream, Request(), 503);
}

awaitable<Server::Impl::Head> Server::Impl::readHead(beast::tcp_stream &stream,
                                                     beast::flat_buffer &buffer) {
    Head head;
    size_t scanned = 0;   // bytes already looked at
    size_t lineStart = 0; // start of the line being read
    while (true) {
        // Empty lines before a request line are allowed and ignored.
        while (scanned == 0 && bufferView(buffer).substr(0, 2) == "\r\n")
            buffer.consume(2);
        const std::string_view data = bufferView(buffer);
        for (size_t i = scanned; i < data.size(); ++i) {
            if (data[i] != '\n')
                continue;
            if (i + 1 - lineStart > limits.maxHeaderLine + 2) {
                head.refusal = lineStart == 0 ? 414 : 431;
                co_return head;
            }
            const size_t start = lineStart;
            const bool empty = i == start || (i == start + 1 && data[start] == '\r');
            lineStart = i + 1;
            if (empty && start > 0) {
                head.length = i + 1;
                co_return head;
            }
        }
        scanned = data.size();
        if (data.size() - lineStart > limits.maxHeaderLine + 2) {
            head.refusal = lineStart == 0 ? 414 : 431;
            co_return head;
        }
        if (data.size() > limits.maxHeaderBytes) {
            head.refusal = 431;
            co_return head;
        }
        error_code ec;
        const size_t room = std::min<size_t>(16 * 1024, limits.maxHeaderBytes + 1 - data.size());
        const size_t n = co_await stream.async_read_some(buffer.prepare(room),
                                                         asio::redirect_error(use_awaitable, ec));
        buffer.commit(n);
        if (ec) {
            head.lost = true;
            co_return head;
        }
    }
}

awaitable<bool> Server::Impl::send(beast::tcp_stream &stream, const Response &res, bool keepAlive,
                                   bool withBody) {
    const std::string head = serializeHead(res, keepAlive, limits);
    const std::array<asio::const_buffer, 2> buffers{
        asio::buffer(head), withBody ? asio::buffer(res.body) : asio::const_buffer()};
    error_code ec;
    stream.expires_after(limits.writeTimeout);
    co_await asio::async_write(stream, buffers, asio::redirect_error(use_awaitable, ec));
    co_return !ec;
}

awaitable<void> Server::Impl::closeGently(beast::tcp_stream &stream) {
    // Closing with unread input makes the kernel reset the connection, and the client may
    // lose the answer it was sent. Stop sending, then discard what is still coming for a
    // moment.
    error_code ec;
    stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream.expires_after(std::chrono::seconds(2));
    std::array<char, 16 * 1024> scratch;
    while (!ec)
        co_await stream.async_read_some(asio::buffer(scratch),
                                        asio::redirect_error(use_awaitable, ec));
    stream.close();
}

awaitable<void> Server::Impl::refuse(beast::tcp_stream &stream, const Request &req, int status) {
    Response res;
    routes.refuse(req, res, status);
    if (status == 503)
        res.set_header("Retry-After", "1");
    if (co_await send(stream, res, false, req.method != "HEAD"))
        co_await closeGently(stream);
}

awaitable<void> Server::Impl::serve(tcp::socket socket) {
    Counted counted(open);
    beast::tcp_stream stream(std::move(socket));
    error_code ec;
    // Answers go out in one write, but the next request must not wait on a delayed ACK.
    stream.socket().set_option(tcp::no_delay(true), ec);
    const auto remote = stream.socket().remote_endpoint(ec);
    beast::flat_buffer buffer;
    bool first = true;
    try {
        while (!stopping) {
            if (!first && buffer.size() == 0) {
                // Kept alive: wait for the next request's first byte.
                stream.expires_after(limits.idleTimeout);
                const size_t n = co_await stream.async_read_some(
                    buffer.prepare(4096), asio::redirect_error(use_awaitable, ec));
                buffer.commit(n);
                if (ec)
                    break;
            }
            first = false;
            stream.expires_after(limits.headerTimeout);
            const Head head = co_await readHead(stream, buffer);
            if (head.lost)
                break;
            const std::string_view raw = bufferView(buffer).substr(0, head.length);
            if (head.refusal) {
                co_await refuse(stream, fromRequestLine(bufferView(buffer)), head.refusal);
                break;
            }
            if (const int refusal = checkFraming(raw)) {
                co_await refuse(stream, fromRequestLine(raw), refusal);
                break;
            }

            bhttp::request_parser<bhttp::string_body> parser;
            parser.header_limit(std::uint32_t(limits.maxHeaderBytes + 2));
            parser.body_limit(limits.maxBody);
            parser.eager(false);
            const size_t used = parser.put(asio::buffer(raw.data(), raw.size()), ec);
            if (ec || !parser.is_header_done()) {
                co_await refuse(stream, fromRequestLine(raw),
                                ec == bhttp::error::body_limit ? 413 : 400);
                break;
            }
            Request req = fromRequestLine(raw);
            buffer.consume(used);
            if (!parser.is_done()) {
                const auto expect = parser.get()[bhttp::field::expect];
                if (beast::iequals(expect, "100-continue")) {
                    static const std::string goOn = "HTTP/1.1 100 Continue\r\n\r\n";
                    stream.expires_after(limits.writeTimeout);
                    co_await asio::async_write(stream, asio::buffer(goOn),
                                               asio::redirect_error(use_awaitable, ec));
                    if (ec)
                        break;
                } else if (!expect.empty()) {
                    co_await refuse(stream, req, 417);
                    break;
                }
                stream.expires_after(limits.bodyTimeout);
                co_await bhttp::async_read(stream, buffer, parser,
                                           asio::redirect_error(use_awaitable, ec));
                if (ec == bhttp::error::body_limit) {
                    co_await refuse(stream, req, 413);
                    break;
                }
                if (ec == bhttp::error::bad_chunk || ec == bhttp::error::bad_chunk_extension) {
                    co_await refuse(stream, req, 400);
                    break;
                }
                if (ec)
                    break;
            }

            Counted inProgress(busy);
            auto message = parser.release();
            const bool keepAlive = message.keep_alive() && !stopping;
            for (const auto &field : message)
                req.headers.emplace(std::string(field.name_string()), std::string(field.value()));
            req.body = std::move(message.body());
            req.remote_addr = remote.address().to_string();
            req.remote_port = remote.port();
            Response res;
            const auto work = [this, &req, &res] { routes.serve(req, res); };
            const bool statement = routes.singleStatement && routes.singleStatement(req);
            co_await runOn(statement ? statementWorkers : workers, work);
            if (!co_await send(stream, res, keepAlive, req.method != "HEAD"))
                break;
            if (!keepAlive) {
                co_await closeGently(stream);
                break;
            }
        }
    } catch (const std::exception &e) {
        std::cerr << "greetwell-backend: connection error: " << e.what() << std::endl;
    }
}

} // namespace http
