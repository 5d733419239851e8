#pragma once

#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <QUuid>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class BusyIndicator;
class QLabel;
class QLineEdit;
class QPushButton;

// One opening of the employee sheet: a fresh id each time, and the name being edited
// (none when adding).
struct EmployeeEdit {
    QUuid id = QUuid::createUuid();
    std::optional<QString> original;
};

// Adds an employee or edits one: the name and an optional personal webhook. Saving goes
// through the model, which moves the webhook along with a renamed employee. A failed
// save leaves the sheet open with what was typed and the error under the form.
class EmployeeSheet : public QDialog {
    Q_OBJECT
public:
    EmployeeSheet(AppModel *model, EmployeeEdit edit, QWidget *parent = nullptr);

    const EmployeeEdit &edit() const { return m_edit; }
    QString name() const;
    QString webhook() const;
    bool isSaving() const { return m_isSaving; }
    const std::optional<QString> &message() const { return m_message; }

    // Empty after trimming, or an address delivery would accept.
    static bool isAcceptableWebhook(const QString &text);
    bool canSave() const;
    // The employee other than `original` whose name equals the typed one but for
    // letter case and surrounding spaces.
    static std::optional<QString> clashingName(const QStringList &employees,
                                               const std::optional<QString> &original,
                                               const QString &typed);

public slots:
    void save();

private:
    QCoro::Task<> runSave(std::optional<QString> original, QString name, QString webhook);
    void updateControls();
    void setMessage(std::optional<QString> text);
    void fitHeight();

    QPointer<AppModel> m_model;
    const EmployeeEdit m_edit;
    bool m_isSaving = false;
    std::optional<QString> m_message;

    QLineEdit *m_name;
    QLineEdit *m_webhook;
    QLabel *m_webhookProblem;
    QLabel *m_messageLabel;
    BusyIndicator *m_busy;
    QPushButton *m_save;
};
