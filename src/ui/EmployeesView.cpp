#include "EmployeesView.h"

#include "CaughtError.h"
#include "Icons.h"
#include "ProblemAlert.h"
#include "Style.h"
#include "model/AppModel.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

namespace {
constexpr int bellRole = Qt::UserRole + 1;
constexpr int bellSize = 16;
constexpr int bellMargin = 8;
constexpr int textIndent = 6;
constexpr int rowHeight = 30;

// The name, and a bell on the trailing edge for an employee with a personal webhook.
class EmployeeRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), rowHeight};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        const bool bell = index.data(bellRole).toBool();
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        const bool selected = opt.state & QStyle::State_Selected;
        // The selection spans the whole row; the name is indented and ends in "…" before
        // the bell.
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
        QStyleOptionViewItem text(opt);
        text.rect.adjust(textIndent, 0, -(bell ? bellSize + 2 * bellMargin : bellMargin), 0);
        text.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        if (selected)
            text.palette.setColor(QPalette::Text, opt.palette.color(QPalette::HighlightedText));
        style->drawControl(QStyle::CE_ItemViewItem, &text, painter, widget);
        if (!bell)
            return;
        const qreal ratio = widget ? widget->devicePixelRatioF() : 1.0;
        QPixmap pixmap =
            Icons::symbol(QStringLiteral("bell")).pixmap(QSize(bellSize, bellSize), ratio);
        {
            QPainter tint(&pixmap);
            tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
            tint.fillRect(pixmap.rect(), selected ? option.palette.color(QPalette::HighlightedText)
                                                  : Style::secondaryColor(option.palette));
        }
        const QRect target = QStyle::alignedRect(
            option.direction, Qt::AlignRight | Qt::AlignVCenter, QSize(bellSize, bellSize),
            option.rect.adjusted(0, 0, -bellMargin, 0));
        painter->drawPixmap(target, pixmap);
    }
};

// "No sign-in field shows this list yet…": icon and text on a faint strip.
class ListNotice : public QWidget {
public:
    explicit ListNotice(QWidget *parent) : QWidget(parent) {
        setObjectName(QStringLiteral("listNotice"));
        auto *icon = new QLabel(this);
        icon->setPixmap(Icons::symbol(QStringLiteral("info.circle")).pixmap(16, 16));
        auto *text = new QLabel(QStringLiteral("No sign-in field shows this list yet. Turn on "
                                               "Employee List for a field in Settings > Form."),
                                this);
        text->setObjectName(QStringLiteral("listNoticeText"));
        text->setWordWrap(true);
        Style::setText(text, Style::Text::callout);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(10, 10, 10, 10);
        layout->setSpacing(8);
        layout->addWidget(icon, 0, Qt::AlignTop);
        layout->addWidget(text, 1);
    }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = Style::quaternaryFill(palette());
        fill.setAlphaF(fill.alphaF() * 0.5);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 6, 6);
        painter.fillPath(shape, fill);
    }
};
} // namespace

EmployeesView::EmployeesView(AppModel *model, QWidget *parent)
    : SectionView(parent), m_model(model) {
    setObjectName(QStringLiteral("employeesView"));

    m_add =
        new QAction(Icons::symbol(QStringLiteral("plus")), QStringLiteral("Add Employee"), this);
    m_add->setObjectName(QStringLiteral("addEmployeeAction"));
    m_add->setToolTip(QStringLiteral("Add an employee"));
    connect(m_add, &QAction::triggered, this, [this] { openSheet(std::nullopt); });
    m_edit = new QAction(Icons::symbol(QStringLiteral("pencil")), QStringLiteral("Edit"), this);
    m_edit->setObjectName(QStringLiteral("editEmployeeAction"));
    m_edit->setToolTip(QStringLiteral("Edit the selected employee"));
    connect(m_edit, &QAction::triggered, this, [this] {
        if (m_selection)
            openSheet(m_selection);
    });
    m_remove = new QAction(Icons::symbol(QStringLiteral("minus")), QStringLiteral("Remove"), this);
    m_remove->setObjectName(QStringLiteral("removeEmployeeAction"));
    m_remove->setToolTip(QStringLiteral("Remove the selected employee"));
    connect(m_remove, &QAction::triggered, this, [this] {
        if (m_selection)
            remove(*m_selection);
    });

    auto *header = new SectionHeader(QStringLiteral("Employees"), this);
    m_notice = new ListNotice(this);

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("employeeList"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setItemDelegate(new EmployeeRowDelegate(m_list));
    m_list->setUniformItemSizes(true);
    m_list->setTextElideMode(Qt::ElideRight);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->installEventFilter(this);
    connect(m_list, &QWidget::customContextMenuRequested, this, &EmployeesView::showContextMenu);
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem *> selected = m_list->selectedItems();
        setSelection(selected.isEmpty() ? std::nullopt
                                        : std::optional<QString>(selected.first()->text()));
    });
    connect(m_list, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem *item) { openSheet(item->text()); });

    m_empty = new QWidget(this);
    m_empty->setObjectName(QStringLiteral("emptyState"));
    {
        auto *icon = new QLabel(m_empty);
        icon->setPixmap(
            Icons::symbol(QStringLiteral("person.crop.rectangle.stack")).pixmap(48, 48));
        icon->setAlignment(Qt::AlignCenter);
        auto *title = new QLabel(QStringLiteral("No employees yet"), m_empty);
        title->setObjectName(QStringLiteral("emptyTitle"));
        Style::setText(title, Style::Text::title2);
        title->setAlignment(Qt::AlignCenter);
        auto *description =
            new QLabel(QStringLiteral("Add the people visitors come to see."), m_empty);
        description->setAlignment(Qt::AlignCenter);
        description->setWordWrap(true);
        Style::setSecondary(description);
        auto *add = new QPushButton(QStringLiteral("Add Employee"), m_empty);
        add->setObjectName(QStringLiteral("emptyAddEmployeeButton"));
        add->setAutoDefault(false);
        connect(add, &QPushButton::clicked, this, [this] { openSheet(std::nullopt); });
        auto *emptyLayout = new QVBoxLayout(m_empty);
        emptyLayout->addStretch(1);
        emptyLayout->addWidget(icon);
        emptyLayout->addSpacing(4);
        emptyLayout->addWidget(title);
        emptyLayout->addWidget(description);
        emptyLayout->addSpacing(8);
        emptyLayout->addWidget(add, 0, Qt::AlignHCenter);
        emptyLayout->addStretch(1);
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 12);
    layout->setSpacing(12);
    layout->addWidget(header);
    layout->addWidget(m_notice);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_empty, 1);

    connect(m_model, &AppModel::settingsChanged, this, &EmployeesView::rebuildList);
    connect(m_model, &AppModel::notificationsChanged, this, &EmployeesView::rebuildList);
    rebuildList();
}

