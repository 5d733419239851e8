// bench_backend: replays the desk's 15-second poll against a throwaway greetwell-backend
// from many simulated desks, measures one 1,000-row export page, and runs pgbench with the
// same SQL on the same data for comparison. Started by bench/backend/run, which creates
// the server and the data; see there.
//
//   bench_backend --info INFO.json [--pgbench PATH] [--desks 100] [--seconds 10]
//                 [--rate 2000] [--pgbench-clients N] [--keep-scripts DIR]
//                 [--server-pid PID] [--postgres-pid PID] [--soak-seconds 30] [--slow-clients 500]
//                 [--soak-rate 1000]
//
// Only loopback servers are accepted, and every phase is bounded in time and requests.

#include "RestQuery.h"
#include "Tables.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *listPath =
    "/rest/v1/"
    "visitors?select=id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,"
    "device_name&order=signed_in_at.desc&signed_out_at=is.null&limit=500";
constexpr const char *exportPath =
    "/rest/v1/"
    "visitors?select=id,visitor_name,host_name,answers,signed_in_at,signed_out_at,list_name,"
    "device_name&order=signed_in_at.desc&limit=1000&offset=0";
constexpr size_t maxRequestsPerPhase = 5'000'000;

struct Options {
    std::string info;
    std::string pgbench = "/usr/lib/postgresql/15/bin/pgbench";
    int desks = 100;
    int seconds = 10;
    double rate = 2000;
    int pgbenchClients = 0;  // 0: 2 and 4 connections, the faster counts
    std::string keepScripts; // folder to leave the pgbench scripts in, with a command line
    int serverPid = 0;       // to read the server's memory and processor use; 0: not measured
    int postgresPid = 0;     // the cluster's postmaster, for its processor use
    int soakSeconds = 30;
    int slowClients = 500;
    double soakRate = 1000;
};

struct Server {
    int port = 0;
    std::string apikey;
    std::string serverDsn; // the role greetwell-backend logs in as
};

[[noreturn]] void fail(const std::string &message) {
    throw std::runtime_error(message);
}

// ---- HTTP/1.1 over plain sockets -------------------------------------------------------

int connectLoopback(int port, bool blocking = true) {
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        fail("socket: " + std::string(std::strerror(errno)));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        (blocking || errno != EINPROGRESS)) {
        const std::string error = std::strerror(errno);
        ::close(fd);
        fail("connect to 127.0.0.1:" + std::to_string(port) + ": " + error);
    }
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

struct Response {
    int status = 0;
    std::string headers; // lower-cased header block
    std::string body;
    bool close = false;
};

// A complete response at the start of `in`, if there is one; removes it from `in`.
std::optional<Response> takeResponse(std::string &in) {
    const size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos)
        return std::nullopt;
    std::string head = in.substr(0, end);
    for (char &c : head)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    size_t length = 0;
    if (const size_t at = head.find("\r\ncontent-length:"); at != std::string::npos)
        length = std::stoul(head.substr(at + 17));
    else if (head.find("transfer-encoding: chunked") != std::string::npos)
        fail("chunked responses are not expected from greetwell-backend");
    if (in.size() < end + 4 + length)
        return std::nullopt;
    Response r;
    r.status = std::stoi(head.substr(9, 3));
    r.headers = head;
    r.body = in.substr(end + 4, length);
    r.close = head.find("\r\nconnection: close") != std::string::npos;
    in.erase(0, end + 4 + length);
    return r;
}

std::string request(const Server &server, const std::string &method, const std::string &path,
                    const std::string &token, bool countExact, const std::string &body = {}) {
    std::string r = method + " " + path +
                    " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port) +
                    "\r\napikey: " + server.apikey + "\r\n";
    if (!token.empty())
        r += "Authorization: Bearer " + token + "\r\n";
    // What the desk's network stack adds to every request.
    r += "Content-Type: application/json\r\nAccept-Encoding: gzip, deflate\r\n"
         "Accept-Language: en-US,*\r\nUser-Agent: Mozilla/5.0\r\nConnection: Keep-Alive\r\n";
    if (countExact)
        r += "Prefer: count=exact\r\n";
    if (!body.empty() || method == "POST")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

// One request on a fresh blocking connection (set-up and sanity checks only).
Response roundTrip(const Server &server, const std::string &text) {
    const int fd = connectLoopback(server.port);
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            fail("send failed");
        }
        sent += size_t(n);
    }
    std::string in;
    char buffer[65536];
    while (true) {
        if (auto r = takeResponse(in)) {
            ::close(fd);
            return *r;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(fd);
            fail("the server closed the connection without an answer");
        }
        in.append(buffer, size_t(n));
    }
}

