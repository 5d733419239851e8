#include "TestDriver.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTabBar>
#include <QTextDocument>
#include <QToolBar>
#include <QWindow>
#include <functional>

std::optional<CloudClient::Config> TestHooks::serversFromEnvironment() {
    const QString backend = qEnvironmentVariable("GREETWELL_TEST_BACKEND_URL");
    if (backend.isEmpty())
        return std::nullopt;
    CloudClient::Config config = CloudClient::Config::fromBuild();
    config.backendBaseURL = QUrl(backend);
    config.websiteBaseURL = QUrl(qEnvironmentVariable("GREETWELL_TEST_WEBSITE_URL", backend));
    config.publishableKey = qEnvironmentVariable("GREETWELL_TEST_API_KEY", config.publishableKey);
    return config;
}

void TestHooks::trustTestCertificates() {
    const QString file = qEnvironmentVariable("GREETWELL_TEST_CA_FILE");
    if (file.isEmpty())
        return;
    QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
    trusted.addCaCertificates(QSslCertificate::fromPath(file, QSsl::Pem));
    QSslConfiguration::setDefaultConfiguration(trusted);
}

namespace {
// One thing on the screen a person could point at.
struct Target {
    QWidget *window = nullptr;
    QWidget *widget = nullptr; // the widget it is, or is part of
    QString kind;              // widget, action, tab, item
    QString className;
    QString name;
    QStringList labels; // what a person reads on it or a screen reader announces
    QString value;      // what was typed or chosen in it
    bool enabled = true;
    bool checked = false;
    bool focused = false;
    bool masked = false;         // a password field: what it holds is not told
    std::function<QRect()> rect; // global, after scrolling it into view
};

QString withoutMnemonics(QString text) {
    // "&&" is a literal ampersand; a single "&" marks the access key.
    text.replace(QLatin1String("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text;
}

QString plainLabelText(const QLabel *label) {
    if (Qt::mightBeRichText(label->text()) && label->textFormat() != Qt::PlainText) {
        QTextDocument document;
        document.setHtml(label->text());
        return document.toPlainText();
    }
    return label->text();
}

QRect globalRect(const QWidget *widget, const QRect &local) {
    return QRect(widget->mapToGlobal(local.topLeft()), local.size());
}

// Scrolls every scroll area around `widget` so that it is in view.
void reveal(QWidget *widget) {
    for (QWidget *up = widget->parentWidget(); up; up = up->parentWidget()) {
        if (auto *area = qobject_cast<QScrollArea *>(up))
            area->ensureWidgetVisible(widget, 4, 4);
    }
}

Target widgetTarget(QWidget *window, QWidget *widget) {
    Target target;
    target.window = window;
    target.widget = widget;
    target.kind = QStringLiteral("widget");
    target.className = QString::fromLatin1(widget->metaObject()->className());
    target.name = widget->objectName();
    target.enabled = widget->isEnabled();
    target.focused = widget->hasFocus();
    if (!widget->accessibleName().isEmpty())
        target.labels << widget->accessibleName();
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        target.labels << withoutMnemonics(button->text());
        target.checked = button->isChecked();
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        // Only a label for another widget has an access key; others show "&" as typed.
        target.labels << (label->buddy() ? withoutMnemonics(plainLabelText(label))
                                         : plainLabelText(label));
    } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        target.labels << edit->placeholderText();
        // A password shows as dots to a person; the driver does not read it either.
        target.masked = edit->echoMode() != QLineEdit::Normal;
        target.value = target.masked ? QString() : edit->text();
    } else if (auto *text = qobject_cast<QPlainTextEdit *>(widget)) {
        target.labels << text->placeholderText();
        target.value = text->toPlainText();
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        target.value = combo->currentText();
    } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
        target.labels << withoutMnemonics(group->title());
        target.checked = group->isChecked();
    }
    target.labels.removeAll(QString());
    target.rect = [widget] {
        reveal(widget);
        return globalRect(widget, widget->rect());
    };
    return target;
}

