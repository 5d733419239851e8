#include "ProblemAlert.h"

#include <QMessageBox>

void showProblemAlert(QPointer<QMessageBox> &alert, QWidget *parent, const QString &text,
                      std::function<void()> dismissed) {
    if (!alert) {
        alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Something went wrong"),
                                QStringLiteral("Something went wrong"), QMessageBox::Ok, parent);
        alert->setObjectName(QStringLiteral("actionErrorAlert"));
        alert->setWindowModality(Qt::WindowModal);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(alert, &QMessageBox::finished, parent, std::move(dismissed));
    }
    alert->setInformativeText(text);
    alert->open();
}