// ---- statistics ----------------------------------------------------------------------

struct Stats {
    std::vector<double> ms;
    double percentile(double p) {
        if (ms.empty())
            return 0;
        std::sort(ms.begin(), ms.end());
        const size_t index = size_t(std::ceil(p / 100.0 * double(ms.size()))) - 1;
        return ms[std::min(index, ms.size() - 1)];
    }
};

double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string fixed(double value, int decimals = 1) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

// ---- the desks -------------------------------------------------------------------------

struct Desk {
    int fd = -1;
    std::vector<std::string> poll; // the four requests of one refresh, in order
    std::string in;
    std::string out;
    size_t sent = 0;
    int step = -1; // request of the poll in flight; -1 when idle
    Clock::time_point scheduled, requestStart, nextPoll;
    bool wantsWrite = false;
};

struct PhaseResult {
    double seconds = 0;
    size_t requests = 0;
    size_t polls = 0;
    std::map<int, size_t> failures; // status -> count (0: connection lost)
    std::string firstFailure;
    Stats request, pollLatency;
};

class LoadGenerator {
public:
    LoadGenerator(const Server &server, std::vector<Desk> &desks)
        : m_server(server), m_desks(desks) {
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0)
            fail("epoll_create1 failed");
    }
    ~LoadGenerator() {
        for (auto &desk : m_desks)
            disconnect(desk);
        ::close(m_epoll);
    }

    // pacedRate 0: every desk starts its next poll as soon as the last one ends. Otherwise
    // polls are scheduled so that the desks together send `pacedRate` requests per second,
    // and latency counts from the scheduled moment, so a server that falls behind is not
    // flattered by the schedule slipping with it.
    PhaseResult run(std::chrono::milliseconds duration, double pacedRate) {
        PhaseResult result;
        for (auto &desk : m_desks) {
            disconnect(desk);
            connect(desk);
            desk.step = -1;
        }
        const auto start = Clock::now();
        const auto end = start + duration;
        const auto hardEnd = end + 10s;
        const auto period =
            pacedRate > 0
                ? std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(4.0 * double(m_desks.size()) / pacedRate))
                : Clock::duration::zero();
        for (size_t i = 0; i < m_desks.size(); ++i)
            m_desks[i].nextPoll = start + period * long(i) / long(m_desks.size());

        std::array<epoll_event, 256> events;
        while (true) {
            auto now = Clock::now();
            bool busy = false;
            auto wake = end;
            for (auto &desk : m_desks) {
                if (desk.step < 0 && now < end && result.requests < maxRequestsPerPhase) {
                    if (desk.nextPoll <= now) {
                        desk.scheduled = pacedRate > 0 ? desk.nextPoll : now;
                        desk.nextPoll += period;
                        startRequest(desk, 0, desk.scheduled);
                    } else {
                        wake = std::min(wake, desk.nextPoll);
                    }
                }
                busy = busy || desk.step >= 0;
            }
            if ((now >= end && !busy) || now >= hardEnd)
                break;
            const int timeout =
                busy && wake <= now
                    ? 0
                    : int(std::clamp<double>(std::ceil(millis(wake - now)), 0.0, 50.0));
            const int n = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeout);
            now = Clock::now();
            for (int i = 0; i < n; ++i) {
                Desk &desk = m_desks[events[size_t(i)].data.u32];
                if (events[size_t(i)].events & EPOLLOUT)
                    flush(desk);
                if (events[size_t(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    receive(desk, result, end);
            }
        }
        for (auto &desk : m_desks)
            if (desk.step >= 0) {
                ++result.failures[-1];
                if (result.firstFailure.empty())
                    result.firstFailure = "no answer within 10 s of the end";
                desk.step = -1;
            }
        result.seconds = millis(duration) / 1000.0;
        return result;
    }

private:
    void connect(Desk &desk) {
        desk.fd = connectLoopback(m_server.port);
        ::fcntl(desk.fd, F_SETFL, ::fcntl(desk.fd, F_GETFL) | O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(&desk - m_desks.data());
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, desk.fd, &event);
        desk.in.clear();
        desk.out.clear();
        desk.sent = 0;
        desk.wantsWrite = false;
    }
    void disconnect(Desk &desk) {
        if (desk.fd >= 0) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, desk.fd, nullptr);
            ::close(desk.fd);
        }
        desk.fd = -1;
    }
    void watchWrites(Desk &desk, bool on) {
        if (desk.wantsWrite == on)
            return;
        epoll_event event{};
        event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        event.data.u32 = uint32_t(&desk - m_desks.data());
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, desk.fd, &event);
        desk.wantsWrite = on;
    }
    void startRequest(Desk &desk, int step, Clock::time_point since) {
        desk.step = step;
        desk.requestStart = since;
        desk.out = desk.poll[size_t(step)];
        desk.sent = 0;
        flush(desk);
    }
    void flush(Desk &desk) {
        while (desk.sent < desk.out.size()) {
            const ssize_t n = ::send(desk.fd, desk.out.data() + desk.sent,
                                     desk.out.size() - desk.sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                watchWrites(desk, true);
                return;
            }
            if (n <= 0)
                return; // the read side sees the failure
            desk.sent += size_t(n);
        }
        watchWrites(desk, false);
    }
    void receive(Desk &desk, PhaseResult &result, Clock::time_point end) {
        char buffer[65536];
        bool closed = false;
        while (true) {
            const ssize_t n = ::recv(desk.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                desk.in.append(buffer, size_t(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            closed = true;
            break;
        }
        while (desk.step >= 0) {
            auto response = takeResponse(desk.in);
            if (!response)
                break;
            const auto now = Clock::now();
            if (now <= end) {
                ++result.requests;
                result.request.ms.push_back(millis(now - desk.requestStart));
                if (response->status < 200 || response->status > 299) {
                    ++result.failures[response->status];
                    if (result.firstFailure.empty())
                        result.firstFailure =
                            std::to_string(response->status) + " " + response->body;
                }
            }
            // The server ends the connection after this answer: go on with a new one.
            if (response->close || (closed && desk.in.empty())) {
                disconnect(desk);
                connect(desk);
                closed = false;
            }
            if (desk.step + 1 < int(desk.poll.size())) {
                startRequest(desk, desk.step + 1, now);
            } else {
                if (now <= end) {
                    ++result.polls;
                    result.pollLatency.ms.push_back(millis(now - desk.scheduled));
                }
                desk.step = -1;
            }
            if (desk.fd < 0)
                break;
        }
        if (closed && desk.fd >= 0) {
            if (desk.step >= 0) {
                ++result.failures[0];
                if (result.firstFailure.empty())
                    result.firstFailure = "connection closed by the server";
                desk.step = -1;
            }
            disconnect(desk);
            connect(desk);
        }
    }

    const Server &m_server;
    std::vector<Desk> &m_desks;
    int m_epoll = -1;
};

// ---- clients that never finish their headers -------------------------------------------

// Holds `count` connections that send a request head one byte a second and never end it.
// A connection the server closes is opened again at once, so the count stays up.
class SlowClients {
public:
    SlowClients(int port, int count) : m_port(port), m_fds(size_t(count), -1) {
        m_thread = std::thread([this] { loop(); });
    }
    ~SlowClients() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    size_t reopened() const { return m_reopened; }
    size_t refused() const { return m_refused; }

private:
    void open(int &fd) {
        if (fd >= 0)
            ::close(fd);
        fd = connectLoopback(m_port, false);
    }
    void loop() {
        m_started.assign(m_fds.size(), false);
        for (int &fd : m_fds)
            open(fd);
        char buffer[4096];
        while (!m_stop) {
            for (size_t i = 0; i < m_fds.size() && !m_stop; ++i) {
                int &fd = m_fds[i];
                // What the server sends is its answer to a request never finished: a
                // refusal or a time-out. Either way the connection is done.
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got > 0 && std::string_view(buffer, size_t(got)).find(" 503 ") !=
                                   std::string_view::npos)
                    ++m_refused;
                bool lost = got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK &&
                                         errno != ENOTCONN);
                if (!lost) {
                    const char *text = m_started[i] ? "a" : "GET /rest/v1/visitors HTTP/1.1\r\n"
                                                            "Host: 127.0.0.1\r\nX-Slow: ";
                    const ssize_t n = ::send(fd, text, std::strlen(text), MSG_NOSIGNAL);
                    if (n > 0)
                        m_started[i] = true;
                    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
                             errno != ENOTCONN)
                        lost = true;
                }
                if (lost) {
                    ++m_reopened;
                    open(fd);
                    m_started[i] = false;
                }
                // One pass over all of them a second.
                std::this_thread::sleep_for(std::chrono::microseconds(1'000'000 / m_fds.size()));
            }
        }
    }

    int m_port;
    std::vector<int> m_fds;
    std::vector<bool> m_started;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_reopened{0}, m_refused{0};
    std::thread m_thread;
};

