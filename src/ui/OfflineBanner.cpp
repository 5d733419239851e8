#include "OfflineBanner.h"

#include "CaughtError.h"
#include "Icons.h"
#include "ProblemAlert.h"
#include "Style.h"
#include "model/AppModel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

OfflineBanner::OfflineBanner(AppModel *model, QWidget *parent) : QWidget(parent), m_model(model) {
    setObjectName(QStringLiteral("offlineBanner"));
    auto *icon = new QLabel(this);
    icon->setPixmap(Icons::symbol(QStringLiteral("exclamationmark.triangle")).pixmap(16, 16));

    m_waiting = new QLabel(this);
    m_waiting->setObjectName(QStringLiteral("offlineWaitingText"));
    Style::setText(m_waiting, Style::Text::callout);
    QFont bold = m_waiting->font();
    bold.setWeight(QFont::DemiBold);
    m_waiting->setFont(bold);

    m_heldLine = new QWidget(this);
    m_held = new QLabel(m_heldLine);
    m_held->setObjectName(QStringLiteral("offlineHeldText"));
    m_held->setWordWrap(true);
    m_held->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Style::setText(m_held, Style::Text::callout);
    m_retry = new QPushButton(QStringLiteral("Retry"), m_heldLine);
    m_retry->setObjectName(QStringLiteral("offlineRetryButton"));
    m_retry->setToolTip(QStringLiteral("Send this visitor to the server again"));
    m_retry->setAutoDefault(false);
    m_discard = new QPushButton(QStringLiteral("Discard…"), m_heldLine);
    m_discard->setObjectName(QStringLiteral("offlineDiscardButton"));
    m_discard->setToolTip(QStringLiteral("Drop this visitor's changes from this computer"));
    m_discard->setAutoDefault(false);
    markDestructive(m_discard);
    connect(m_retry, &QPushButton::clicked, this, &OfflineBanner::retry);
    connect(m_discard, &QPushButton::clicked, this, &OfflineBanner::confirmDiscard);
    auto *heldLayout = new QHBoxLayout(m_heldLine);
    heldLayout->setContentsMargins(0, 0, 0, 0);
    heldLayout->setSpacing(8);
    heldLayout->addWidget(m_held, 1);
    heldLayout->addWidget(m_retry, 0, Qt::AlignVCenter);
    heldLayout->addWidget(m_discard, 0, Qt::AlignVCenter);

    auto *lines = new QVBoxLayout;
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(6);
    lines->addWidget(m_waiting);
    lines->addWidget(m_heldLine);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addLayout(lines, 1);

    connect(m_model, &AppModel::queueChanged, this, &OfflineBanner::showQueue);
    showQueue();
}

QString OfflineBanner::waitingText() const {
    return m_waiting->isHidden() ? QString() : m_waiting->text();
}

QString OfflineBanner::heldText() const {
    return m_heldLine->isHidden() ? QString() : m_held->text();
}

QString OfflineBanner::heldTextFor(const QString &visitorName, bool signIn,
                                   const QString &problem) {
    return QStringLiteral("Couldn't sync %1's %2: %3")
        .arg(visitorName, signIn ? QStringLiteral("sign-in") : QStringLiteral("sign-out"),
             problem);
}

void OfflineBanner::showQueue() {
    const QString waiting = m_model ? m_model->offlineText() : QString();
    const auto held = m_model ? m_model->heldChange() : std::nullopt;
    m_waiting->setText(waiting);
    m_waiting->setVisible(!waiting.isEmpty());
    if (held)
        m_held->setText(heldTextFor(held->visitorName, held->kind == QueuedChange::Kind::signIn,
                                    held->problem));
    m_heldLine->setVisible(held.has_value());
    m_retry->setEnabled(!m_isRetrying);
    m_discard->setEnabled(!m_isRetrying);
    setVisible(!waiting.isEmpty() || held.has_value());
}

void OfflineBanner::retry() {
    if (!m_model || m_isRetrying)
        return;
    if (const auto held = m_model->heldChange())
        retryHeld(held->deviceRecordID);
}

QCoro::Task<> OfflineBanner::retryHeld(QString deviceRecordID) {
    QPointer<OfflineBanner> self(this);
    QPointer<AppModel> model = m_model;
    m_isRetrying = true;
    showQueue();
    std::optional<QString> failure;
    try {
        co_await model->retryHeld(deviceRecordID);
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    m_isRetrying = false;
    showQueue();
    if (failure)
        m_held->setText(*failure);
}

void OfflineBanner::confirmDiscard() {
    const auto held = m_model ? m_model->heldChange() : std::nullopt;
    if (!held || m_confirmation || m_isRetrying)
        return;
    const QString what = held->kind == QueuedChange::Kind::signIn ? QStringLiteral("sign-in")
                                                                  : QStringLiteral("sign-out");
    const QString id = held->deviceRecordID;
    m_confirmation = askToConfirm(
        this, QStringLiteral("discardHeldConfirmation"), QStringLiteral("Discard"),
        QStringLiteral("Discard %1's %2?").arg(held->visitorName, what),
        QStringLiteral("It never reached the server. This computer will forget it and "
                       "everything that waits for it; this can't be undone."),
        QStringLiteral("Discard"), QStringLiteral("confirmDiscardButton"), [this, id] {
            if (!m_model)
                return;
            try {
                m_model->discardHeld(id);
            } catch (...) {
                m_held->setText(caughtErrorText());
            }
        });
}

void OfflineBanner::paintEvent(QPaintEvent *) {
    // The error banner's yellow, a little stronger: this one asks for attention.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(255, 159, 10, 56));
}
