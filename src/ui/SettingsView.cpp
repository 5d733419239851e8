#include "SettingsView.h"

#include "AccountSettings.h"
#include "AlertSettings.h"
#include "BadgeSettings.h"
#include "FormSettings.h"
#include "Icons.h"
#include "model/AppModel.h"

#include <QEvent>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {
// Each tab scrolls on a screen too short for it.
QScrollArea *scrolling(QWidget *content, QWidget *parent) {
    auto *area = new QScrollArea(parent);
    area->setWidget(content);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return area;
}
} // namespace

SettingsView::SettingsView(AppModel *model, QSettings *preferences, QWidget *parent)
    : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(QStringLiteral("Settings"));
    setWindowIcon(Icons::appIcon());
    setFixedWidth(contentWidth);
    setMinimumHeight(minimumContentHeight);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("settingsTabs"));
    m_tabs->setDocumentMode(true);
    m_account = new AccountSettings(model->cloud(), this);
    m_account->setQueueModel(model);
    m_form = new FormSettings(model, this);
    m_badges = new BadgeSettings(model->printer(), this);
    m_alerts = new AlertSettings(model, preferences, this);
    m_tabs->addTab(scrolling(m_account, m_tabs), Icons::symbol(QStringLiteral("person.crop.circle")),
                   QStringLiteral("Account"));
    m_tabs->addTab(scrolling(m_form, m_tabs), Icons::symbol(QStringLiteral("list.bullet.rectangle")),
                   QStringLiteral("Form"));
    m_tabs->addTab(scrolling(m_badges, m_tabs), Icons::symbol(QStringLiteral("printer")),
                   QStringLiteral("Badges"));
    m_tabs->addTab(scrolling(m_alerts, m_tabs), Icons::symbol(QStringLiteral("bell")),
                   QStringLiteral("Alerts"));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);
    layout->addWidget(m_tabs);

    for (const QKeySequence &keys :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto *shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }
    // A message line that appears makes room for itself instead of a scroll bar.
    for (QWidget *tab : std::initializer_list<QWidget *>{m_account, m_form, m_badges, m_alerts})
        tab->installEventFilter(this);
    connect(m_tabs, &QTabWidget::currentChanged, this, &SettingsView::fitCurrentTab);
    fitCurrentTab();
}

bool SettingsView::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::LayoutRequest && m_tabs->currentWidget() &&
        static_cast<QScrollArea *>(m_tabs->currentWidget())->widget() == watched)
        QMetaObject::invokeMethod(this, &SettingsView::fitCurrentTab, Qt::QueuedConnection);
    return QWidget::eventFilter(watched, event);
}

void SettingsView::fitCurrentTab() {
    // Like a preferences window, the height follows the tab shown.
    auto *area = qobject_cast<QScrollArea *>(m_tabs->currentWidget());
    if (!area)
        return;
    int height = area->widget()->sizeHint().height() + m_tabs->tabBar()->sizeHint().height() + 12;
    if (const QScreen *where = screen())
        height = std::min(height, where->availableGeometry().height() - 80);
    resize(contentWidth, std::max(minimumContentHeight, height));
}