// The server's resident memory in MiB, from /proc.
double residentMiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// Processor seconds a process has used, and its parent's pid; {0, 0} when it is gone.
std::pair<double, int> cpuOf(const std::string &pid) {
    std::ifstream file("/proc/" + pid + "/stat");
    std::string text;
    std::getline(file, text);
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return {0, 0};
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    std::vector<std::string> values;
    while (fields >> field && values.size() < 13)
        values.push_back(field);
    if (values.size() < 13)
        return {0, 0};
    // After the name: state, ppid, ..., utime (12th), stime (13th).
    return {double(std::stoull(values[11]) + std::stoull(values[12])) / double(sysconf(_SC_CLK_TCK)),
            std::stoi(values[1])};
}

// Processor seconds of a process and, when `withChildren`, of its direct children (a
// PostgreSQL cluster: the postmaster and its backends).
double cpuSeconds(int pid, bool withChildren) {
    double total = cpuOf(std::to_string(pid)).first;
    if (withChildren)
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const auto [seconds, parent] = cpuOf(name);
            if (parent == pid)
                total += seconds;
        }
    return total;
}

// ---- the same statements for pgbench -----------------------------------------------------

std::vector<std::pair<std::string, std::string>> decodeQuery(const std::string &path) {
    std::vector<std::pair<std::string, std::string>> params;
    const std::string query = path.substr(path.find('?') + 1);
    const auto decode = [](const std::string &text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i] == '+' ? ' ' : text[i];
            }
        }
        return out;
    };
    std::istringstream items(query);
    std::string item;
    while (std::getline(items, item, '&')) {
        const size_t eq = item.find('=');
        params.emplace_back(decode(item.substr(0, eq)), decode(item.substr(eq + 1)));
    }
    return params;
}