// Everything shown in `window`, in creation order: widgets, then the actions of its
// menus and menu bar, the tabs of its tab bars and the rows of its lists.
void collect(QWidget *window, const std::function<bool(const Target &)> &visit) {
    QList<QWidget *> widgets{window};
    widgets += window->findChildren<QWidget *>();
    for (QWidget *widget : std::as_const(widgets)) {
        if (!widget->isVisible())
            continue;
        if (visit(widgetTarget(window, widget)))
            return;
        QList<QAction *> actions;
        std::function<QRect(QAction *)> actionRect;
        if (auto *menu = qobject_cast<QMenu *>(widget)) {
            actions = menu->actions();
            actionRect = [menu](QAction *a) { return globalRect(menu, menu->actionGeometry(a)); };
        } else if (auto *bar = qobject_cast<QMenuBar *>(widget)) {
            actions = bar->actions();
            actionRect = [bar](QAction *a) { return globalRect(bar, bar->actionGeometry(a)); };
        }
        for (QAction *action : std::as_const(actions)) {
            if (!action->isVisible() || action->isSeparator())
                continue;
            Target target;
            target.window = window;
            target.widget = widget;
            target.kind = QStringLiteral("action");
            target.className = QStringLiteral("QAction");
            target.name = action->objectName();
            target.labels << withoutMnemonics(action->text());
            target.enabled = action->isEnabled();
            target.checked = action->isChecked();
            target.rect = [actionRect, action] { return actionRect(action); };
            if (visit(target))
                return;
        }
        if (auto *tabs = qobject_cast<QTabBar *>(widget)) {
            for (int i = 0; i < tabs->count(); ++i) {
                Target target = widgetTarget(window, tabs);
                target.kind = QStringLiteral("tab");
                target.labels = {withoutMnemonics(tabs->tabText(i))};
                target.enabled = tabs->isTabEnabled(i);
                target.checked = tabs->currentIndex() == i;
                target.rect = [tabs, i] { return globalRect(tabs, tabs->tabRect(i)); };
                if (visit(target))
                    return;
            }
        }
        if (auto *view = qobject_cast<QAbstractItemView *>(widget); view && view->model()) {
            QAbstractItemModel *model = view->model();
            const QModelIndex root = view->rootIndex();
            for (int row = 0; row < model->rowCount(root); ++row) {
                for (int column = 0; column < model->columnCount(root); ++column) {
                    const QModelIndex index = model->index(row, column, root);
                    const QString text = index.data(Qt::DisplayRole).toString();
                    if (text.isEmpty())
                        continue;
                    Target target = widgetTarget(window, view);
                    target.kind = QStringLiteral("item");
                    target.labels = {text};
                    target.value.clear();
                    target.checked =
                        view->selectionModel() && view->selectionModel()->isSelected(index);
                    target.rect = [view, index] {
                        view->scrollTo(index);
                        return globalRect(view->viewport(), view->visualRect(index));
                    };
                    if (visit(target))
                        return;
                }
            }
        }
    }
}

// Shown windows, the ones a person deals with first in front: an open menu, then a
// modal sheet, then the active window, then the rest.
QList<QWidget *> shownWindows() {
    QList<QWidget *> windows;
    for (QWidget *first : {QApplication::activePopupWidget(), QApplication::activeModalWidget(),
                           QApplication::activeWindow()}) {
        if (first && first->isVisible() && !windows.contains(first))
            windows << first;
    }
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && !windows.contains(window))
            windows << window;
    }
    return windows;
}

QString windowName(const QWidget *window) {
    return window->objectName().isEmpty() ? window->windowTitle() : window->objectName();
}

QJsonArray rectJson(const QRect &rect) {
    return {rect.x(), rect.y(), rect.width(), rect.height()};
}
} // namespace

TestDriver::TestDriver(QObject *parent) : QObject(parent) {}

bool TestDriver::listen() {
    const QString name = qEnvironmentVariable("GREETWELL_TEST_DRIVER");
    if (name.isEmpty())
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(name);
    if (!m_server->listen(name))
        return false;
    connect(m_server, &QLocalServer::newConnection, this, &TestDriver::accept);
    return true;
}

