#pragma once

#include <QPointer>
#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

// The "Something went wrong" alert with one "OK" button that a screen shows for a
// failed action. `alert` is the screen's one alert: created on first use, its text
// replaced while it is open. `dismissed` runs when the user closes it.
void showProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, const QString &text,
                      std::function<void()> dismissed);
