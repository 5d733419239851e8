#pragma once

// Test builds only (CMake option GREETWELL_TEST_HOOKS): lets the end-to-end test run the
// real desk against its own servers and look at the screens the way a person would.
// Nothing here is active unless the test's environment asks for it.

#include "cloud/CloudClient.h"

#include <QJsonObject>
#include <QObject>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QWidget;

namespace TestHooks {
// GREETWELL_TEST_BACKEND_URL (and optionally GREETWELL_TEST_WEBSITE_URL,
// GREETWELL_TEST_API_KEY) in place of the build's servers; nullopt when unset.
std::optional<CloudClient::Config> serversFromEnvironment();
// Adds the certificates of the PEM file GREETWELL_TEST_CA_FILE to the trusted ones, so
// a test's local https receiver is accepted like any public one.
void trustTestCertificates();
} // namespace TestHooks

// Answers one JSON request per line on the local socket GREETWELL_TEST_DRIVER:
//   {"op":"ping"}
//   {"op":"find", "name"?, "text"?, "value"?, "class"?, "window"?, "within"?, "index"?}
//       the index-th shown widget, menu or toolbar action, tab or list row that matches:
//       "name" its objectName, "text" its label (mnemonics removed), accessible name or
//       placeholder, "value" the text typed into it, "within" an enclosing widget's
//       objectName. Answers its state and where it is (after scrolling it into view, as
//       a person would): on the screen, and inside its X window ("windowId", "local").
//   {"op":"texts"} every shown window with the texts on it, for a test's failure report.
// The test clicks and types with the X server's own input; the driver only looks.
class TestDriver : public QObject {
public:
    explicit TestDriver(QObject *parent = nullptr);
    // Listens when the environment names a socket; false otherwise.
    bool listen();

private:
    void accept();
    void read(QLocalSocket *socket);
    QJsonObject answer(const QJsonObject &request) const;
    QJsonObject find(const QJsonObject &query) const;
    QJsonObject texts() const;

    QLocalServer *m_server = nullptr;
};
