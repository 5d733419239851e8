#pragma once

#include <QPointer>
#include <QWidget>
#include <qcoro/qcorotask.h>

class AppModel;
class QLabel;
class QMessageBox;
class QPushButton;

// What waits on this computer for the backend: "Offline — 2 sign-ins waiting to sync",
// and a change the backend refused, with its visitor, for a person to send again or
// drop. Hidden while nothing waits.
class OfflineBanner : public QWidget {
    Q_OBJECT
public:
    explicit OfflineBanner(AppModel *model, QWidget *parent = nullptr);

    QString waitingText() const;
    QString heldText() const;
    // "Couldn't sync Ann Lee's sign-in: Name too long"
    static QString heldTextFor(const QString &visitorName, bool signIn, const QString &problem);

public slots:
    void retry();
    void confirmDiscard();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void showQueue();
    QCoro::Task<> retryHeld(QString deviceRecordID);

    QPointer<AppModel> m_model;
    QLabel *m_waiting;
    QWidget *m_heldLine;
    QLabel *m_held;
    QPushButton *m_retry;
    QPushButton *m_discard;
    bool m_isRetrying = false;
    QPointer<QMessageBox> m_confirmation;
};
