#pragma once

#include <QString>

// Why a webhook delivery failed: the service's status outside 2xx, or no HTTP answer.
class NotifyError {
public:
    enum class Kind { http, network };

    static NotifyError http(int status) { return NotifyError(Kind::http, status, {}); }
    static NotifyError network(const QString &text) { return NotifyError(Kind::network, 0, text); }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    QString text() const { return m_text; }
    // What people are shown and what the preferences record.
    QString message() const;

    bool operator==(const NotifyError &) const = default;

private:
    NotifyError(Kind kind, int status, const QString &text)
        : m_kind(kind), m_status(status), m_text(text) {}
    Kind m_kind;
    int m_status = 0;
    QString m_text;
};
