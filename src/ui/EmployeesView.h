#pragma once

#include "EmployeeSheet.h"
#include "SectionView.h"
#include "records/Records.h"

#include <QPointer>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class QAction;
class QListWidget;
class QListWidgetItem;
class QMessageBox;
class QWidget;

// The people visitors come to see: add, rename and remove them and give each a personal
// webhook. Warns when no sign-in field offers the list.
class EmployeesView : public SectionView {
    Q_OBJECT
public:
    explicit EmployeesView(AppModel *model, QWidget *parent = nullptr);

    QList<QAction *> toolbarActions() const override { return {m_add, m_edit, m_remove}; }
    const std::optional<QString> &selection() const { return m_selection; }
    void setSelection(std::optional<QString> name);
    // The sheet open for `editing`, if any.
    EmployeeSheet *sheet() const { return m_sheet; }
    const std::optional<QString> &problem() const { return m_problem; }
    bool isRemoving() const { return m_removals > 0; }

    // Whether the notice shows: employees exist and no field offers them.
    static bool needsListNotice(const KioskSettings &settings);

public slots:
    // Opens the sheet for `name`, or for adding when there is none.
    void openSheet(std::optional<QString> name);
    void remove(const QString &name);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QCoro::Task<> runRemove(QString name);
    void showContextMenu(const QPoint &position);
    void rebuildList();
    void updateActions();
    void setProblem(std::optional<QString> text);

    QPointer<AppModel> m_model;
    std::optional<QString> m_selection;
    std::optional<EmployeeEdit> m_editing;
    std::optional<QString> m_problem;
    int m_removals = 0;

    QAction *m_add;
    QAction *m_edit;
    QAction *m_remove;
    QWidget *m_notice;
    QWidget *m_empty;
    QListWidget *m_list;
    QPointer<EmployeeSheet> m_sheet;
    QPointer<QMessageBox> m_alert;
};
