#include "InvitesView.h"

#include "CaughtError.h"
#include "EmptyStatePanel.h"
#include "Icons.h"
#include "InviteCodeSheet.h"
#include "ProblemAlert.h"
#include "RowList.h"
#include "Style.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"
#include "model/Export.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

InviteRow::InviteRow(const Invite &invite, const Clock &clock, QWidget *parent)
    : QWidget(parent), m_invite(invite) {
    setObjectName(QStringLiteral("inviteRow"));
    auto *name = new ElidedLabel(this);
    name->setObjectName(QStringLiteral("inviteName"));
    name->setText(invite.visitorName);
    Style::setText(name, Style::Text::headline);
    auto *detail = new ElidedLabel(this);
    detail->setObjectName(QStringLiteral("inviteDetail"));
    detail->setText(detailText(invite, clock));
    Style::setText(detail, Style::Text::callout);
    Style::setSecondary(detail);
    auto *status = new QLabel(statusText(invite, clock), this);
    status->setObjectName(QStringLiteral("inviteStatus"));
    status->setTextFormat(Qt::PlainText);
    Style::setText(status, Style::Text::callout);
    Style::setSecondary(status);

    auto *text = new QVBoxLayout;
    text->setSpacing(2);
    text->addWidget(name);
    text->addWidget(detail);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->setSpacing(10);
    layout->addLayout(text, 1);
    layout->addWidget(status);

    if (invite.status(clock).kind == Invite::Status::Kind::waiting) {
        m_signIn = new QPushButton(QStringLiteral("Sign In"), this);
        m_signIn->setObjectName(QStringLiteral("inviteSignInButton"));
        m_signIn->setAutoDefault(false);
        connect(m_signIn, &QPushButton::clicked, this, [this] { emit signInRequested(m_invite); });
        layout->addWidget(m_signIn);
    }

    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("inviteMenu"));
    connect(m_menu->addAction(QStringLiteral("Show QR Code")), &QAction::triggered, this,
            [this] { emit showCodeRequested(m_invite); });
    connect(m_menu->addAction(QStringLiteral("Copy Link")), &QAction::triggered, this,
            [this] { emit copyLinkRequested(m_invite); });
    // A used invite has done its work: nothing to resend or cancel.
    if (!invite.usedAt) {
        connect(m_menu->addAction(QStringLiteral("Resend Email")), &QAction::triggered, this,
                [this] { emit resendRequested(m_invite); });
        m_menu->addSeparator();
        connect(m_menu->addAction(QStringLiteral("Cancel Invite…")), &QAction::triggered, this,
                [this] { emit cancelRequested(m_invite); });
    }
    m_more = new QToolButton(this);
    m_more->setObjectName(QStringLiteral("inviteMenuButton"));
    m_more->setIcon(Icons::symbol(QStringLiteral("ellipsis.circle")));
    m_more->setIconSize(QSize(18, 18));
    m_more->setToolTip(QStringLiteral("More"));
    m_more->setAccessibleName(QStringLiteral("More actions for ") + invite.visitorName);
    m_more->setAutoRaise(true);
    m_more->setPopupMode(QToolButton::InstantPopup);
    m_more->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    m_more->setMenu(m_menu);
    layout->addWidget(m_more);
}

QString InviteRow::statusText(const Invite &invite, const Clock &clock) {
    const Invite::Status status = invite.status(clock);
    switch (status.kind) {
    case Invite::Status::Kind::signedIn:
        if (status.usedAt)
            return QStringLiteral("Signed in ") + reportDateText(*status.usedAt, clock);
        return QStringLiteral("Signed in");
    case Invite::Status::Kind::expired:
        return QStringLiteral("Expired");
    case Invite::Status::Kind::waiting:
        break;
    }
    return QStringLiteral("Waiting");
}

QString InviteRow::detailText(const Invite &invite, const Clock &clock) {
    return invite.visitorEmail + QStringLiteral(" · ") +
           invite.whenText(clock).value_or(QStringLiteral("Any day"));
}

