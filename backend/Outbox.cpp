#include "Outbox.h"

#include "Crypto.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {

// Header values must stay on one line: a CR or LF in an address or subject would let the
// text add headers of its own.
std::string oneLine(const std::string &value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value)
        out += (c == '\r' || c == '\n') ? ' ' : c;
    return out;
}

bool isAscii(const std::string &value) {
    for (unsigned char c : value)
        if (c >= 0x80)
            return false;
    return true;
}

// RFC 2047 encoded word for non-ASCII subjects.
std::string encodeHeader(const std::string &value) {
    const std::string line = oneLine(value);
    if (isAscii(line))
        return line;
    std::string b64 = crypto::base64UrlEncode(line);
    // Standard base64 with padding, which encoded words require.
    for (char &c : b64)
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (b64.size() % 4)
        b64 += '=';
    return "=?UTF-8?B?" + b64 + "?=";
}

std::string rfc5322Date(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S +0000", &tm);
    return buffer;
}

// Bodies use CRLF line ends, as .eml files and SMTP expect.
std::string crlf(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 40);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)
        out += "\r\n";
    return out;
}

// Mails hold live sign-in and reset links: the folder and every file in it are for the
// owner only, whatever the umask.
void makePrivate(const std::filesystem::path &folder) {
    std::filesystem::create_directories(folder);
    std::error_code ec;
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    if (ec)
        throw std::runtime_error("could not make the outbox " + folder.string() +
                                 " private: " + ec.message());
}

bool writeAll(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

Outbox::Outbox(std::filesystem::path folder) : m_folder(std::move(folder)) {
    makePrivate(m_folder);
}

std::string Outbox::fromAddress() {
    return "Greetwell <no-reply@greetwell.local>";
}

namespace {

// The message as an .eml file holds it: headers, then the text (and the HTML alternative).
std::string compose(const Outbox::Mail &mail, std::time_t t, const std::string &random) {
    std::string message;
    message += "From: " + Outbox::fromAddress() + "\r\n";
    message += "To: " + oneLine(mail.to) + "\r\n";
    message += "Subject: " + encodeHeader(mail.subject) + "\r\n";
    message += "Date: " + rfc5322Date(t) + "\r\n";
    message += "Message-ID: <" + random + "." + std::to_string(t) + "@greetwell.local>\r\n";
    message += "MIME-Version: 1.0\r\n";
    const std::string textPart =
        "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
        crlf(mail.text);
    if (mail.html.empty())
        return message + textPart;
    const std::string boundary = "greetwell-" + random;
    message += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
    message += "--" + boundary + "\r\n" + textPart;
    message += "--" + boundary + "\r\n";
    message += "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    message += crlf(mail.html);
    message += "--" + boundary + "--\r\n";
    return message;
}

// "<UTC time>-<kind>-<random>.eml", so that a folder listing reads in order.
std::string fileName(const std::string &kind, std::time_t t, const std::string &random) {
    char stamp[32];
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string word;
    for (char c : kind)
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')
            word += c;
    return std::string(stamp) + "-" + (word.empty() ? "mail" : word) + "-" + random + ".eml";
}

} // namespace

std::filesystem::path Outbox::write(const Mail &mail) {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    const std::string random = crypto::sha256Hex(crypto::randomBytes(16)).substr(0, 12);
    const std::string message = compose(mail, t, random);
    const std::filesystem::path target = m_folder / fileName(mail.kind, t, random);
    const std::filesystem::path temporary = m_folder / ("." + random + ".tmp");

    std::lock_guard lock(m_mutex);
    makePrivate(m_folder);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("could not write to the outbox " + m_folder.string());
    const bool written = writeAll(fd, message);
    const bool closed = ::close(fd) == 0;
    std::error_code ec;
    if (written && closed)
        std::filesystem::rename(temporary, target, ec);
    if (!written || !closed || ec) {
        std::filesystem::remove(temporary, ec);
        throw std::runtime_error("could not write to the outbox " + m_folder.string());
    }
    return target;
}
