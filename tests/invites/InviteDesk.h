#pragma once

// The whole desk against the local backend and its website API, signed in to a fresh
// account whose sign-in form the test chooses, showing the Invites section.

#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "support/BackendFixture.h"
#include "ui/ContentView.h"
#include "ui/DeskView.h"
#include "ui/GreetwellApp.h"
#include "ui/InvitesView.h"
#include "ui/MainWindow.h"
#include "ui/NewInviteSheet.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputMethodEvent>
#include <QJsonArray>
#include <QJsonObject>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

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

struct InviteDesk {
    BackendInfo info;
    TestAccount account;
    QTemporaryDir dir;
    QSettings preferences{dir.filePath("preferences.ini"), QSettings::IniFormat};
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<GreetwellApp> app;

    InviteDesk(const BackendInfo &backend, const QList<FormField> &form)
        : info(backend), account(createTestAccount(backend)) {
        saveForm(form);
        preferences.setValue("PrintLabel", false);
        store->stored = CloudSession{account.accessToken, account.refreshToken,
                                     QDateTime::currentDateTimeUtc().addSecs(1800),
                                     account.userId, account.email};
    }

    void saveForm(const QList<FormField> &form) {
        const QJsonObject row{{"owner_id", account.userId.toString(QUuid::WithoutBraces)},
                              {"fields", formJson(form)},
                              {"employees", QJsonArray{}}};
        const HttpReply reply =
            rest(info, account.accessToken, "POST", "kiosk_settings?on_conflict=owner_id",
                 QJsonDocument(row).toJson(QJsonDocument::Compact),
                 "resolution=merge-duplicates,return=minimal");
        if (reply.status != 201 && reply.status != 200)
            throw BackendFixtureError("saving the form failed: " + reply.body.toStdString());
    }

    // Starts the desk, waits for the form, pins the clock and opens Invites.
    void launch(std::optional<Clock> clock = {}) {
        app = std::make_unique<GreetwellApp>(store, &preferences,
                                             CloudClient::Config{info.url, info.url, info.apikey});
        if (clock)
            app->model()->setClock(*clock);
        app->show();
        (void)QTest::qWaitFor([this] { return model()->hasSavedForm(); });
        desk()->setSection(DeskSection::invites);
    }

    AppModel *model() const { return app->model(); }
    DeskView *desk() const { return app->mainWindow()->contentView()->deskView(); }
    InvitesView *view() const { return qobject_cast<InvitesView *>(desk()->currentSectionView()); }
    NewInviteSheet *sheet() const { return desk()->findChild<NewInviteSheet *>("newInviteSheet"); }

    // An invite made through the website API as another desk would, returning its id.
    QString createInvite(const QString &name, const QString &email) {
        const QJsonObject body{{"answers", QJsonArray{QJsonObject{{"slot", 0}, {"value", name}}}},
                               {"email", email}};
        const HttpReply reply =
            sendRequest("POST", QUrl(info.url.toString() + "/api/invites"),
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

// Text arriving as typed input (so the field reports an edit), emoji included.
inline void enterText(QWidget *edit, const QString &text) {
    edit->setFocus();
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(edit, &event);
}

inline void click(QAbstractButton *button) {
    QVERIFY(button);
    QVERIFY2(button->isEnabled(), qPrintable(button->objectName() + " is disabled"));
    QTest::mouseClick(button, Qt::LeftButton);
}