InvitesView::InvitesView(AppModel *model, std::function<void(const Invite &)> signIn,
                         QWidget *parent)
    : SectionView(parent), m_model(model), m_signIn(std::move(signIn)) {
    setObjectName(QStringLiteral("invitesView"));

    m_newInvite =
        new QAction(Icons::symbol(QStringLiteral("plus")), QStringLiteral("New Invite"), this);
    m_newInvite->setObjectName(QStringLiteral("newInviteAction"));
    m_newInvite->setToolTip(QStringLiteral("Invite a visitor (Ctrl+Shift+I)"));
    connect(m_newInvite, &QAction::triggered, this, &InvitesView::newInvite);

    m_list = new RowList(this);
    m_list->setObjectName(QStringLiteral("inviteList"));

    m_empty = new EmptyStatePanel(QStringLiteral("envelope"), QStringLiteral("No invites yet"), this);
    m_empty->setDescription(
        QStringLiteral("Invite a visitor and their details will be ready when they arrive."));
    QPushButton *emptyButton = m_empty->addButton(QStringLiteral("New Invite"));
    emptyButton->setObjectName(QStringLiteral("emptyNewInviteButton"));
    connect(emptyButton, &QPushButton::clicked, this, &InvitesView::newInvite);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 12);
    layout->setSpacing(16);
    layout->addWidget(new SectionHeader(QStringLiteral("Invites"), this));
    layout->addWidget(m_list, 1);
    layout->addWidget(m_empty, 1);

    // The list follows the new-invite sheet: it reloads each time the sheet closes.
    connect(m_model, &AppModel::isInvitingChanged, this, &InvitesView::reload);
    // A visitor signed in from an invite marks it used; show that without a visit away.
    connect(m_model, &AppModel::visitorRevisionChanged, this, &InvitesView::reload);
    showInvites();
    reload();
}

QString InvitesView::inviteLink(const CloudClient &cloud, const Invite &invite) {
    // The token is one path segment, whatever characters the server put in it.
    QUrl url = cloud.websiteURL(QStringLiteral("i/"));
    url.setPath(url.path(QUrl::FullyEncoded) +
                    QString::fromLatin1(QUrl::toPercentEncoding(invite.token)),
                QUrl::TolerantMode);
    return url.toString(QUrl::FullyEncoded);
}

void InvitesView::newInvite() {
    if (m_model)
        m_model->setInviting(true);
}

void InvitesView::reload() {
    if (m_model && !m_model->isInviting())
        load();
}

QCoro::Task<> InvitesView::load() {
    QPointer<InvitesView> self(this);
    QPointer<AppModel> model = m_model;
    const quint64 generation = ++m_loadGeneration;
    std::optional<QList<Invite>> fetched;
    std::optional<QString> failure;
    try {
        fetched = co_await model->cloud()->fetchInvites(false, listLimit);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self || generation != m_loadGeneration)
        co_return;
    m_isLoading = false;
    if (fetched)
        m_invites = *fetched;
    showInvites();
    // A load abandoned because the session ended has nothing to tell.
    if (failure && !failure->isEmpty())
        setNotice(*failure);
    emit loaded();
}

void InvitesView::showInvites() {
    // Later: a row may be the sender of the signal that got us here.
    for (InviteRow *old : std::as_const(m_rows))
        old->deleteLater();
    m_rows.clear();
    const Clock &clock = m_model->clock();
    QList<QWidget *> shown;
    for (const Invite &invite : std::as_const(m_invites)) {
        auto *row = new InviteRow(invite, clock, m_list->rowParent());
        connect(row, &InviteRow::signInRequested, this, [this](const Invite &chosen) {
            if (m_signIn)
                m_signIn(chosen);
        });
        connect(row, &InviteRow::showCodeRequested, this, &InvitesView::showCode);
        connect(row, &InviteRow::copyLinkRequested, this, &InvitesView::copyLink);
        connect(row, &InviteRow::resendRequested, this, &InvitesView::resend);
        connect(row, &InviteRow::cancelRequested, this, &InvitesView::confirmCancel);
        shown.append(row);
        m_rows.append(row);
    }
    m_list->setRows(shown);
    // While the first load runs the (empty) list shows, not the empty state.
    const bool empty = m_invites.isEmpty() && !m_isLoading;
    m_list->setVisible(!empty);
    m_empty->setVisible(empty);
}

