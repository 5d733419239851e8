#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>

class QAbstractButton;
class QWidget;

// A window-modal box with one "OK", `title` in bold above `message`, wide enough for
// both. Deletes itself when closed.
QMessageBox *makeAlert(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                       const QString &message);
// The "Something went wrong" alert: a window-modal box with one "OK", the title in bold
// above the message, wide enough for both. Deletes itself when closed.
QMessageBox *makeErrorAlert(QWidget *parent, const QString &message);
// Sets the message of an alert made above and widens it to fit.
void setErrorAlertMessage(QMessageBox *alert, const QString &message);

// Red text on a button that destroys or ends something, so it cannot pass for the
// harmless choice beside it.
void markDestructive(QAbstractButton *button);

// A window-modal question with one destructive button (`confirmLabel`, named
// `confirmName`) and Cancel, the default. `confirmed` runs only when the person picks the
// destructive button. Deletes itself when closed; opened at once.
QMessageBox *askToConfirm(QWidget *parent, const QString &name, const QString &title,
                          const QString &question, const QString &detail,
                          const QString &confirmLabel, const QString &confirmName,
                          std::function<void()> confirmed);

// The "Something went wrong" alert with one "OK" button that a screen shows for a
// failed action. `alert` is the screen's one alert: created on first use, its text
// replaced while it is open. `dismissed` runs when the user closes it.
void showProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, const QString &text,
                      std::function<void()> dismissed);
// A screen's failure text and its alert kept together: `problem` becomes `text`, the alert
// shows it (or closes when there is none), and closing the alert clears `problem`.
void setProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, std::optional<QString> &problem,
                     std::optional<QString> text);
