#pragma once

#include <QString>
#include <exception>
#include <string>

// The error of every failed backend or website call. Its description is what the
// screens show.
class CloudError : public std::exception {
public:
    enum class Kind { server, network, wrongCredentials, emailNotConfirmed, accountExists, signedOut };

    static CloudError server(int status, const QString &message) {
        return CloudError(Kind::server, status, message);
    }
    static CloudError network(const QString &message) { return CloudError(Kind::network, 0, message); }
    static CloudError wrongCredentials() { return CloudError(Kind::wrongCredentials); }
    static CloudError emailNotConfirmed() { return CloudError(Kind::emailNotConfirmed); }
    static CloudError accountExists() { return CloudError(Kind::accountExists); }
    static CloudError signedOut() { return CloudError(Kind::signedOut); }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    QString message() const { return m_message; }
    QString description() const;
    const char *what() const noexcept override;

    bool operator==(const CloudError &other) const {
        return m_kind == other.m_kind && m_status == other.m_status && m_message == other.m_message;
    }

private:
    explicit CloudError(Kind kind, int status = 0, const QString &message = {})
        : m_kind(kind), m_status(status), m_message(message) {}
    Kind m_kind;
    int m_status = 0;
    QString m_message;
    mutable std::string m_what;
};

// The text a screen shows for any failure a task caught: a CloudError's description, a
// decoding error's text, or the exception's own message.
QString describeError(const std::exception &error);
