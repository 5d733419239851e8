#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QStringList>
#include <functional>
#include <memory>
#include <stdexcept>

// A failed step: what was expected and what the screen showed instead.
struct StepFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a person is looking for on the screen (see src/app/TestDriver.h for the fields).
struct Look {
    QJsonObject query;
    static Look name(const QString &objectName) { return Look{{{"name", objectName}}}; }
    static Look text(const QString &label) { return Look{{{"text", label}}}; }
    Look &in(const QString &window) { return set("window", window); }
    Look &within(const QString &objectName) { return set("within", objectName); }
    Look &kind(const QString &kindOrClass) { return set("class", kindOrClass); }
    Look &withValue(const QString &value) { return set("value", value); }
    Look &set(const QString &key, const QJsonValue &value) {
        query.insert(key, value);
        return *this;
    }
    QString describe() const;
};

// One thing the driver found.
struct Seen {
    bool found = false;
    QString window, kind, className, name, value;
    QStringList labels;
    bool enabled = false, checked = false, focused = false, exposed = false;
    bool masked = false; // a password field, which does not tell what it holds
    QRect rect;          // on the screen, as the desk believes
    QString windowId;    // its X window, and where it is in there
    QRect local;
    QString describe() const;
};

// An X server of its own (Xvfb, with openbox when installed) and the real greetwell
// binary on it, started with a fresh home, preferences and runtime folder. The robot
// looks through the test driver compiled into test builds and acts through the X
// server's own pointer and keyboard (xdotool), as a person at the desk would.
class DeskRobot {
public:
    // `home` holds the desk's home, preferences and runtime folders; `output` receives
    // screenshots and the desk's log.
    DeskRobot(QString home, QString output);
    ~DeskRobot();

    // Empty when everything the robot needs is installed, else what is missing.
    static QString missingTools();

    void startDisplay(); // throws StepFailed
    // Starts greetwell with these extra environment variables; returns once its driver
    // answers.
    void launch(const QProcessEnvironment &extra);
    bool isRunning() const;
    // Waits for the desk to exit by itself; its exit code.
    int waitForExit(int timeoutMs);
    void stop(); // ends whatever still runs

    Seen find(const Look &look);
    // Polls until `until` holds for what `look` finds; throws StepFailed naming `what`.
    Seen waitFor(const Look &look, const QString &what,
                 const std::function<bool(const Seen &)> &until = {}, int timeoutMs = 15000);
    void waitGone(const Look &look, const QString &what, int timeoutMs = 15000);
    // Waits until `until` returns true, processing events (the test's own servers run
    // on them); throws StepFailed naming `what`.
    void waitUntil(const QString &what, const std::function<bool()> &until, int timeoutMs = 15000);

    void click(const Look &look);
    // Clicks into the field, selects what it holds and types `text` over it.
    void typeInto(const Look &look, const QString &text);
    void pressKeys(const QString &keys); // xdotool key names, e.g. "Escape", "ctrl+a"

    // Every shown window and its texts, for a failure report.
    QString screenText();
    // Saves the whole X screen as PNG; false when that failed.
    bool screenshot(const QString &path) const;

private:
    QJsonObject request(const QJsonObject &body, int timeoutMs = 5000);
    void xdotool(const QStringList &arguments);

    QString m_home, m_output, m_frameBuffer, m_runtime;
    QString m_display;
    std::unique_ptr<QProcess> m_xvfb, m_windowManager, m_desk;
    std::unique_ptr<QLocalSocket> m_socket;
    QByteArray m_buffer;
    int m_launches = 0;
};
