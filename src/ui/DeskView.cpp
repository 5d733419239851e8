#include "DeskView.h"

#include "EmployeesView.h"
#include "Icons.h"
#include "InvitesView.h"
#include "NewInviteSheet.h"
#include "OfflineBanner.h"
#include "SectionView.h"
#include "SignInVisitorSheet.h"
#include "Style.h"
#include "TodayView.h"
#include "model/AppModel.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSettings>
#include <QStyledItemDelegate>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {
constexpr int rowHeight = 34;
constexpr int sidebarIconSize = 20;

class SidebarDelegate : public QStyledItemDelegate {
public:
    explicit SidebarDelegate(DeskSidebar *sidebar)
        : QStyledItemDelegate(sidebar), m_sidebar(sidebar) {}

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), rowHeight};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QWidget *widget = opt.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        const QString label = opt.text;
        opt.text.clear();
        opt.icon = QIcon();
        // Selection and hover background only; icon and label are laid out here.
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

        const QRect area = opt.rect.adjusted(6, 0, -6, 0);
        const bool selected = opt.state & QStyle::State_Selected;
        const QPixmap icon = iconPixmap(index, opt, widget, selected);
        const QRect iconRect =
            m_sidebar->isCollapsed()
                ? QStyle::alignedRect(opt.direction, Qt::AlignCenter,
                                      QSize(sidebarIconSize, sidebarIconSize), opt.rect)
                : QStyle::alignedRect(opt.direction, Qt::AlignLeft | Qt::AlignVCenter,
                                      QSize(sidebarIconSize, sidebarIconSize),
                                      area.adjusted(6, 0, 0, 0));
        painter->drawPixmap(iconRect, icon);
        if (m_sidebar->isCollapsed())
            return;
        const QRect textRect = area.adjusted(6 + sidebarIconSize + 10, 0, 0, 0);
        const QPalette::ColorRole role =
            opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text;
        painter->save();
        painter->setPen(opt.palette.color(
            opt.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive, role));
        painter->setFont(opt.font);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                          opt.fontMetrics.elidedText(label, Qt::ElideRight, textRect.width()));
        painter->restore();
    }

private:
    // Symbol icons are one colour: on the selection they take the selected text colour
    // so they stay readable.
    static QPixmap iconPixmap(const QModelIndex &index, const QStyleOptionViewItem &opt,
                              const QWidget *widget, bool selected) {
        const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
        const qreal ratio = widget ? widget->devicePixelRatioF() : 1.0;
        QPixmap pixmap = icon.pixmap(QSize(sidebarIconSize, sidebarIconSize), ratio);
        if (selected && !pixmap.isNull()) {
            QPainter tint(&pixmap);
            tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
            tint.fillRect(pixmap.rect(), opt.palette.color(QPalette::HighlightedText));
        }
        return pixmap;
    }

    DeskSidebar *m_sidebar;
};
} // namespace

DeskSidebar::DeskSidebar(QWidget *parent) : QListWidget(parent) {
    setObjectName(QStringLiteral("sidebar"));
    setItemDelegate(new SidebarDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setSpacing(2);
    setIconSize(QSize(sidebarIconSize, sidebarIconSize));
    setUniformItemSizes(true);
    QPalette p = palette();
    p.setColor(QPalette::Base, p.color(QPalette::Window));
    setPalette(p);
    for (DeskSection section : allDeskSections()) {
        auto *item = new QListWidgetItem(Icons::symbol(deskSectionIcon(section)),
                                         deskSectionLabel(section), this);
        item->setData(Qt::UserRole, int(section));
    }
    setCollapsed(false);
}

void DeskSidebar::setCollapsed(bool collapsed) {
    m_collapsed = collapsed;
    setFixedWidth(collapsed ? collapsedWidth : expandedWidth);
    for (int i = 0; i < count(); ++i)
        item(i)->setToolTip(collapsed ? item(i)->text() : QString());
    viewport()->update();
}

ErrorBanner::ErrorBanner(QWidget *parent) : QWidget(parent), m_text(new QLabel(this)) {
    setObjectName(QStringLiteral("errorBanner"));
    m_text->setObjectName(QStringLiteral("errorBannerText"));
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Style::setText(m_text, Style::Text::callout);
    auto *icon = new QLabel(this);
    icon->setPixmap(Icons::symbol(QStringLiteral("exclamationmark.triangle")).pixmap(16, 16));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addWidget(m_text, 1);
}

void ErrorBanner::setText(const QString &text) {
    m_text->setText(text);
}

QString ErrorBanner::text() const {
    return m_text->text();
}

void ErrorBanner::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(255, 204, 0, 51));
}

