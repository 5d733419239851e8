#include "ContentView.h"

#include "AuthView.h"
#include "DeskView.h"
#include "cloud/CloudClient.h"
#include "model/AppModel.h"

#include <QVBoxLayout>

namespace {
std::optional<QUuid> sessionKey(const CloudClient *cloud) {
    if (!cloud->session())
        return std::nullopt;
    return cloud->session()->userID;
}
} // namespace

ContentView::ContentView(AppModel *model, QSettings *preferences, QWidget *parent)
    : QWidget(parent), m_model(model), m_preferences(preferences) {
    setObjectName(QStringLiteral("contentView"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    connect(m_model->cloud(), &CloudClient::sessionChanged, this, &ContentView::onSessionChanged);
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
    const bool signedIn = m_model->cloud()->isSignedIn();
    if (signedIn == bool(m_desk) && (signedIn || m_auth))
        return;
    // Old screens go later: this may run inside one of their own signal handlers.
    QWidget *old = signedIn ? static_cast<QWidget *>(m_auth) : static_cast<QWidget *>(m_desk);
    if (old) {
        old->hide();
        layout()->removeWidget(old);
        old->deleteLater();
    }
    m_auth = nullptr;
    m_desk = nullptr;
    if (signedIn) {
        m_desk = new DeskView(m_model, m_preferences, this);
        connect(m_desk, &DeskView::sectionShown, this, [this] { emit titleChanged(title()); });
        layout()->addWidget(m_desk);
        m_desk->setFocus();
    } else {
        m_auth = new AuthView(m_model->cloud(), this);
        layout()->addWidget(m_auth);
        m_auth->setFocus();
    }
    emit deskChanged(m_desk);
    emit titleChanged(title());
}
