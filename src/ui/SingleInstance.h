#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One desk per user session: a second launch hands over to the first (which raises its
// window) and exits, so two desks never poll and print side by side.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` is the local socket; by default one per user, in the runtime folder.
    explicit SingleInstance(QString name = defaultName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // Asks a desk already running to come to the front; true when one answered.
    bool forwardToRunning(int timeoutMs = 1000);
    // Becomes the desk that later launches hand over to. False when the socket cannot
    // be made (the desk then runs on alone).
    bool listen();

signals:
    void raiseRequested();

private:
    void readRequest();

    QString m_name;
    QLocalServer *m_server = nullptr;
};