DeskView::DeskView(AppModel *model, QSettings *preferences, QWidget *parent)
    : QWidget(parent), m_model(model), m_preferences(preferences) {
    setObjectName(QStringLiteral("deskView"));
    m_sidebarIsCollapsed = m_preferences->value(QLatin1String(collapsedKey), false).toBool();

    m_toolbar = new QToolBar(this);
    m_toolbar->setObjectName(QStringLiteral("deskToolbar"));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toolbar->setIconSize(QSize(18, 18));

    m_collapseAction = m_toolbar->addAction(Icons::symbol(QStringLiteral("sidebar.left")),
                                            QString(), this, &DeskView::toggleSidebar);
    m_collapseAction->setObjectName(QStringLiteral("collapseSidebarAction"));
    if (auto *button = qobject_cast<QToolButton *>(m_toolbar->widgetForAction(m_collapseAction))) {
        button->setObjectName(QStringLiteral("collapseSidebarButton"));
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    }
    // Section actions go on the trailing side, next to the desk's primary action.
    auto *spacer = new QWidget(m_toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolbar->addWidget(spacer);
    m_sectionActionsEnd = m_toolbar->addSeparator();
    m_signInAction = m_toolbar->addAction(Icons::symbol(QStringLiteral("person.badge.plus")),
                                          QStringLiteral("Sign In Visitor"));
    m_signInAction->setObjectName(QStringLiteral("signInVisitorAction"));
    m_signInAction->setToolTip(QStringLiteral("Sign in a visitor (Ctrl+N)"));
    if (QWidget *button = m_toolbar->widgetForAction(m_signInAction))
        button->setObjectName(QStringLiteral("signInVisitorButton"));
    connect(m_signInAction, &QAction::triggered, this, [this] {
        if (m_model)
            m_model->setSigningIn(true);
    });

    m_sidebar = new DeskSidebar(this);
    m_sidebar->setCollapsed(m_sidebarIsCollapsed);
    connect(m_sidebar, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem *> selected = m_sidebar->selectedItems();
        if (selected.isEmpty())
            setSection(std::nullopt);
        else
            setSection(DeskSection(selected.first()->data(Qt::UserRole).toInt()));
    });

    m_detail = new QWidget(this);
    m_detail->setObjectName(QStringLiteral("deskDetail"));
    auto *detailLayout = new QVBoxLayout(m_detail);
    detailLayout->setContentsMargins(0, 0, 0, 0);

    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);

    auto *columns = new QHBoxLayout;
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(m_sidebar);
    columns->addWidget(divider);
    columns->addWidget(m_detail, 1);

    m_banner = new ErrorBanner(this);
    auto *offline = new OfflineBanner(m_model, this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_toolbar);
    layout->addLayout(columns, 1);
    layout->addWidget(offline);
    layout->addWidget(m_banner);

    connect(m_model, &AppModel::errorChanged, this, &DeskView::updateBanner);
    connect(m_model, &AppModel::isSigningInChanged, this, &DeskView::syncSigningInSheet);
    connect(m_model, &AppModel::isInvitingChanged, this, &DeskView::syncNewInviteSheet);

    updateCollapseAction();
    updateBanner();
    setSection(DeskSection::today);
    // The flags may already be set, e.g. Ctrl+N pressed while the window was switching.
    syncSigningInSheet();
    syncNewInviteSheet();
}

DeskView::~DeskView() {
    // The sheets go with the desk (after a sign-out, say); their flags must not reopen
    // them over the next desk.
    if (m_model) {
        m_model->setSigningIn(false);
        m_model->setInviting(false);
    }
}

void DeskView::setSection(std::optional<DeskSection> section) {
    const bool first = !m_current;
    if (!first && section == m_section)
        return;
    const DeskSection shown = section.value_or(DeskSection::today);
    const bool sameScreen = !first && m_section.value_or(DeskSection::today) == shown;
    m_section = section;

    // Keep the list's selection in step when the change came from code.
    for (int i = 0; i < m_sidebar->count(); ++i) {
        QListWidgetItem *item = m_sidebar->item(i);
        const bool selected = section && item->data(Qt::UserRole).toInt() == int(*section);
        if (item->isSelected() != selected) {
            QSignalBlocker block(m_sidebar);
            item->setSelected(selected);
            if (selected)
                m_sidebar->setCurrentItem(item);
        }
    }
    if (sameScreen)
        return;

    for (QAction *action : std::as_const(m_sectionActions))
        m_toolbar->removeAction(action);
    m_sectionActions.clear();
    if (m_current) {
        // Out of the column at once; deleting waits for the event loop.
        m_current->hide();
        m_current->deleteLater();
    }

    // Each visit builds the screen anew, so its transient state starts cleared.
    m_current = makeSectionView(shown);
    m_detail->layout()->addWidget(m_current);
    m_sectionActions = m_current->toolbarActions();
    m_toolbar->insertActions(m_sectionActionsEnd, m_sectionActions);
    m_sectionActionsEnd->setVisible(!m_sectionActions.isEmpty());
    for (QAction *action : std::as_const(m_sectionActions)) {
        if (QWidget *button = m_toolbar->widgetForAction(action))
            button->setObjectName(action->objectName() + QStringLiteral("Button"));
    }
    emit sectionShown(shown);
}