void TestDriver::accept() {
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
    }
}

void TestDriver::read(QLocalSocket *socket) {
    while (socket->canReadLine()) {
        QJsonParseError error;
        const QJsonDocument request = QJsonDocument::fromJson(socket->readLine(), &error);
        const QJsonObject reply = request.isObject()
                                      ? answer(request.object())
                                      : QJsonObject{{"ok", false}, {"error", error.errorString()}};
        socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
    }
}

QJsonObject TestDriver::answer(const QJsonObject &request) const {
    const QString op = request.value("op").toString();
    if (op == u"ping")
        return {{"ok", true}, {"pid", qint64(QCoreApplication::applicationPid())}};
    if (op == u"find")
        return find(request);
    if (op == u"texts")
        return texts();
    return {{"ok", false}, {"error", "unknown op " + op}};
}

QJsonObject TestDriver::find(const QJsonObject &query) const {
    const QString name = query.value("name").toString();
    const QString text = query.value("text").toString();
    const QString value = query.value("value").toString();
    const QString className = query.value("class").toString();
    const QString window = query.value("window").toString();
    const QString within = query.value("within").toString();
    const auto isWithin = [&within](const QWidget *widget) {
        for (; widget; widget = widget->parentWidget()) {
            if (widget->objectName() == within)
                return true;
        }
        return false;
    };
    int skip = query.value("index").toInt(0);
    std::optional<Target> found;
    for (QWidget *top : shownWindows()) {
        if (!window.isEmpty() && window != windowName(top))
            continue;
        collect(top, [&](const Target &target) {
            if ((!name.isEmpty() && target.name != name) ||
                (!text.isEmpty() && !target.labels.contains(text)) ||
                (query.contains("value") && target.value != value) ||
                (!className.isEmpty() && target.className != className &&
                 target.kind != className) ||
                (!within.isEmpty() && !isWithin(target.widget)))
                return false;
            if (skip-- > 0)
                return false;
            found = target;
            return true;
        });
        if (found)
            break;
    }
    if (!found)
        return {{"ok", true}, {"found", false}};
    // Also where it is inside its own X window: the window manager may still be moving a
    // window just shown, and the X server knows where it really is.
    const QRect global = found->rect();
    QWidget *own = found->widget->window();
    const QRect local(own->mapFromGlobal(global.topLeft()), global.size());
    const QWindow *handle = own->windowHandle();
    return {{"ok", true},
            {"windowId", QString::number(own->winId())},
            {"exposed", handle && handle->isExposed()},
            {"local", rectJson(local)},
            {"found", true},
            {"window", windowName(found->window)},
            {"kind", found->kind},
            {"class", found->className},
            {"name", found->name},
            {"labels", QJsonArray::fromStringList(found->labels)},
            {"value", found->value},
            {"enabled", found->enabled},
            {"checked", found->checked},
            {"focused", found->focused},
            {"masked", found->masked},
            {"rect", rectJson(global)}};
}

QJsonObject TestDriver::texts() const {
    QJsonArray windows;
    for (QWidget *top : shownWindows()) {
        QStringList seen;
        collect(top, [&](const Target &target) {
            QString line = target.labels.join(QStringLiteral(" / "));
            if (!target.value.isEmpty())
                line += QStringLiteral(" [") + target.value + QLatin1Char(']');
            if (!line.isEmpty() && !target.enabled)
                line += QStringLiteral(" (disabled)");
            if (!line.isEmpty() && (seen.isEmpty() || seen.last() != line))
                seen << line;
            return seen.size() >= 300;
        });
        windows.append(QJsonObject{{"window", windowName(top)},
                                   {"title", top->windowTitle()},
                                   {"rect", rectJson(top->frameGeometry())},
                                   {"texts", QJsonArray::fromStringList(seen)}});
    }
    const QWidget *focus = QApplication::focusWidget();
    return {{"ok", true},
            {"windows", windows},
            {"focus", focus ? focus->objectName() + QStringLiteral(" (") +
                                  QString::fromLatin1(focus->metaObject()->className()) +
                                  QLatin1Char(')')
                            : QString()}};
}