// The statement greetwell-backend runs for a REST path, with its parameters turned into
// pgbench variables (passed as bound parameters in prepared mode, as the server does).
std::string statementFor(const std::string &path, bool countExact, const std::string &prefix,
                         std::vector<std::string> &defines) {
    const TableDef *table = findTable("visitors");
    auto parsed = rest::parseQuery(*table, decodeQuery(path));
    if (auto *error = std::get_if<rest::Error>(&parsed))
        fail("cannot plan " + path + ": " + error->message);
    const rest::Statement statement = rest::buildSelect(std::get<rest::Query>(parsed), countExact);
    std::string sql = statement.sql;
    for (size_t k = statement.params.size(); k >= 1; --k) {
        const std::string placeholder = "$" + std::to_string(k);
        const std::string variable = prefix + std::to_string(k);
        for (size_t at = sql.find(placeholder); at != std::string::npos;
             at = sql.find(placeholder, at + variable.size() + 1))
            sql.replace(at, placeholder.size(), ":" + variable);
        defines.push_back(variable + "=" + statement.params[k - 1]);
    }
    return sql;
}

struct PgbenchResult {
    double tps = 0;
    double latencyMs = 0;
    std::string output;
};

PgbenchResult runPgbench(const Options &options, const std::string &script,
                         const std::vector<std::string> &defines, const std::string &dsn,
                         int seconds) {
    std::vector<std::string> args = {options.pgbench,
                                     "-n",
                                     "-M",
                                     "prepared",
                                     "-c",
                                     std::to_string(options.pgbenchClients),
                                     "-j",
                                     "2",
                                     "-T",
                                     std::to_string(seconds),
                                     "-f",
                                     script};
    for (const auto &d : defines) {
        args.push_back("-D");
        args.push_back(d);
    }
    args.push_back(dsn);

    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        fail("pipe failed");
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    PgbenchResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("pgbench failed:\n" + result.output);
    if (const size_t at = result.output.find("tps = "); at != std::string::npos)
        result.tps = std::stod(result.output.substr(at + 6));
    if (const size_t at = result.output.find("latency average = "); at != std::string::npos)
        result.latencyMs = std::stod(result.output.substr(at + 18));
    return result;
}

// ---- set-up ----------------------------------------------------------------------------

std::string isoUtc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

// Start of today and of the week (Sunday) in local time, as the desk computes them.
std::pair<std::string, std::string> dayAndWeekStart() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    const std::time_t today = std::mktime(&tm);
    tm.tm_mday -= tm.tm_wday;
    tm.tm_isdst = -1;
    const std::time_t week = std::mktime(&tm);
    return {isoUtc(today), isoUtc(week)};
}

