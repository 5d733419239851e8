#include "records/Records.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <limits>

// ---------------------------------------------------------------------------
// Timestamps

std::optional<QDateTime> parseTimestamp(const QString &text) {
    // The server writes microseconds; keep milliseconds, which is all QDateTime holds.
    static const QRegularExpression longFraction(QStringLiteral("(\\.\\d{3})\\d+"));
    QString trimmed = text;
    trimmed.replace(longFraction, QStringLiteral("\\1"));

    // Internet date-time: full date, "T", full time with an optional fraction of up to
    // three digits, and a zone that is either Z or a numeric offset with a colon.
    static const QRegularExpression shape(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(?:\\.(\\d{1,3}))?"
                       "(?:(Z)|([+-])(\\d{2}):(\\d{2}))$"));
    const QRegularExpressionMatch match = shape.match(trimmed);
    if (!match.hasMatch())
        return std::nullopt;

    auto number = [&match](int group) { return match.captured(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    int milliseconds = 0;
    if (match.hasCaptured(7)) {
        // ".5" is half a second, not five milliseconds.
        const QString fraction = match.captured(7).leftJustified(3, QLatin1Char('0'));
        milliseconds = fraction.toInt();
    }
    if (number(4) > 23 || number(5) > 59 || number(6) > 59)
        return std::nullopt;
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    int offsetSeconds = 0;
    if (!match.hasCaptured(8)) {
        const int hours = number(10);
        const int minutes = number(11);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 60 + minutes) * 60;
        if (match.captured(9) == QLatin1String("-"))
            offsetSeconds = -offsetSeconds;
    }
    const QDateTime moment(date, time, Qt::OffsetFromUTC, offsetSeconds);
    if (!moment.isValid())
        return std::nullopt;
    return moment.toUTC();
}

