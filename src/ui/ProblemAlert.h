#pragma once

#include <QPointer>
#include <QString>
#include <functional>

class QAbstractButton;
class QMessageBox;
class QWidget;

// The "Something went wrong" alert: a window-modal box with one "OK", the title in bold
// above the message, wide enough for both. Deletes itself when closed.
QMessageBox *makeErrorAlert(QWidget *parent, const QString &message);
// Sets the message of an alert made above and widens it to fit.
void setErrorAlertMessage(QMessageBox *alert, const QString &message);

// Red text on a button that destroys or ends something, so it cannot pass for the
// harmless choice beside it.
void markDestructive(QAbstractButton *button);

// The "Something went wrong" alert with one "OK" button that a screen shows for a
// failed action. `alert` is the screen's one alert: created on first use, its text
// replaced while it is open. `dismissed` runs when the user closes it.
void showProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, const QString &text,
                      std::function<void()> dismissed);
