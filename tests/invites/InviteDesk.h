#pragma once

// The whole desk against the local backend and its website API, signed in to a fresh
// account whose sign-in form the test chooses, showing the Invites section.

#include "support/BackendKit.h"
#include "support/desk/BackendDesk.h"
#include "support/desk/Gestures.h"
#include "ui/InvitesView.h"
#include "ui/NewInviteSheet.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMenu>
#include <QTest>

struct FormField {
    int slot;
    QString label;
    QString type = QStringLiteral("Plain Text");
    bool required = false;
};

inline QJsonArray formJson(const QList<FormField> &fields) {
    QJsonArray array;
    for (const FormField &f : fields)
        array.append(QJsonObject{{"slot", f.slot},
                                 {"label", f.label},
                                 {"type", f.type},
                                 {"required", f.required},
                                 {"employee_list", false}});
    return array;
}

struct InviteDesk : BackendDesk {
    InviteDesk(const BackendInfo &backend, const QList<FormField> &form) : BackendDesk(backend) {
        saveForm(form);
        preferences.setValue("PrintLabel", false);
    }

    void saveForm(const QList<FormField> &form) {
        const HttpReply reply = kit::saveKioskSettings(info, account, formJson(form));
        if (reply.status != 201 && reply.status != 200)
            throw BackendFixtureError("saving the form failed: " + reply.body.toStdString());
    }

    // Starts the desk, waits for the form, pins the clock and opens Invites.
    void launch(const std::optional<Clock> &clock = {}) {
        start(clock);
        (void)QTest::qWaitFor([this] { return model()->hasSavedForm(); });
        desk()->setSection(DeskSection::invites);
    }

    InvitesView *view() const { return qobject_cast<InvitesView *>(desk()->currentSectionView()); }
    NewInviteSheet *sheet() const { return desk()->findChild<NewInviteSheet *>("newInviteSheet"); }

    // An invite made through the website API as another desk would, returning its id.
    QString createInvite(const QString &name, const QString &email) {
        const QJsonObject body{{"answers", QJsonArray{QJsonObject{{"slot", 0}, {"value", name}}}},
                               {"email", email}};
        const HttpReply reply = sendRequest("POST", QUrl(info.url.toString() + "/api/invites"),
                                            QJsonDocument(body).toJson(QJsonDocument::Compact),
                                            deskHeaders(info, account.accessToken));
        if (reply.status != 201)
            throw BackendFixtureError("creating an invite failed: " + reply.body.toStdString());
        return reply.json().object().value("id").toString();
    }
    // The account's invite rows as stored, newest first.
    QJsonArray storedInvites() const {
        return rest(info, account.accessToken, "GET", "invites?order=created_at.desc")
            .json()
            .array();
    }

    InviteRow *row(const QString &name) const {
        for (InviteRow *row : view()->rows())
            if (row->invite().visitorName == name)
                return row;
        return nullptr;
    }
};

inline QStringList menuItems(InviteRow *row) {
    QStringList items;
    for (QAction *action : row->menu()->actions())
        items << (action->isSeparator() ? QStringLiteral("---") : action->text());
    return items;
}

inline bool triggerMenuItem(InviteRow *row, const QString &text) {
    for (QAction *action : row->menu()->actions()) {
        if (action->text() == text) {
            action->trigger();
            return true;
        }
    }
    return false;
}