QString formatTimestamp(const QDateTime &moment) {
    if (!moment.isValid())
        return {};
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

// ---------------------------------------------------------------------------
// Decoding helpers. Each names the key it failed on; nested failures are prefixed
// with the key of the container, e.g. "answers[1].label: missing".

namespace {

[[noreturn]] void fail(const QString &key, const QString &problem) {
    throw DecodingError(key + QStringLiteral(": ") + problem);
}

QJsonObject asObject(const QJsonValue &json) {
    if (!json.isObject())
        throw DecodingError(QStringLiteral("expected a JSON object"));
    return json.toObject();
}

QString typeName(const QJsonValue &value) {
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

// The value of a required key: present and not null.
QJsonValue required(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        fail(key, QStringLiteral("missing"));
    if (value.isNull())
        fail(key, QStringLiteral("null where a value is required"));
    return value;
}

[[noreturn]] void wrongType(const QString &key, const char *expected, const QJsonValue &value) {
    fail(key,
         QStringLiteral("expected %1, found %2").arg(QLatin1String(expected), typeName(value)));
}

QString stringValue(const QString &key, const QJsonValue &value) {
    if (!value.isString())
        wrongType(key, "a string", value);
    return value.toString();
}

QString requiredString(const QJsonObject &object, const QString &key) {
    return stringValue(key, required(object, key));
}

// Absent or null gives no value; any other type is an error.
std::optional<QString> optionalString(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return stringValue(key, value);
}

bool requiredBool(const QJsonObject &object, const QString &key) {
    const QJsonValue value = required(object, key);
    if (!value.isBool())
        wrongType(key, "a boolean", value);
    return value.toBool();
}

qint64 requiredInt(const QJsonObject &object, const QString &key) {
    const QJsonValue value = required(object, key);
    if (!value.isDouble())
        wrongType(key, "an integer", value);
    const double number = value.toDouble();
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (std::trunc(number) != number || number >= 9223372036854775808.0 ||
        number < -9223372036854775808.0)
        fail(key, QStringLiteral("expected an integer, found %1").arg(number));
    return static_cast<qint64>(number);
}

QUuid requiredUuid(const QJsonObject &object, const QString &key) {
    const QString text = requiredString(object, key);
    static const QRegularExpression canonical(QStringLiteral(
        "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));
    if (!canonical.match(text).hasMatch())
        fail(key, QStringLiteral("not a UUID"));
    return QUuid::fromString(text);
}

QJsonArray arrayValue(const QString &key, const QJsonValue &value) {
    if (!value.isArray())
        wrongType(key, "an array", value);
    return value.toArray();
}

// Decodes every element, naming the failing element's index.
template <typename T> QList<T> decodeList(const QString &key, const QJsonArray &array) {
    QList<T> list;
    list.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        try {
            list.append(T::fromJson(array.at(i)));
        } catch (const DecodingError &error) {
            throw DecodingError(
                QStringLiteral("%1[%2].%3").arg(key).arg(i).arg(error.description()));
        }
    }
    return list;
}

QStringList decodeStrings(const QString &key, const QJsonArray &array) {
    QStringList list;
    list.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i)
        list.append(stringValue(QStringLiteral("%1[%2]").arg(key).arg(i), array.at(i)));
    return list;
}

QByteArray compact(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// One JSON value in its compact text form (strings quoted and escaped).
QByteArray compactValue(const QJsonValue &value) {
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

} // namespace

QJsonArray parseJsonArray(const QByteArray &body) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("The response is not valid JSON (%1 at offset %2).")
                                .arg(error.errorString())
                                .arg(error.offset));
    if (!document.isArray())
        throw DecodingError(QStringLiteral("The response is not a JSON array."));
    return document.array();
}

// ---------------------------------------------------------------------------
// Visitors

VisitorAnswer VisitorAnswer::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    VisitorAnswer answer;
    answer.label = requiredString(object, QStringLiteral("label"));
    answer.value = requiredString(object, QStringLiteral("value"));
    return answer;
}

QJsonObject VisitorAnswer::toJson() const {
    return QJsonObject{{QStringLiteral("label"), label}, {QStringLiteral("value"), value}};
}

VisitorRow VisitorRow::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    VisitorRow row;
    row.id = requiredUuid(object, QStringLiteral("id"));
    row.visitorName = requiredString(object, QStringLiteral("visitor_name"));
    row.hostName = optionalString(object, QStringLiteral("host_name"));

    const QJsonValue answers = object.value(QStringLiteral("answers"));
    if (!answers.isUndefined() && !answers.isNull())
        row.answers = decodeList<VisitorAnswer>(QStringLiteral("answers"),
                                                arrayValue(QStringLiteral("answers"), answers));

    const QJsonValue signedIn = object.value(QStringLiteral("signed_in_at"));
    const std::optional<QDateTime> signedInAt =
        signedIn.isString() ? parseTimestamp(signedIn.toString()) : std::nullopt;
    if (!signedInAt)
        fail(QStringLiteral("signed_in_at"), QStringLiteral("Bad timestamp"));
    row.signedInAt = *signedInAt;

    // An unreadable sign-out time leaves the visitor on site rather than failing the log.
    if (const auto signedOut = optionalString(object, QStringLiteral("signed_out_at")))
        row.signedOutAt = parseTimestamp(*signedOut);
    row.listName = optionalString(object, QStringLiteral("list_name"));
    row.deviceName = optionalString(object, QStringLiteral("device_name"));
    return row;
}

QByteArray NewVisitor::toJson() const {
    QJsonArray answerArray;
    for (const VisitorAnswer &answer : answers)
        answerArray.append(answer.toJson());
    // QJsonObject sorts its keys; the insert body keeps the documented order.
    const QList<QPair<const char *, QJsonValue>> members = {
        {"owner_id", ownerID.toString(QUuid::WithoutBraces)},
        {"device_record_id", deviceRecordID},
        {"visitor_name", visitorName},
        {"host_name", hostName ? QJsonValue(*hostName) : QJsonValue(QJsonValue::Null)},
        {"answers", answerArray},
        {"signed_in_at", formatTimestamp(signedInAt)},
        {"device_name", deviceName},
    };
    QByteArray body = "{";
    for (const auto &[key, value] : members) {
        if (body.size() > 1)
            body += ',';
        body += '"' + QByteArray(key) + "\":" + compactValue(value);
    }
    body += '}';
    return body;
}

// ---------------------------------------------------------------------------
// Form fields and settings

QString fieldTypeRawValue(FieldType type) {
    switch (type) {
    case FieldType::plainText:
        return QStringLiteral("Plain Text");
    case FieldType::numeric:
        return QStringLiteral("Numeric");
    case FieldType::email:
        return QStringLiteral("Email");
    case FieldType::phone:
        return QStringLiteral("Phone");
    }
    return QStringLiteral("Plain Text");
}