void InvitesView::setNotice(std::optional<QString> text) {
    m_notice = std::move(text);
    if (!m_notice) {
        if (m_alert)
            m_alert->close();
        return;
    }
    if (!m_alert) {
        m_alert = makeAlert(this, QMessageBox::Information, QStringLiteral("Invites"), *m_notice);
        m_alert->setObjectName(QStringLiteral("invitesNotice"));
        connect(m_alert, &QMessageBox::finished, this, [this] { m_notice.reset(); });
    } else {
        setErrorAlertMessage(m_alert, *m_notice);
    }
    m_alert->open();
}

void InvitesView::showCode(const Invite &invite) {
    if (m_codeSheet)
        m_codeSheet->close();
    m_codeSheet = new InviteCodeSheet(invite, inviteLink(*m_model->cloud(), invite), this);
    m_codeSheet->setAttribute(Qt::WA_DeleteOnClose);
    m_codeSheet->open();
}

void InvitesView::copyLink(const Invite &invite) {
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(inviteLink(*m_model->cloud(), invite));
}

void InvitesView::resend(const Invite &invite) {
    resendTask(invite);
}

QCoro::Task<> InvitesView::resendTask(Invite invite) {
    QPointer<InvitesView> self(this);
    QPointer<AppModel> model = m_model;
    std::optional<QString> failure;
    try {
        co_await model->cloud()->resendInvite(invite.id);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    if (!failure)
        setNotice(QStringLiteral("Sent again to ") + invite.visitorEmail + QStringLiteral("."));
    else if (!failure->isEmpty())
        setNotice(*failure);
    emit actionFinished();
}

void InvitesView::confirmCancel(const Invite &invite) {
    if (m_confirmation)
        m_confirmation->close();
    m_confirmation = new QMessageBox(this);
    m_confirmation->setObjectName(QStringLiteral("cancelInviteConfirmation"));
    m_confirmation->setIcon(QMessageBox::Question);
    m_confirmation->setWindowTitle(QStringLiteral("Cancel Invite"));
    m_confirmation->setTextFormat(Qt::PlainText);
    m_confirmation->setText(QStringLiteral("Cancel the invite for ") + invite.visitorName +
                            QStringLiteral("?"));
    QPushButton *confirm =
        m_confirmation->addButton(QStringLiteral("Cancel Invite"), QMessageBox::DestructiveRole);
    confirm->setObjectName(QStringLiteral("confirmCancelInviteButton"));
    markDestructive(confirm);
    QPushButton *keep =
        m_confirmation->addButton(QStringLiteral("Keep Invite"), QMessageBox::RejectRole);
    keep->setObjectName(QStringLiteral("keepInviteButton"));
    m_confirmation->setDefaultButton(keep);
    m_confirmation->setEscapeButton(keep);
    m_confirmation->setWindowModality(Qt::WindowModal);
    m_confirmation->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_confirmation, &QMessageBox::finished, this,
            [this, confirm, sheet = m_confirmation, invite] {
                if (sheet && sheet->clickedButton() == confirm)
                    cancelTask(invite);
            });
    m_confirmation->open();
}

QCoro::Task<> InvitesView::cancelTask(Invite invite) {
    QPointer<InvitesView> self(this);
    QPointer<AppModel> model = m_model;
    std::optional<QString> failure;
    try {
        co_await model->cloud()->deleteInvite(invite.id);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    if (failure) {
        if (!failure->isEmpty())
            setNotice(*failure);
    } else {
        m_invites.removeIf([&invite](const Invite &entry) { return entry.id == invite.id; });
        showInvites();
    }
    emit actionFinished();
}
