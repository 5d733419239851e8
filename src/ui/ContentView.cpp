#include "ContentView.h"

#include "AuthView.h"
#include "DeskView.h"
#include "Style.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <QLabel>
#include <QVBoxLayout>

namespace {
std::optional<QUuid> sessionKey(const CloudClient *cloud) {
    if (!cloud->session())
        return std::nullopt;
    return cloud->session()->userID;
}
} // namespace

QString openingSavedSignInText() {
    return QStringLiteral("Opening your saved sign-in\u2026");
}

ContentView::ContentView(AppModel *model, QSettings *preferences, QWidget *parent)
    : QWidget(parent), m_model(model), m_preferences(preferences) {
    setObjectName(QStringLiteral("contentView"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    connect(m_model->cloud(), &CloudClient::sessionChanged, this, &ContentView::onSessionChanged);
    connect(m_model->cloud(), &CloudClient::restoringChanged, this, &ContentView::updateGate);
    updateGate();
}

AuthView *ContentView::authView() const {
    return m_auth;
}

DeskView *ContentView::deskView() const {
    return m_desk;
}

QString ContentView::title() const {
    const QString app = QStringLiteral("Greetwell");
    if (!m_desk)
        return app;
    return deskSectionLabel(m_desk->section().value_or(DeskSection::today)) +
           QStringLiteral(" — ") + app;
}

void ContentView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!m_lifecycleKey)
        runLifecycle();
}

void ContentView::onSessionChanged() {
    updateGate();
    // A refreshed token keeps the same user: nothing to restart then.
    if (m_lifecycleKey && *m_lifecycleKey != sessionKey(m_model->cloud()))
        runLifecycle();
}

void ContentView::runLifecycle() {
    CloudClient *cloud = m_model->cloud();
    m_lifecycleKey = sessionKey(cloud);
    m_model->reset();
    if (cloud->isSignedIn())
        m_model->start();
}

void ContentView::updateGate() {
    const CloudClient *cloud = m_model->cloud();
    const bool signedIn = cloud->isSignedIn();
    const bool opening = !signedIn && cloud->isRestoring();
    if (signedIn ? bool(m_desk) : opening ? bool(m_opening) : bool(m_auth))
        return;
    // Old screens go later: this may run inside one of their own signal handlers.
    for (QWidget *old : {static_cast<QWidget *>(m_auth), static_cast<QWidget *>(m_desk),
                         static_cast<QWidget *>(m_opening)}) {
        if (!old)
            continue;
        old->hide();
        layout()->removeWidget(old);
        old->deleteLater();
    }
    m_auth = nullptr;
    m_desk = nullptr;
    m_opening = nullptr;
    if (signedIn) {
        m_desk = new DeskView(m_model, m_preferences, this);
        connect(m_desk, &DeskView::sectionShown, this, [this] { emit titleChanged(title()); });
        layout()->addWidget(m_desk);
        m_desk->setFocus();
    } else if (opening) {
        // Neither screen is built until the keychain has answered, so the window paints
        // at once and shows the right one next.
        m_opening = new QLabel(openingSavedSignInText(), this);
        m_opening->setObjectName(QStringLiteral("openingView"));
        m_opening->setAlignment(Qt::AlignCenter);
        Style::setSecondary(m_opening);
        layout()->addWidget(m_opening);
    } else {
        m_auth = new AuthView(m_model->cloud(), this);
        layout()->addWidget(m_auth);
        m_auth->setFocus();
    }
    emit deskChanged(m_desk);
    emit titleChanged(title());
}