bool EmployeesView::needsListNotice(const KioskSettings &settings) {
    if (settings.employees.isEmpty())
        return false;
    return std::none_of(settings.fields.begin(), settings.fields.end(),
                        [](const KioskField &field) { return field.employeeList; });
}

void EmployeesView::rebuildList() {
    if (!m_model)
        return;
    const QStringList &employees = m_model->settings().employees;
    const QMap<QString, QString> &webhooks = m_model->notifications().employeeWebhooks;
    {
        QSignalBlocker block(m_list);
        m_list->clear();
        for (const QString &name : employees) {
            auto *item = new QListWidgetItem(name, m_list);
            // Delivery looks the host up by exactly this name, so only then does the bell show.
            const bool personal = !webhooks.value(name).isEmpty();
            item->setData(bellRole, personal);
            if (personal)
                item->setToolTip(QStringLiteral("Has a personal webhook"));
            if (name == m_selection) {
                item->setSelected(true);
                m_list->setCurrentItem(item);
            }
        }
    }
    // A selected name that left the list (renamed or removed elsewhere) is no longer
    // something Edit or Remove could act on.
    if (m_selection && !employees.contains(*m_selection))
        m_selection.reset();
    m_notice->setVisible(needsListNotice(m_model->settings()));
    m_list->setVisible(!employees.isEmpty());
    m_empty->setVisible(employees.isEmpty());
    updateActions();
}

void EmployeesView::setSelection(std::optional<QString> name) {
    if (name && m_model && !m_model->settings().employees.contains(*name))
        name.reset();
    m_selection = std::move(name);
    {
        QSignalBlocker block(m_list);
        for (int i = 0; i < m_list->count(); ++i) {
            QListWidgetItem *item = m_list->item(i);
            const bool selected = item->text() == m_selection;
            if (item->isSelected() != selected)
                item->setSelected(selected);
            if (selected)
                m_list->setCurrentItem(item);
        }
    }
    updateActions();
}

void EmployeesView::updateActions() {
    // One change at a time: each starts from the model's list, so a second one begun
    // before the first is saved would write the first one's name back.
    const bool idle = m_removals == 0;
    m_add->setEnabled(idle);
    m_edit->setEnabled(idle && m_selection.has_value());
    m_remove->setEnabled(idle && m_selection.has_value());
}

bool EmployeesView::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && m_selection) {
            openSheet(m_selection);
            return true;
        }
    }
    return SectionView::eventFilter(watched, event);
}

void EmployeesView::showContextMenu(const QPoint &position) {
    QListWidgetItem *item = m_list->itemAt(position);
    if (!item)
        return;
    const QString name = item->text();
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("employeeContextMenu"));
    QAction *edit = menu.addAction(QStringLiteral("Edit…"));
    QAction *remove = menu.addAction(QStringLiteral("Remove"));
    edit->setEnabled(m_removals == 0);
    remove->setEnabled(m_removals == 0);
    QAction *chosen = menu.exec(m_list->viewport()->mapToGlobal(position));
    if (chosen == edit)
        openSheet(name);
    else if (chosen == remove)
        this->remove(name);
}

void EmployeesView::openSheet(std::optional<QString> name) {
    if (m_sheet || m_removals > 0 || !m_model)
        return;
    m_editing = EmployeeEdit{QUuid::createUuid(), std::move(name)};
    m_sheet = new EmployeeSheet(m_model, *m_editing, this);
    m_sheet->setObjectName(QStringLiteral("employeeSheet"));
    connect(m_sheet, &QDialog::finished, this, [this, sheet = m_sheet] {
        if (m_sheet == sheet) {
            m_sheet = nullptr;
            m_editing.reset();
        }
        if (sheet)
            sheet->deleteLater();
        m_list->setFocus();
    });
    m_sheet->open();
}

void EmployeesView::remove(const QString &name) {
    if (m_removals > 0 || !m_model)
        return;
    runRemove(name);
}

QCoro::Task<> EmployeesView::runRemove(QString name) {
    QPointer<EmployeesView> self(this);
    QPointer<AppModel> model = m_model;
    ++m_removals;
    updateActions();
    std::optional<QString> failure;
    try {
        co_await model->saveEmployee(name, std::nullopt, QString());
    } catch (...) {
        failure = caughtErrorText();
    }
    if (!self)
        co_return;
    --m_removals;
    if (failure)
        setProblem(*failure);
    else
        setSelection(std::nullopt);
    updateActions();
}

void EmployeesView::setProblem(std::optional<QString> text) {
    setProblemAlert(m_alert, this, m_problem, std::move(text));
}
