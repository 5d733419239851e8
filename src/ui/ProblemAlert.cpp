#include "ProblemAlert.h"

#include "Style.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace {
const QString errorTitle = QStringLiteral("Something went wrong");
// Long messages wrap at this width rather than in a narrow column.
constexpr int widestMessage = 420;
constexpr int narrowestMessage = 300;
} // namespace

QMessageBox *makeAlert(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                       const QString &message) {
    auto *alert = new QMessageBox(icon, title, QString(), QMessageBox::Ok, parent);
    alert->setTextFormat(Qt::PlainText);
    alert->setText(title);
    if (auto *title = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_label")))
        Style::setText(title, Style::Text::headline);
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    setErrorAlertMessage(alert, message);
    return alert;
}

QMessageBox *makeErrorAlert(QWidget *parent, const QString &message) {
    return makeAlert(parent, QMessageBox::Warning, errorTitle, message);
}

void setErrorAlertMessage(QMessageBox *alert, const QString &message) {
    alert->setInformativeText(message);
    // QMessageBox sizes itself from its title alone; a wider message label lets the text
    // run on one line where it fits, and wrap evenly where it does not.
    auto *label = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
    if (!label)
        return;
    // Addresses and server messages are shown as written, never as markup.
    label->setTextFormat(Qt::PlainText);
    const QFontMetrics metrics(label->font());
    label->setMinimumWidth(
        std::clamp(metrics.horizontalAdvance(message) + 8, narrowestMessage, widestMessage));
}

void markDestructive(QAbstractButton *button) {
    Style::setForeground(button, Style::errorColor(button->palette()));
    QPalette p = button->palette();
    p.setColor(QPalette::ButtonText, Style::errorColor(p));
    button->setPalette(p);
}

QMessageBox *askToConfirm(QWidget *parent, const QString &name, const QString &title,
                          const QString &question, const QString &detail,
                          const QString &confirmLabel, const QString &confirmName,
                          std::function<void()> confirmed) {
    auto *box = new QMessageBox(parent);
    box->setObjectName(name);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(title);
    box->setText(question);
    box->setInformativeText(detail);
    QPushButton *confirm = box->addButton(confirmLabel, QMessageBox::DestructiveRole);
    confirm->setObjectName(confirmName);
    markDestructive(confirm);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, confirm, confirmed] {
        if (box->clickedButton() == confirm)
            confirmed();
    });
    box->open();
    return box;
}

void showProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, const QString &text,
                      std::function<void()> dismissed) {
    if (!alert) {
        alert = makeErrorAlert(parent, text);
        alert->setObjectName(QStringLiteral("actionErrorAlert"));
        QObject::connect(alert, &QMessageBox::finished, parent, std::move(dismissed));
    } else {
        setErrorAlertMessage(alert, text);
    }
    alert->open();
}

void setProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, std::optional<QString> &problem,
                     std::optional<QString> text) {
    problem = std::move(text);
    if (!problem) {
        if (alert)
            alert->close();
        return;
    }
    // `problem` belongs to `parent`, which outlives its alert.
    showProblemAlert(alert, parent, *problem, [&problem] { problem.reset(); });
}