FieldType fieldTypeFromRaw(const QString &raw) {
    for (FieldType type : allFieldTypes())
        if (fieldTypeRawValue(type) == raw)
            return type;
    return FieldType::plainText;
}

QList<FieldType> allFieldTypes() {
    return {FieldType::plainText, FieldType::numeric, FieldType::email, FieldType::phone};
}

KioskField KioskField::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    KioskField field;
    field.slot = requiredInt(object, QStringLiteral("slot"));
    field.label = requiredString(object, QStringLiteral("label"));
    field.type = requiredString(object, QStringLiteral("type"));
    field.required = requiredBool(object, QStringLiteral("required"));
    field.employeeList = requiredBool(object, QStringLiteral("employee_list"));
    return field;
}

QJsonObject KioskField::toJson() const {
    return QJsonObject{
        {QStringLiteral("slot"), slot},
        {QStringLiteral("label"), label},
        {QStringLiteral("type"), type},
        {QStringLiteral("required"), required},
        {QStringLiteral("employee_list"), employeeList},
    };
}

KioskSettings KioskSettings::defaults() {
    KioskSettings settings;
    settings.fields = {
        {0, QStringLiteral("Name"), fieldTypeRawValue(FieldType::plainText), true, false},
        {1, QStringLiteral("Email"), fieldTypeRawValue(FieldType::email), false, false},
        {2, QStringLiteral("Phone"), fieldTypeRawValue(FieldType::phone), false, false},
    };
    return settings;
}

KioskSettings KioskSettings::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    KioskSettings settings;
    const QString fieldsKey = QStringLiteral("fields");
    settings.fields =
        decodeList<KioskField>(fieldsKey, arrayValue(fieldsKey, required(object, fieldsKey)));
    const QString employeesKey = QStringLiteral("employees");
    settings.employees =
        decodeStrings(employeesKey, arrayValue(employeesKey, required(object, employeesKey)));
    settings.placeName = optionalString(object, QStringLiteral("place_name"));
    return settings;
}

QJsonObject KioskSettings::toJson() const {
    QJsonArray fieldArray;
    for (const KioskField &field : fields)
        fieldArray.append(field.toJson());
    QJsonObject object{
        {QStringLiteral("fields"), fieldArray},
        {QStringLiteral("employees"), QJsonArray::fromStringList(employees)},
    };
    // Always present: an upsert merges the keys it is given, so leaving a cleared name
    // out would keep the old one.
    object.insert(QStringLiteral("place_name"),
                  placeName ? QJsonValue(*placeName) : QJsonValue(QJsonValue::Null));
    return object;
}

NotificationSettings NotificationSettings::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    NotificationSettings settings;
    settings.officeWebhook = requiredString(object, QStringLiteral("office_webhook"));
    settings.notifySignIn = requiredBool(object, QStringLiteral("notify_sign_in"));
    settings.notifySignOut = requiredBool(object, QStringLiteral("notify_sign_out"));
    const QString webhooksKey = QStringLiteral("employee_webhooks");
    const QJsonValue webhooks = required(object, webhooksKey);
    if (!webhooks.isObject())
        wrongType(webhooksKey, "an object", webhooks);
    const QJsonObject map = webhooks.toObject();
    for (auto it = map.begin(); it != map.end(); ++it)
        settings.employeeWebhooks.insert(
            it.key(), stringValue(webhooksKey + QLatin1Char('.') + it.key(), it.value()));
    return settings;
}

QJsonObject NotificationSettings::toJson() const {
    QJsonObject webhooks;
    for (auto it = employeeWebhooks.begin(); it != employeeWebhooks.end(); ++it)
        webhooks.insert(it.key(), it.value());
    return QJsonObject{
        {QStringLiteral("office_webhook"), officeWebhook},
        {QStringLiteral("notify_sign_in"), notifySignIn},
        {QStringLiteral("notify_sign_out"), notifySignOut},
        {QStringLiteral("employee_webhooks"), webhooks},
    };
}

// ---------------------------------------------------------------------------
// Invites

