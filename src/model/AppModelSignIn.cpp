#include "model/AppModel.h"

#include "badge/BadgePrinter.h"
#include "cloud/CloudClient.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <algorithm>

namespace {

// Letter case and accents do not tell two names apart: "José" and "jose" are the same
// host. Decompose, drop the combining marks, then fold the case.
QString nameKey(const QString &name) {
    const QString decomposed = name.normalized(QString::NormalizationForm_D);
    QString stripped;
    stripped.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        switch (c.category()) {
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
            break;
        default:
            stripped.append(c);
        }
    }
    return stripped.toCaseFolded();
}

QList<KioskField> sortedBySlot(QList<KioskField> fields) {
    std::stable_sort(fields.begin(), fields.end(),
                     [](const KioskField &a, const KioskField &b) { return a.slot < b.slot; });
    return fields;
}

// One value of an os-release style file: KEY=value, KEY="value" or KEY='value'.
std::optional<QString> machineInfoValue(const QByteArray &contents, const QByteArray &key) {
    for (QByteArray line : contents.split('\n')) {
        line = line.trimmed();
        if (!line.startsWith(key + '='))
            continue;
        QByteArray value = line.mid(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            const char quote = value.front();
            value = value.mid(1, value.size() - 2);
            if (quote == '"') {
                QByteArray unescaped;
                for (qsizetype i = 0; i < value.size(); ++i) {
                    if (value[i] == '\\' && i + 1 < value.size())
                        ++i;
                    unescaped.append(value[i]);
                }
                value = unescaped;
            }
        }
        return QString::fromUtf8(value);
    }
    return std::nullopt;
}

} // namespace

VisitorDraft AppModel::draftFromInvite(const Invite &invite) {
    VisitorDraft draft;
    for (const InviteAnswer &answer : invite.answers) {
        if (!draft.answers.contains(answer.slot))
            draft.answers.insert(answer.slot, answer.value);
    }
    // A blank name on the invite is no name: fall back to the name it was sent to.
    if (draft.text(0).trimmed().isEmpty())
        draft.answers.insert(0, invite.visitorName);
    return draft;
}

std::optional<QString> AppModel::problem(const VisitorDraft &draft,
                                         const QList<KioskField> &fields) {
    if (std::optional<Problem> found = problemField(draft, fields))
        return found->message;
    return std::nullopt;
}

std::optional<AppModel::Problem> AppModel::problemField(const VisitorDraft &draft,
                                                        const QList<KioskField> &fields) {
    for (const KioskField &field : fields) {
        if ((field.required || field.slot == 0) && draft.text(field.slot).trimmed().isEmpty())
            return Problem{field.slot, QStringLiteral("Please fill in %1.").arg(field.label)};
    }
    static const QRegularExpression email(QStringLiteral(R"(^[^\s@]+@[^\s@]+\.[^\s@]+$)"),
                                          QRegularExpression::UseUnicodePropertiesOption);
    for (const KioskField &field : fields) {
        if (field.type != QLatin1String("Email"))
            continue;
        const QString text = draft.text(field.slot).trimmed();
        if (!text.isEmpty() && !email.match(text).hasMatch())
            return Problem{field.slot,
                           QStringLiteral("Please enter a valid email for %1.").arg(field.label)};
    }
    return std::nullopt;
}

std::optional<QString> AppModel::resolveHost(const VisitorDraft &draft,
                                             const KioskSettings &settings) {
    for (const KioskField &field : sortedBySlot(settings.fields)) {
        if (!field.employeeList)
            continue;
        const QString typed = draft.text(field.slot).trimmed();
        if (typed.isEmpty())
            continue;
        const QString key = nameKey(typed);
        for (const QString &employee : settings.employees) {
            if (nameKey(employee.trimmed()) == key)
                return employee;
        }
    }
    return std::nullopt;
}

QString AppModel::deviceNameFrom(const QByteArray &machineInfo, const QString &hostName) {
    const QString pretty =
        machineInfoValue(machineInfo, "PRETTY_HOSTNAME").value_or(QString()).trimmed();
    if (!pretty.isEmpty())
        return pretty;
    if (!hostName.trimmed().isEmpty())
        return hostName.trimmed();
    return QStringLiteral("Desk");
}

QString AppModel::deviceName() {
    QByteArray machineInfo;
    QFile file(QStringLiteral("/etc/machine-info"));
    if (file.open(QIODevice::ReadOnly))
        machineInfo = file.readAll();
    return deviceNameFrom(machineInfo, QSysInfo::machineHostName());
}

