#pragma once

// The records exchanged with the backend's tables and the invite API, and the small
// in-memory records of the desk. Plain values, compared field by field.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QLocale>
#include <QMap>
#include <QString>
#include <QTimeZone>
#include <QUuid>
#include <functional>
#include <optional>
#include <stdexcept>

// A response that does not have the shape we expect. `what()` says what was wrong,
// naming the key (for example "signed_in_at: Bad timestamp").
class DecodingError : public std::runtime_error {
public:
    explicit DecodingError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString description() const { return QString::fromStdString(what()); }
};

// Server timestamps: fractions longer than three digits are cut to milliseconds; a
// numeric offset or Z is required. Returns no value for anything else.
std::optional<QDateTime> parseTimestamp(const QString &text);
// ISO 8601 in UTC with whole seconds and Z, e.g. 2026-03-01T09:30:00Z.
QString formatTimestamp(const QDateTime &moment);

struct VisitorAnswer {
    QString label;
    QString value;
    bool operator==(const VisitorAnswer &) const = default;

    static VisitorAnswer fromJson(const QJsonValue &json);
    QJsonObject toJson() const;
};

struct VisitorRow {
    QUuid id;
    QString visitorName;
    std::optional<QString> hostName;
    QList<VisitorAnswer> answers;
    QDateTime signedInAt;
    std::optional<QDateTime> signedOutAt;
    std::optional<QString> listName;
    std::optional<QString> deviceName;
    bool operator==(const VisitorRow &) const = default;

    bool isOnSite() const { return !signedOutAt.has_value(); }
    // Throws DecodingError.
    static VisitorRow fromJson(const QJsonValue &json);
};

struct NewVisitor {
    QUuid ownerID;
    QString deviceRecordID;
    QString visitorName;
    std::optional<QString> hostName;
    QList<VisitorAnswer> answers;
    QDateTime signedInAt;
    QString deviceName;
    bool operator==(const NewVisitor &) const = default;

    // All seven keys, in declaration order; host_name is null when there is no host.
    QByteArray toJson() const;
};

enum class FieldType { plainText, numeric, email, phone };
QString fieldTypeRawValue(FieldType type);
// Exact raw-value match; anything else (other letter case included) is plainText.
FieldType fieldTypeFromRaw(const QString &raw);
QList<FieldType> allFieldTypes();

struct KioskField {
    qint64 slot = 0;
    QString label;
    QString type; // a FieldType raw value, kept as stored
    bool required = false;
    bool employeeList = false;
    bool operator==(const KioskField &) const = default;

    static KioskField fromJson(const QJsonValue &json);
    QJsonObject toJson() const;
};

struct KioskSettings {
    QList<KioskField> fields;
    QStringList employees;
    std::optional<QString> placeName;
    bool operator==(const KioskSettings &) const = default;

    // Name, Email, Phone: what an account without a saved form shows.
    static KioskSettings defaults();
    static KioskSettings fromJson(const QJsonValue &json);
    // place_name is omitted when there is none.
    QJsonObject toJson() const;
};

struct NotificationSettings {
    QString officeWebhook;
    bool notifySignIn = true;
    bool notifySignOut = false;
    QMap<QString, QString> employeeWebhooks;
    bool operator==(const NotificationSettings &) const = default;

    static NotificationSettings defaults() { return {}; }
    static NotificationSettings fromJson(const QJsonValue &json);
    QJsonObject toJson() const;
};

struct InviteAnswer {
    qint64 slot = 0;
    std::optional<QString> label;
    QString value;
    bool operator==(const InviteAnswer &) const = default;

    static InviteAnswer fromJson(const QJsonValue &json);
    QJsonObject toJson() const;
};

// The locale's short time-of-day format without seconds: some locales (the C locale
// among them) put seconds into their "short" format.
QString shortTimeFormat(const QLocale &locale);

// Where "now", the time zone and the locale come from; tests pin all three.
struct Clock {
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
    QTimeZone zone = QTimeZone::systemTimeZone();
    QLocale locale = QLocale::system();
};

struct Invite {
    struct Status {
        enum class Kind { signedIn, waiting, expired };
        Kind kind = Kind::waiting;
        std::optional<QDateTime> usedAt; // only for signedIn
        bool operator==(const Status &) const = default;
    };

    QUuid id;
    QString token;
    QString visitorName;
    QString visitorEmail;
    QList<InviteAnswer> answers;
    std::optional<QString> visitDate;
    std::optional<QString> visitTime;
    std::optional<QString> note;
    QString createdAt;
    std::optional<QString> usedAt;
    bool operator==(const Invite &) const = default;

    static Invite fromJson(const QJsonValue &json);
    // Start of the visit date in the clock's time zone, or no value.
    std::optional<QDateTime> visitDay(const Clock &clock = {}) const;
    Status status(const Clock &clock = {}) const;
    // "Sunday, March 1 at 2:30 PM" in the clock's locale, or no value.
    std::optional<QString> whenText(const Clock &clock = {}) const;
};

struct NewInvite {
    struct Answer {
        qint64 slot = 0;
        QString value;
        bool operator==(const Answer &) const = default;
    };
    QList<Answer> answers;
    QString email;
    std::optional<QString> visitDate;
    std::optional<QString> visitTime;
    std::optional<QString> note;
    bool operator==(const NewInvite &) const = default;

    QByteArray toJson() const;
};

struct DeskCounts {
    qint64 today = 0;
    qint64 onSite = 0;
    qint64 thisWeek = 0;
    bool operator==(const DeskCounts &) const = default;
};

// Where "today" and "this week" begin for the desk counters: the start of the day of
// `now` in `zone`, and of the week that contains it, the week starting on Sunday
// whatever the locale says.
struct DeskWindow {
    QDateTime startOfToday;
    QDateTime startOfWeek;
    static DeskWindow at(const QDateTime &now, const QTimeZone &zone);
};

struct VisitorDraft {
    QMap<qint64, QString> answers;
    bool operator==(const VisitorDraft &) const = default;

    QString text(qint64 slot) const { return answers.value(slot); }
};

// A response body that must be a JSON array; throws DecodingError otherwise.
QJsonArray parseJsonArray(const QByteArray &body);

// Decodes a JSON array body into records; throws DecodingError on any bad row.
template <typename T> QList<T> decodeArray(const QByteArray &body) {
    QList<T> records;
    for (const QJsonValue &value : parseJsonArray(body))
        records.append(T::fromJson(value));
    return records;
}