InviteAnswer InviteAnswer::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    InviteAnswer answer;
    answer.slot = requiredInt(object, QStringLiteral("slot"));
    answer.label = optionalString(object, QStringLiteral("label"));
    answer.value = requiredString(object, QStringLiteral("value"));
    return answer;
}

QJsonObject InviteAnswer::toJson() const {
    QJsonObject object{{QStringLiteral("slot"), slot}, {QStringLiteral("value"), value}};
    if (label)
        object.insert(QStringLiteral("label"), *label);
    return object;
}

Invite Invite::fromJson(const QJsonValue &json) {
    const QJsonObject object = asObject(json);
    Invite invite;
    invite.id = requiredUuid(object, QStringLiteral("id"));
    invite.token = requiredString(object, QStringLiteral("token"));
    invite.visitorName = requiredString(object, QStringLiteral("visitor_name"));
    invite.visitorEmail = requiredString(object, QStringLiteral("visitor_email"));
    const QString answersKey = QStringLiteral("answers");
    invite.answers =
        decodeList<InviteAnswer>(answersKey, arrayValue(answersKey, required(object, answersKey)));
    invite.visitDate = optionalString(object, QStringLiteral("visit_date"));
    invite.visitTime = optionalString(object, QStringLiteral("visit_time"));
    invite.note = optionalString(object, QStringLiteral("note"));
    invite.createdAt = requiredString(object, QStringLiteral("created_at"));
    invite.usedAt = optionalString(object, QStringLiteral("used_at"));
    return invite;
}

namespace {

// Splits at `separator`, drops empty pieces and pieces that are not decimal integers
// (an optional sign, then digits).
QList<qint64> integerPieces(const QString &text, QChar separator) {
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    QList<qint64> numbers;
    for (const QString &piece : text.split(separator, Qt::SkipEmptyParts)) {
        if (!integer.match(piece).hasMatch())
            continue;
        bool ok = false;
        const qint64 number = piece.toLongLong(&ok, 10);
        if (ok)
            numbers.append(number);
    }
    return numbers;
}

// The instants at which the wall-clock time `local` (on its date) occurs in `zone`:
// none in a spring-forward gap, two in a fall-back repeat, otherwise one.
QList<QDateTime> instantsOf(const QDateTime &local, const QTimeZone &zone) {
    // `local` is the wall-clock reading expressed as if it were UTC.
    const QDateTime around = local;
    QList<int> offsets{zone.offsetFromUtc(around.addDays(-1)),
                       zone.offsetFromUtc(around.addDays(1))};
    for (const QTimeZone::OffsetData &transition :
         zone.transitions(around.addDays(-1), around.addDays(1)))
        offsets.append(transition.offsetFromUtc);
    QList<QDateTime> instants;
    for (int offset : offsets) {
        const QDateTime instant = local.addSecs(-offset);
        if (zone.offsetFromUtc(instant) == offset && !instants.contains(instant))
            instants.append(instant);
    }
    std::sort(instants.begin(), instants.end());
    return instants;
}

// Wall-clock `time` on `date` in `zone`; in a gap the first moment after it, in a
// repeat the earlier of the two.
std::optional<QDateTime> wallClock(QDate date, QTime time, const QTimeZone &zone) {
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const QDateTime local(date, time, Qt::UTC);
    QList<QDateTime> instants = instantsOf(local, zone);
    if (!instants.isEmpty())
        return instants.first().toTimeZone(zone);
    // In a gap: the first reading that exists again is the end of the gap. Gaps are
    // whole minutes long (at most a few hours), so stepping by minutes ends quickly.
    for (int minutes = 1; minutes <= 24 * 60; ++minutes) {
        instants = instantsOf(local.addSecs(60 * minutes), zone);
        if (!instants.isEmpty())
            return instants.first().toTimeZone(zone);
    }
    return std::nullopt;
}

// The locale's long date without its year: wide weekday, wide month and day.
QString dayFormat(const QLocale &locale) {
    QString format = locale.dateFormat(QLocale::LongFormat);
    // Drop the year together with the separators and quoted words that belong to it
    // ("dddd, MMMM d, yyyy", "dddd d 'de' MMMM 'de' yyyy", "yyyy年M月d日dddd").
    static const QRegularExpression trailingYear(
        QStringLiteral("(?:\\s*'[^']*')?[\\s,.]*y+(?:[^\\w']|'[^']*')*$"));
    static const QRegularExpression leadingYear(QStringLiteral("^y+(?:'[^']*'|[^\\w'])*"));
    static const QRegularExpression innerYear(QStringLiteral("[\\s,.]*y+"));
    if (format.contains(trailingYear))
        format.remove(trailingYear);
    else if (format.contains(leadingYear))
        format.remove(leadingYear);
    else
        format.remove(innerYear);
    format = format.trimmed();
    // Locales whose month is numeric keep it so ("M月d日dddd"); a format without weekday
    // or month falls back to the English order.
    if (!format.contains(QLatin1String("dddd")) || !format.contains(QLatin1Char('M')))
        format = QStringLiteral("dddd, MMMM d");
    return format;
}

} // namespace