namespace {
// Stands in for a section whose screen is not part of this build yet.
class PlaceholderSection : public SectionView {
public:
    explicit PlaceholderSection(DeskSection section, QWidget *parent) : SectionView(parent) {
        setObjectName(QStringLiteral("sectionPlaceholder"));
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(20, 16, 20, 16);
        layout->addWidget(new SectionHeader(deskSectionLabel(section), this));
        layout->addStretch(1);
    }
};
} // namespace

SectionView *DeskView::makeSectionView(DeskSection section) {
    switch (section) {
    case DeskSection::today:
        return new TodayView(m_model, m_detail);
    case DeskSection::invites:
        return new InvitesView(
            m_model, [desk = QPointer<DeskView>(this)](const Invite &invite) {
                if (desk)
                    desk->signInInvite(invite);
            },
            m_detail);
    case DeskSection::employees:
        return new EmployeesView(m_model, m_detail);
    case DeskSection::visitors:
        break;
    }
    return new PlaceholderSection(section, m_detail);
}

void DeskView::setSidebarCollapsed(bool collapsed) {
    if (collapsed == m_sidebarIsCollapsed)
        return;
    m_sidebarIsCollapsed = collapsed;
    m_preferences->setValue(QLatin1String(collapsedKey), collapsed);
    m_sidebar->setCollapsed(collapsed);
    updateCollapseAction();
    emit sidebarCollapsedChanged(collapsed);
}

void DeskView::toggleSidebar() {
    setSidebarCollapsed(!m_sidebarIsCollapsed);
}

void DeskView::updateCollapseAction() {
    m_collapseAction->setText(m_sidebarIsCollapsed ? QStringLiteral("Expand Sidebar")
                                                   : QStringLiteral("Collapse Sidebar"));
    m_collapseAction->setToolTip(m_sidebarIsCollapsed
                                     ? QStringLiteral("Expand the sidebar")
                                     : QStringLiteral("Collapse the sidebar to icons"));
}

void DeskView::updateBanner() {
    const std::optional<QString> error = m_model ? m_model->error() : std::nullopt;
    m_banner->setText(error.value_or(QString()));
    m_banner->setVisible(error.has_value());
}

void DeskView::syncSigningInSheet() {
    if (!m_model)
        return;
    if (m_model->isSigningIn() && !m_signInSheet) {
        m_signInSheet = new SignInVisitorSheet(m_model, std::nullopt, this);
        m_signInSheet->setObjectName(QStringLiteral("signInSheet"));
        connect(m_signInSheet, &QDialog::finished, this, [this, sheet = m_signInSheet] {
            if (m_signInSheet == sheet)
                m_signInSheet = nullptr;
            if (sheet)
                sheet->deleteLater();
            if (m_model)
                m_model->setSigningIn(false);
        });
        m_signInSheet->open();
    } else if (!m_model->isSigningIn() && m_signInSheet && m_signInSheet->isVisible()) {
        m_signInSheet->reject();
    }
}

void DeskView::signInInvite(const Invite &invite) {
    // A sheet already open for another invite gives way to the new one.
    if (m_inviteSheet) {
        m_inviteSheet->disconnect(this);
        m_inviteSheet->reject();
        m_inviteSheet->deleteLater();
        m_inviteSheet = nullptr;
    }
    m_signingInInvite = invite;
    syncInviteSheet();
}

void DeskView::syncInviteSheet() {
    if (!m_signingInInvite || m_inviteSheet)
        return;
    m_inviteSheet = new SignInVisitorSheet(m_model, m_signingInInvite, this);
    m_inviteSheet->setObjectName(QStringLiteral("inviteSignInSheet"));
    connect(m_inviteSheet, &QDialog::finished, this, [this, sheet = m_inviteSheet] {
        if (m_inviteSheet == sheet) {
            m_inviteSheet = nullptr;
            m_signingInInvite.reset();
        }
        if (sheet)
            sheet->deleteLater();
    });
    m_inviteSheet->open();
}

QDialog *DeskView::makeNewInviteSheet() {
    return new NewInviteSheet(m_model, this);
}

void DeskView::syncNewInviteSheet() {
    if (!m_model)
        return;
    if (m_model->isInviting() && !m_newInviteSheet) {
        m_newInviteSheet = makeNewInviteSheet();
        m_newInviteSheet->setObjectName(QStringLiteral("newInviteSheet"));
        m_newInviteSheet->setWindowModality(Qt::WindowModal);
        connect(m_newInviteSheet, &QDialog::finished, this, [this, sheet = m_newInviteSheet] {
            if (m_newInviteSheet == sheet)
                m_newInviteSheet = nullptr;
            if (sheet)
                sheet->deleteLater();
            if (m_model)
                m_model->setInviting(false);
        });
        m_newInviteSheet->open();
    } else if (!m_model->isInviting() && m_newInviteSheet && m_newInviteSheet->isVisible()) {
        m_newInviteSheet->reject();
    }
}