QCoro::Task<BadgePrintResult> AppModel::signIn(VisitorDraft draft, std::optional<Invite> invite) {
    if (!m_cloud->session())
        throw CloudError::signedOut();
    QPointer<AppModel> self(this);
    CloudClient *cloud = m_cloud;

    NewVisitor visitor;
    visitor.ownerID = m_cloud->session()->userID;
    visitor.deviceRecordID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    visitor.visitorName = draft.text(0).trimmed();
    visitor.hostName = resolveHost(draft, m_settings);
    for (const KioskField &field : sortedBySlot(m_settings.fields)) {
        if (field.slot == 0)
            continue;
        const QString value = draft.text(field.slot).trimmed();
        if (!value.isEmpty())
            visitor.answers.append(VisitorAnswer{field.label, value});
    }
    visitor.signedInAt = m_clock.now();
    visitor.deviceName = deviceName();

    // What already waits goes first, so the backend gets the changes in the order they
    // were made; while it is still out of reach this one joins them without a second wait.
    bool keepHere = false;
    queue();
    if (hasWaiting()) {
        const std::optional<QString> unreachable = co_await syncQueue();
        if (!self)
            throw CloudError::network(unreachable.value_or(QString()));
        keepHere = unreachable.has_value() || hasWaiting();
    }
    VisitorRow row;
    std::optional<CloudError> failure;
    if (!keepHere) {
        try {
            row = co_await cloud->insertVisitor(visitor);
        } catch (const CloudError &error) {
            failure = error;
        }
        if (failure && failure->kind() == CloudError::Kind::server && failure->status() == 409) {
            // The network stack sends a request again when the first answer was lost on
            // the way; the copy then meets the row the first one stored. That row is ours.
            std::optional<VisitorRow> stored;
            try {
                stored = co_await cloud->visitorByDeviceRecord(visitor.deviceRecordID);
            } catch (const CloudError &error) {
                if (isUnreachable(error))
                    failure = error;
            }
            if (stored) {
                row = *stored;
                failure.reset();
            }
        }
        if (failure && (!self || !isUnreachable(*failure)))
            throw *failure;
        keepHere = failure.has_value();
    }
    if (keepHere) {
        QueuedChange change;
        change.visitor = visitor;
        if (invite)
            change.inviteID = invite->id;
        try {
            keep(change);
        } catch (const QueueError &error) {
            throw QueueError(QStringLiteral("The visitor could not be saved: the server is out of "
                                            "reach and this computer could not keep the sign-in "
                                            "(%1)")
                                 .arg(error.description()));
        }
        // On disk: the badge and the host alert go out as for any sign-in.
        row = pendingRow(visitor);
        notifyHosts(HostEvent::signIn, row);
        if (!m_printer || !m_printer->autoPrint())
            co_return BadgePrintResult::skipped;
        co_return m_printer->printBadge(row.visitorName, row.signedInAt);
    }

    if (invite) {
        // The visitor is in; an invite left unmarked only stays on the expected list.
        try {
            co_await cloud->markInviteUsed(invite->id, self ? m_clock.now() : visitor.signedInAt);
        } catch (...) {
        }
    }
    if (!self)
        co_return BadgePrintResult::skipped;
    notifyHosts(HostEvent::signIn, row);
    co_await refresh();
    if (!self)
        co_return BadgePrintResult::skipped;
    bumpVisitorRevision();
    if (!m_printer || !m_printer->autoPrint())
        co_return BadgePrintResult::skipped;
    co_return m_printer->printBadge(row.visitorName, row.signedInAt);
}

QCoro::Task<void> AppModel::signOut(VisitorRow row) {
    QPointer<AppModel> self(this);
    const QDateTime at = m_clock.now();
    const QString deviceRecordID = row.id.toString(QUuid::WithoutBraces).toUpper();
    if (isUnsynced(row.id)) {
        // Its sign-in has not reached the backend: the sign-out waits behind it.
        QueuedChange change;
        change.kind = QueuedChange::Kind::signOut;
        change.visitor.ownerID = m_queue->owner();
        change.visitor.deviceRecordID = deviceRecordID;
        change.visitor.visitorName = row.visitorName;
        change.signedOutAt = at;
        keep(change);
        row.signedOutAt = at;
        notifyHosts(HostEvent::signOut, row);
        co_return;
    }
    const bool justSynced =
        std::any_of(m_justSynced.begin(), m_justSynced.end(),
                    [&](const JustSynced &synced) { return synced.row.id == row.id; });
    if (justSynced)
        // Sent from the queue a moment ago; the backend's id for it is not loaded yet.
        co_await m_cloud->signOutDeviceRecord(m_queue->owner(), deviceRecordID, at);
    else
        co_await m_cloud->signOutVisitor(row.id, at);
    if (!self)
        co_return;
    row.signedOutAt = at;
    notifyHosts(HostEvent::signOut, row);
    co_await refresh();
    if (!self)
        co_return;
    bumpVisitorRevision();
}

QCoro::Task<int> AppModel::signOutEveryone() {
    QPointer<AppModel> self(this);
    // The list shrinks under us as each sign-out refreshes; work on what was shown.
    const QList<VisitorRow> rows = everyoneOnSite();
    int failures = 0;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (!self) {
            failures += int(rows.size() - i);
            break;
        }
        try {
            co_await signOut(rows[i]);
        } catch (...) {
            ++failures;
        }
    }
    co_return failures;
}