std::string bearerPayload(const std::string &jwt) {
    const size_t a = jwt.find('.'), b = jwt.rfind('.');
    std::string part = jwt.substr(a + 1, b - a - 1);
    for (char &c : part)
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (part.size() % 4)
        part += '=';
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : part) {
        if (c == '=')
            break;
        buffer = buffer << 6 | unsigned(alphabet.find(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char(buffer >> bits & 0xff);
        }
    }
    return out;
}

std::string benchUser(int n) {
    std::ostringstream id;
    id << "00000000-0000-4000-8000-" << std::setw(12) << std::setfill('0') << n;
    return id.str();
}

Options parseOptions(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--info")
            o.info = next();
        else if (arg == "--pgbench")
            o.pgbench = next();
        else if (arg == "--desks")
            o.desks = std::clamp(std::stoi(next()), 1, 1000);
        else if (arg == "--seconds")
            o.seconds = std::clamp(std::stoi(next()), 1, 120);
        else if (arg == "--rate")
            o.rate = std::clamp(std::stod(next()), 1.0, 100000.0);
        else if (arg == "--pgbench-clients")
            o.pgbenchClients = std::clamp(std::stoi(next()), 1, 64);
        else if (arg == "--keep-scripts")
            o.keepScripts = next();
        else if (arg == "--server-pid")
            o.serverPid = std::stoi(next());
        else if (arg == "--postgres-pid")
            o.postgresPid = std::stoi(next());
        else if (arg == "--soak-seconds")
            o.soakSeconds = std::clamp(std::stoi(next()), 0, 120);
        else if (arg == "--slow-clients")
            o.slowClients = std::clamp(std::stoi(next()), 1, 2000);
        else if (arg == "--soak-rate")
            o.soakRate = std::clamp(std::stod(next()), 1.0, 100000.0);
        else
            fail("unknown option " + arg);
    }
    if (o.info.empty())
        fail("usage: bench_backend --info INFO.json [--pgbench PATH] [--desks N] [--seconds S] "
             "[--rate R] [--pgbench-clients C] [--keep-scripts DIR] [--server-pid PID] [--postgres-pid PID] "
             "[--soak-seconds S] [--slow-clients N] [--soak-rate R]");
    return o;
}

Server loadServer(const Options &options) {
    std::ifstream file(options.info);
    const auto info = nlohmann::json::parse(file, nullptr, false);
    if (!info.is_object())
        fail("cannot read " + options.info);
    const std::string url = info.value("url", "");
    const std::string prefix = "http://127.0.0.1:";
    // The load goes to this machine's own throwaway server and nowhere else.
    if (url.rfind(prefix, 0) != 0 || url.find('/', prefix.size()) != std::string::npos)
        fail("refusing to load anything but http://127.0.0.1:PORT (got " + url + ")");
    Server server;
    server.port = std::stoi(url.substr(prefix.size()));
    server.apikey = info.value("apikey", "");
    std::string dsn = info.value("database", "");
    const size_t user = dsn.find("user=postgres");
    if (user == std::string::npos)
        fail("unexpected database connection string " + dsn);
    // With the session settings greetwell-backend gives its statement connections.
    server.serverDsn = dsn.replace(user, 13, "user=authenticator") +
                       " options='-c TimeZone=UTC -c plan_cache_mode=force_generic_plan'";
    return server;
}

void printPhase(const std::string &title, PhaseResult &r) {
    std::cout << title << "\n    " << r.requests << " requests in " << fixed(r.seconds, 0)
              << " s = " << fixed(double(r.requests) / r.seconds, 0) << " requests/s; latency p50 "
              << fixed(r.request.percentile(50), 2) << " ms, p99 "
              << fixed(r.request.percentile(99), 2) << " ms; whole poll p99 "
              << fixed(r.pollLatency.percentile(99), 2) << " ms\n";
    if (!r.failures.empty()) {
        std::cout << "    FAILURES:";
        for (const auto &[status, count] : r.failures)
            std::cout << " " << count << " x "
                      << (status > 0    ? std::to_string(status)
                          : status == 0 ? std::string("closed")
                                        : std::string("unanswered"));
        std::cout << "; first: " << r.firstFailure.substr(0, 300) << "\n";
    }
}

} // namespace