QString shortTimeFormat(const QLocale &locale) {
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?"));
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return format;
}

std::optional<QDateTime> Invite::visitDay(const Clock &clock) const {
    if (!visitDate)
        return std::nullopt;
    const QList<qint64> parts = integerPieces(*visitDate, QLatin1Char('-'));
    if (parts.size() != 3)
        return std::nullopt;
    for (qint64 part : parts)
        if (part < std::numeric_limits<int>::min() || part > std::numeric_limits<int>::max())
            return std::nullopt;
    // A date that does not exist (2026-02-30) gives no visit day rather than rolling over.
    const QDate date{int(parts[0]), int(parts[1]), int(parts[2])};
    if (!date.isValid())
        return std::nullopt;
    const QDateTime start = date.startOfDay(clock.zone);
    if (!start.isValid())
        return std::nullopt;
    return start;
}

Invite::Status Invite::status(const Clock &clock) const {
    if (usedAt)
        return Status{Status::Kind::signedIn, parseTimestamp(*usedAt)};
    const std::optional<QDateTime> day = visitDay(clock);
    if (day) {
        const QDateTime startOfToday =
            clock.now().toTimeZone(clock.zone).date().startOfDay(clock.zone);
        if (*day < startOfToday)
            return Status{Status::Kind::expired, std::nullopt};
    }
    return Status{Status::Kind::waiting, std::nullopt};
}

std::optional<QString> Invite::whenText(const Clock &clock) const {
    const std::optional<QDateTime> day = visitDay(clock);
    if (!day)
        return std::nullopt;
    const QDate date = day->toTimeZone(clock.zone).date();
    const QString dayText = clock.locale.toString(date, dayFormat(clock.locale));

    const QList<qint64> parts = integerPieces(visitTime.value_or(QString()), QLatin1Char(':'));
    if (parts.size() < 2)
        return dayText;
    const qint64 hour = parts[0];
    const qint64 minute = parts[1];
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59)
        return dayText;
    const std::optional<QDateTime> moment =
        wallClock(date, QTime(int(hour), int(minute)), clock.zone);
    if (!moment)
        return dayText;
    return dayText + QStringLiteral(" at ") +
           clock.locale.toString(moment->toTimeZone(clock.zone).time(),
                                 shortTimeFormat(clock.locale));
}

// ---------------------------------------------------------------------------

QByteArray NewInvite::toJson() const {
    QJsonArray answerArray;
    for (const Answer &answer : answers)
        answerArray.append(QJsonObject{{QStringLiteral("slot"), answer.slot},
                                       {QStringLiteral("value"), answer.value}});
    QJsonObject object{{QStringLiteral("answers"), answerArray}, {QStringLiteral("email"), email}};
    if (visitDate)
        object.insert(QStringLiteral("visit_date"), *visitDate);
    if (visitTime)
        object.insert(QStringLiteral("visit_time"), *visitTime);
    if (note)
        object.insert(QStringLiteral("note"), *note);
    return compact(object);
}

DeskWindow DeskWindow::at(const QDateTime &now, const QTimeZone &zone) {
    const QDate today = now.toTimeZone(zone).date();
    DeskWindow window;
    window.startOfToday = today.startOfDay(zone);
    const QDate sunday = today.addDays(-(today.dayOfWeek() % 7));
    window.startOfWeek = sunday.startOfDay(zone);
    if (!window.startOfWeek.isValid())
        window.startOfWeek = window.startOfToday;
    return window;
}
