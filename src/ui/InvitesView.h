#pragma once

#include "SectionView.h"
#include "records/Records.h"

#include <QPointer>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class CloudClient;
class EmptyStatePanel;
class InviteCodeSheet;
class QLabel;
class QMenu;
class QMessageBox;
class QPushButton;
class QToolButton;
class RowList;

// One invite in the list: name, address and visit day, its state, "Sign In" while it
// waits, and the "…" menu of what can still be done with it.
class InviteRow : public QWidget {
    Q_OBJECT
public:
    InviteRow(const Invite &invite, const Clock &clock, QWidget *parent = nullptr);
    const Invite &invite() const { return m_invite; }
    QMenu *menu() const { return m_menu; }
    QPushButton *signInButton() const { return m_signIn; }

    // "Signed in Mar 1, 2026 at 9:30 AM", "Signed in" (time unreadable), "Expired" or
    // "Waiting".
    static QString statusText(const Invite &invite, const Clock &clock);
    // "guest@example.org · Sunday, March 1 at 2:30 PM", or "… · Any day".
    static QString detailText(const Invite &invite, const Clock &clock);

signals:
    void signInRequested(const Invite &invite);
    void showCodeRequested(const Invite &invite);
    void copyLinkRequested(const Invite &invite);
    void resendRequested(const Invite &invite);
    void cancelRequested(const Invite &invite);

private:
    Invite m_invite;
    QPushButton *m_signIn = nullptr;
    QToolButton *m_more;
    QMenu *m_menu;
};

// The desk's Invites section: the account's latest invites, creating one (through the
// model's isInviting flag), signing a waiting visitor in, resending, cancelling, and the
// invite link as a QR code or on the clipboard.
class InvitesView : public SectionView {
    Q_OBJECT
public:
    static constexpr int listLimit = 50;

    // `signIn` opens the sign-in sheet for an invite.
    InvitesView(AppModel *model, std::function<void(const Invite &)> signIn,
                QWidget *parent = nullptr);

    QList<QAction *> toolbarActions() const override { return {m_newInvite}; }
    const QList<Invite> &invites() const { return m_invites; }
    bool isLoading() const { return m_isLoading; }
    const std::optional<QString> &notice() const { return m_notice; }
    const QList<InviteRow *> &rows() const { return m_rows; }

    // The absolute invite link: the website base with "i/" and the token appended.
    static QString inviteLink(const CloudClient &cloud, const Invite &invite);

public slots:
    void reload();
    void showCode(const Invite &invite);
    void copyLink(const Invite &invite);
    void resend(const Invite &invite);
    void confirmCancel(const Invite &invite);

signals:
    // A load has ended, with or without a new list.
    void loaded();
    // A resend or cancel has ended.
    void actionFinished();

private:
    QCoro::Task<> load();
    QCoro::Task<> resendTask(Invite invite);
    QCoro::Task<> cancelTask(Invite invite);
    void newInvite();
    void showInvites();
    void setNotice(std::optional<QString> text);

    QPointer<AppModel> m_model;
    std::function<void(const Invite &)> m_signIn;
    QList<Invite> m_invites;
    bool m_isLoading = true;
    std::optional<QString> m_notice;
    // Only the latest of overlapping loads applies its answer.
    quint64 m_loadGeneration = 0;

    QAction *m_newInvite;
    RowList *m_list;
    QList<InviteRow *> m_rows;
    EmptyStatePanel *m_empty;
    QPointer<InviteCodeSheet> m_codeSheet;
    QPointer<QMessageBox> m_confirmation;
    QPointer<QMessageBox> m_alert;
};
