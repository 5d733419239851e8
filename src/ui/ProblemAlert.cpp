#include "ProblemAlert.h"

#include "Style.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>

namespace {
const QString errorTitle = QStringLiteral("Something went wrong");
// Long messages wrap at this width rather than in a narrow column.
constexpr int widestMessage = 420;
constexpr int narrowestMessage = 300;
} // namespace

QMessageBox *makeErrorAlert(QWidget *parent, const QString &message) {
    auto *alert =
        new QMessageBox(QMessageBox::Warning, errorTitle, QString(), QMessageBox::Ok, parent);
    alert->setTextFormat(Qt::PlainText);
    alert->setText(errorTitle);
    if (auto *title = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_label")))
        Style::setText(title, Style::Text::headline);
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    setErrorAlertMessage(alert, message);
    return alert;
}

void setErrorAlertMessage(QMessageBox *alert, const QString &message) {
    alert->setInformativeText(message);
    // QMessageBox sizes itself from its title alone; a wider message label lets the text
    // run on one line where it fits, and wrap evenly where it does not.
    auto *label = alert->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
    if (!label)
        return;
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
