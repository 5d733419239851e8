#pragma once

// A desk wired to an in-process fake of the backend's REST tables: a real CloudClient
// with a signed-in session, an AppModel on it, and a FakeHttpServer that answers the
// visitor, settings and invite requests from a small in-memory state the test shapes.

#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "support/FakeHttpServer.h"

#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <exception>
#include <memory>
#include <qcoro/qcorotask.h>
#include <stdexcept>
#include <type_traits>

class FakeDesk {
public:
    // Requests the fake tells apart, for overrides and counting.
    enum class Route {
        onSite,      // GET visitors, signed_out_at=is.null, the visitor columns
        count,       // GET visitors, select=id (any of the three counters)
        insert,      // POST visitors
        signOut,     // PATCH visitors
        kiosk,       // GET kiosk_settings
        notify,      // GET notification_settings
        upsertKiosk, // POST kiosk_settings
        upsertNotify,
        markInvite, // PATCH invites
        other,
    };

    FakeDesk();
    ~FakeDesk();

    // A fixed Wednesday morning in UTC; the week started on Sunday 2026-03-01.
    static QDateTime now() { return QDateTime(QDate(2026, 3, 4), QTime(10, 0), Qt::UTC); }

    FakeHttpServer server;
    QNetworkAccessManager network;
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    QTemporaryDir preferencesDir;
    std::unique_ptr<QSettings> preferences;
    std::unique_ptr<CloudClient> cloud;
    std::unique_ptr<AppModel> model;
    QUuid userID = QUuid::createUuid();

    // Backend state.
    QList<QJsonObject> visitors; // every row; on site when signed_out_at is null
    DeskCounts counts{3, 2, 11};
    std::optional<QJsonObject> kioskRow;
    std::optional<QJsonObject> notifyRow;

    // Answers that replace the normal one for a route; `once` entries are used up.
    QMap<Route, FakeHttpServer::Reply> overrides;
    QMap<Route, QList<FakeHttpServer::Reply>> once;
    // Normal answers for these routes come this many milliseconds late.
    QMap<Route, int> delays;
    // Sign-outs of these visitor ids answer 500.
    QSet<QString> failingSignOuts;

    static Route routeOf(const FakeHttpServer::Request &request);
    QList<FakeHttpServer::Request> requests(Route route) const;
    int count(Route route) const { return int(requests(route).size()); }

    // Adds an on-site visitor row and returns it decoded.
    VisitorRow addVisitor(const QString &name, const std::optional<QString> &host = {});
    QJsonObject lastBody(Route route) const;

private:
    FakeHttpServer::Reply answer(const FakeHttpServer::Request &request);
    FakeHttpServer::Reply normalAnswer(Route route, const FakeHttpServer::Request &request);
};

// Runs a task to its end on the event loop and gives its result or rethrows its error
// (QCoro::waitFor never returns from a task that throws). Throws after `timeoutMs`.
template <typename T> struct TaskOutcome {
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::exception_ptr error;
    bool done = false;
};

template <typename T>
QCoro::Task<> runCapturing(QCoro::Task<T> task, std::shared_ptr<TaskOutcome<T>> outcome) {
    try {
        if constexpr (std::is_void_v<T>)
            co_await task;
        else
            outcome->value.emplace(co_await task);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
}

template <typename T> T waitTask(QCoro::Task<T> task, int timeoutMs = 15000) {
    auto outcome = std::make_shared<TaskOutcome<T>>();
    runCapturing(std::move(task), outcome);
    if (!QTest::qWaitFor([&] { return outcome->done; }, timeoutMs))
        throw std::runtime_error("the task did not finish in time");
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome->value);
}