int main(int argc, char **argv) {
    try {
        const Options options = parseOptions(argc, argv);
        const Server server = loadServer(options);
        const auto [today, week] = dayAndWeekStart();

        // Sign every desk in through the auth API, as the desk does.
        std::vector<Desk> desks(size_t(options.desks));
        std::vector<std::string> tokens;
        for (int n = 1; n <= options.desks; ++n) {
            const std::string body = "{\"email\":\"bench-" + std::to_string(n) +
                                     "@example.com\",\"password\":\"bench-password\"}";
            const Response r =
                roundTrip(server, request(server, "POST", "/auth/v1/token?grant_type=password", "",
                                          false, body));
            const auto json = nlohmann::json::parse(r.body, nullptr, false);
            if (r.status != 200 || !json.is_object() || !json.contains("access_token"))
                fail("sign-in of bench-" + std::to_string(n) +
                     " failed: " + std::to_string(r.status) + " " + r.body);
            tokens.push_back(json["access_token"].get<std::string>());
        }
        const std::string todayPath =
            "/rest/v1/visitors?select=id&limit=1&signed_in_at=gte." + today;
        const std::string onSitePath = "/rest/v1/visitors?select=id&limit=1&signed_out_at=is.null";
        const std::string weekPath = "/rest/v1/visitors?select=id&limit=1&signed_in_at=gte." + week;
        for (size_t i = 0; i < desks.size(); ++i)
            desks[i].poll = {request(server, "GET", listPath, tokens[i], false),
                             request(server, "GET", todayPath, tokens[i], true),
                             request(server, "GET", onSitePath, tokens[i], true),
                             request(server, "GET", weekPath, tokens[i], true)};

        // The data must be what the figures claim.
        const Response list = roundTrip(server, desks[0].poll[0]);
        const Response onSite = roundTrip(server, desks[0].poll[2]);
        const auto rows = nlohmann::json::parse(list.body, nullptr, false);
        if (list.status != 200 || !rows.is_array() || rows.size() != 10 || onSite.status != 206 ||
            onSite.headers.find("content-range: 0-0/10") == std::string::npos)
            fail("unexpected data: on-site list " + std::to_string(list.status) + " with " +
                 std::to_string(rows.is_array() ? rows.size() : 0) + " rows, count " +
                 std::to_string(onSite.status));
        const Response all = roundTrip(
            server, request(server, "GET", "/rest/v1/visitors?select=id&limit=1", tokens[0], true));
        const std::string range = all.headers.substr(all.headers.find("content-range: "));
        std::cout << "greetwell-backend benchmark: " << options.desks << " accounts of "
                  << range.substr(range.find('/') + 1, range.find("\r\n") - range.find('/') - 1)
                  << " visitors each (10 on site); today from " << today << ", week from " << week
                  << "\n\n";

        LoadGenerator load(server, desks);
        load.run(2000ms, 0); // warm-up: connections, prepared statements, caches
        const auto cpuNow = [&options] {
            return std::pair{options.serverPid ? cpuSeconds(options.serverPid, false) : 0.0,
                             options.postgresPid ? cpuSeconds(options.postgresPid, true) : 0.0};
        };
        const auto cpuBefore = cpuNow();
        auto closed = load.run(std::chrono::seconds(options.seconds), 0);
        const auto cpuAfter = cpuNow();
        printPhase("HTTP poll, " + std::to_string(options.desks) +
                       " desks polling back to back (on-site list + 3 counts each):",
                   closed);
        if (options.serverPid && options.postgresPid && closed.requests)
            std::cout << "    processor time per request: greetwell-backend "
                      << fixed(1e6 * (cpuAfter.first - cpuBefore.first) / double(closed.requests), 0)
                      << " us, PostgreSQL "
                      << fixed(1e6 * (cpuAfter.second - cpuBefore.second) / double(closed.requests), 0)
                      << " us\n";
        auto paced = load.run(std::chrono::seconds(options.seconds), options.rate);
        printPhase("HTTP poll, paced at " + fixed(options.rate, 0) + " requests/s over " +
                       std::to_string(options.desks) +
                       " desks (latency from the scheduled send time):",
                   paced);

        // Slow clients hold connections with heads they never finish while the desks poll.
        std::optional<PhaseResult> soak;
        size_t slowReopened = 0, slowRefused = 0;
        if (options.soakSeconds > 0) {
            SlowClients slow(server.port, options.slowClients);
            std::this_thread::sleep_for(2s); // all of them connected and trickling
            soak = load.run(std::chrono::seconds(options.soakSeconds), options.soakRate);
            slowReopened = slow.reopened();
            slowRefused = slow.refused();
        }
        if (soak) {
            printPhase("HTTP poll, paced at " + fixed(options.soakRate, 0) + " requests/s, while " +
                           std::to_string(options.slowClients) +
                           " clients trickle unfinished heads for " +
                           std::to_string(options.soakSeconds) + " s:",
                       *soak);
            std::cout << "    slow connections cut off and reopened: " << slowReopened
                      << " (of them answered 503: " << slowRefused << ")\n";
        }

        // Memory with 100 idle kept-alive connections, each after one answer.
        double idleMiB = 0, baseMiB = 0;
        if (options.serverPid > 0) {
            std::this_thread::sleep_for(1s);
            baseMiB = residentMiB(options.serverPid);
            std::vector<int> idle;
            const std::string probe = request(server, "GET", onSitePath, tokens[0], true);
            for (int i = 0; i < 100; ++i) {
                idle.push_back(connectLoopback(server.port));
                ::send(idle.back(), probe.data(), probe.size(), MSG_NOSIGNAL);
            }
            char buffer[65536];
            for (int fd : idle)
                (void)::recv(fd, buffer, sizeof buffer, 0);
            idleMiB = residentMiB(options.serverPid);
            for (int fd : idle)
                ::close(fd);
            std::cout << "Server memory: " << fixed(baseMiB, 1) << " MiB resident, "
                      << fixed(idleMiB, 1) << " MiB with 100 idle connections\n";
        }

        // One export page at a time on a quiet server.
        Stats exportStats;
        size_t exportBytes = 0;
        const std::string exportRequest = request(server, "GET", exportPath, tokens[0], false);
        for (int i = 0; i < 21; ++i) {
            const auto started = Clock::now();
            const Response r = roundTrip(server, exportRequest);
            const auto rowsOfPage = nlohmann::json::parse(r.body, nullptr, false);
            if (r.status != 200 || !rowsOfPage.is_array() || rowsOfPage.size() != 1000)
                fail("export page: unexpected answer " + std::to_string(r.status));
            if (i > 0) // the first one warms up
                exportStats.ms.push_back(millis(Clock::now() - started));
            exportBytes = r.body.size();
        }
        std::cout << "HTTP export page (1,000 rows, " << exportBytes / 1024
                  << " KiB of JSON), 20 in a row:\n    p50 " << fixed(exportStats.percentile(50), 2)
                  << " ms, p99 " << fixed(exportStats.percentile(99), 2) << " ms\n";

        // pgbench: the same four statements per poll, each after the role and claims are
        // set, sent as one pipeline that runs as one implicit transaction up to its sync
        // point, as the server sends them.
        const std::string claims = bearerPayload(tokens[0]);
        const std::string firstUser = benchUser(1);
        const size_t subAt = claims.find(firstUser);
        if (subAt == std::string::npos)
            fail("the access token does not carry the expected user id");
        std::vector<std::string> defines = {"cprefix=" + claims.substr(0, subAt + 24),
                                            "csuffix=" + claims.substr(subAt + firstUser.size())};
        const std::filesystem::path folder =
            options.keepScripts.empty() ? std::filesystem::temp_directory_path() /
                                              ("greetwell-bench-" + std::to_string(getpid()))
                                        : std::filesystem::path(options.keepScripts);
        std::filesystem::create_directories(folder);
        const auto transaction = [](const std::string &sql) {
            return "\\startpipeline\nSELECT set_config('role', 'authenticated', true), "
                   "set_config('request.jwt.claims', :cprefix || lpad(:d::text, 12, '0') || "
                   ":csuffix, true);\n" +
                   sql + ";\n\\endpipeline\n";
        };
        const std::string pollScript = (folder / "poll.sql").string();
        {
            std::ofstream out(pollScript);
            out << "\\set d random(1, " << options.desks << ")\n"
                << transaction(statementFor(listPath, false, "l", defines))
                << transaction(statementFor(todayPath, true, "t", defines))
                << transaction(statementFor(onSitePath, true, "o", defines))
                << transaction(statementFor(weekPath, true, "w", defines));
        }
        const std::string exportScript = (folder / "export.sql").string();
        {
            std::ofstream out(exportScript);
            out << "\\set d 1\n" << transaction(statementFor(exportPath, false, "e", defines));
        }
        // pgbench at its best: one connection per core, or as many as the server's pool.
        std::vector<std::pair<int, PgbenchResult>> pgRuns;
        for (const int clients : options.pgbenchClients ? std::vector<int>{options.pgbenchClients}
                                                        : std::vector<int>{2, 4}) {
            Options run = options;
            run.pgbenchClients = clients;
            pgRuns.emplace_back(
                clients, runPgbench(run, pollScript, defines, server.serverDsn, options.seconds));
        }
        const PgbenchResult pgPoll =
            std::max_element(pgRuns.begin(), pgRuns.end(), [](const auto &a, const auto &b) {
                return a.second.tps < b.second.tps;
            })->second;
        Options single = options;
        single.pgbenchClients = 1;
        const PgbenchResult pgExport = runPgbench(single, exportScript, defines, server.serverDsn,
                                                  std::min(options.seconds, 5));
        if (options.keepScripts.empty()) {
            std::filesystem::remove_all(folder);
        } else {
            // The same pgbench run, to repeat by hand while the data is still there.
            const auto quote = [](std::string text) {
                for (size_t at = text.find('\''); at != std::string::npos;
                     at = text.find('\'', at + 4))
                    text.replace(at, 1, "'\\''");
                return "'" + text + "'";
            };
            std::ofstream command(folder / "pgbench.sh");
            command << "#!/bin/sh\n# pgbench.sh -f SCRIPT [more pgbench options]\nexec "
                    << quote(options.pgbench) << " -n -M prepared";
            for (const auto &d : defines)
                command << " -D " << quote(d);
            command << " \"$@\" " << quote(server.serverDsn) << "\n";
            command.close();
            std::filesystem::permissions(folder / "pgbench.sh", std::filesystem::perms::owner_exec,
                                         std::filesystem::perm_options::add);
        }

        const double pgQueries = pgPoll.tps * 4;
        std::cout << "pgbench, the same poll SQL under the same role and claims (prepared, "
                     "pipelined):\n";
        for (const auto &[clients, result] : pgRuns)
            std::cout << "    " << clients << " connections: " << fixed(result.tps * 4, 0)
                      << " queries/s (" << fixed(result.tps, 0) << " polls/s, "
                      << fixed(result.latencyMs, 2) << " ms per poll)\n";
        std::cout << "pgbench, the export page SQL (1 connection):\n    " << fixed(pgExport.tps, 1)
                  << " pages/s (" << fixed(pgExport.latencyMs, 2) << " ms per page)\n\n";

        const double httpRate = double(closed.requests) / closed.seconds;
        const double pacedRate = double(paced.requests) / paced.seconds;
        const double share = pgQueries > 0 ? 100.0 * httpRate / pgQueries : 0;
        const bool rateOk = httpRate >= 2000 && pacedRate >= 0.97 * options.rate;
        const bool p99Ok = paced.request.percentile(99) <= 25.0;
        const bool shareOk = share >= 60.0;
        const bool soakOk = !soak || (soak->failures.empty() && soak->request.percentile(99) < 25.0);
        const bool memoryOk = idleMiB < 64.0;
        const bool clean = closed.failures.empty() && paced.failures.empty();
        std::cout << "Targets:\n"
                  << "    at least 2,000 poll requests/s:  " << fixed(httpRate, 0) << " (paced run "
                  << fixed(pacedRate, 0) << ")  " << (rateOk ? "met" : "MISSED") << "\n"
                  << "    p99 at most 25 ms at " << fixed(options.rate, 0)
                  << " requests/s:  " << fixed(paced.request.percentile(99), 2) << " ms  "
                  << (p99Ok ? "met" : "MISSED") << "\n"
                  << "    at least 60 % of pgbench's query rate:  " << fixed(share, 1) << " %  "
                  << (shareOk ? "met" : "MISSED") << "\n";
        if (soak)
            std::cout << "    with " << options.slowClients
                      << " slow clients, every request answered, p99 under 25 ms:  "
                      << soak->failures.size() << " kinds of failure, p99 "
                      << fixed(soak->request.percentile(99), 2) << " ms  "
                      << (soakOk ? "met" : "MISSED") << "\n";
        if (options.serverPid > 0)
            std::cout << "    under 64 MiB resident with 100 idle connections:  "
                      << fixed(idleMiB, 1) << " MiB  " << (memoryOk ? "met" : "MISSED") << "\n";
        std::cout << "    no failed requests:  " << (clean ? "met" : "MISSED") << "\n";
        return rateOk && p99Ok && shareOk && soakOk && (memoryOk || !options.serverPid) && clean
                   ? 0
                   : 1;
    } catch (const std::exception &e) {
        std::cerr << "bench_backend: " << e.what() << std::endl;
        return 2;
    }
}
