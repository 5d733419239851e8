#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <optional>

class QWidget;

// The screens' "Something went wrong" alert for a screen's one optional message: shows
// `problem` in `alert` (opening a window-modal alert over `owner` when none is open) or
// closes it when there is none. Dismissing the alert clears `problem`, which must live
// as long as `owner`.
void syncProblemAlert(QWidget *owner, QPointer<QMessageBox> &alert, const QString &objectName,
                      std::optional<QString> &problem);
