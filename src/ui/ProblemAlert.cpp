#include "ProblemAlert.h"

void syncProblemAlert(QWidget *owner, QPointer<QMessageBox> &alert, const QString &objectName,
                      std::optional<QString> &problem) {
    if (!problem) {
        if (alert)
            alert->close();
        return;
    }
    if (!alert) {
        alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Something went wrong"),
                                QStringLiteral("Something went wrong"), QMessageBox::Ok, owner);
        alert->setObjectName(objectName);
        alert->setWindowModality(Qt::WindowModal);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(alert, &QMessageBox::finished, owner, [&problem] { problem.reset(); });
    }
    alert->setInformativeText(*problem);
    alert->open();
}
