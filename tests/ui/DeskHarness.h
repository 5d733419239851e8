#pragma once

#include "FakeDeskBackend.h"
#include "ui/AuthView.h"
#include "ui/ContentView.h"
#include "ui/DeskView.h"
#include "ui/GreetwellApp.h"
#include "ui/MainWindow.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// The whole desk application against the fake backend, with its preferences in a
// throwaway file and its session in memory, so a test can quit and relaunch it.
struct DeskHarness {
    FakeDeskBackend backend;
    QTemporaryDir dir;
    QSettings preferences{dir.filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat};
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::unique_ptr<GreetwellApp> app;

    void storeSession() { store->stored = backend.session(); }
    void launch() {
        app = std::make_unique<GreetwellApp>(store, &preferences, backend.config());
        app->show();
    }
    void quit() { app.reset(); }

    MainWindow *window() const { return app->mainWindow(); }
    AuthView *auth() const { return window()->contentView()->authView(); }
    DeskView *desk() const { return window()->contentView()->deskView(); }
    AppModel *model() const { return app->model(); }
    template <typename T = QWidget> T *find(const QString &name) const {
        return window()->findChild<T *>(name);
    }
};

// Types into a line edit as a person would (so textEdited fires).
inline void typeInto(QLineEdit *edit, const QString &text) {
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
}

inline void click(QAbstractButton *button) {
    QVERIFY(button);
    QVERIFY2(button->isEnabled(), qPrintable(button->objectName() + " is disabled"));
    QTest::mouseClick(button, Qt::LeftButton);
}
