#pragma once

#include "records/Records.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <qcoro/qcorotask.h>

class AppModel;
class QFormLayout;
class QPushButton;
class QVBoxLayout;

// The inspector beside the visitor log: who the visitor is and what they answered, when
// they came and left, and the two things staff do from here (reprint the badge, sign out
// a visitor still on site). Failures go to `onError`.
class VisitorDetail : public QWidget {
    Q_OBJECT
public:
    VisitorDetail(AppModel *model, std::function<void(const QString &)> onError,
                  QWidget *parent = nullptr);

    const VisitorRow &row() const { return m_row; }
    void setRow(const VisitorRow &row);

public slots:
    void printBadge();
    void signOut();

private:
    QCoro::Task<> runSignOut(VisitorRow row);
    void addRow(QFormLayout *form, const QString &label, const QString &value,
                const QString &name = {});
    void rebuild();

    QPointer<AppModel> m_model;
    std::function<void(const QString &)> m_onError;
    VisitorRow m_row;
    bool m_isSigningOut = false;

    QVBoxLayout *m_sections;
    QPushButton *m_print;
    QPushButton *m_signOut;
};
