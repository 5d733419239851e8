#pragma once

#include "SectionView.h"
#include "records/Records.h"

#include <QFrame>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <optional>
#include <qcoro/qcorotask.h>

class AppModel;
class ElidedLabel;
class EmptyStatePanel;
class QLabel;
class QMessageBox;
class QPushButton;
class QToolButton;
class RowList;
class SectionHeader;

// One of the three counters at the top of Today.
class StatTile : public QFrame {
    Q_OBJECT
public:
    StatTile(const QString &title, QWidget *parent = nullptr);
    void setValue(qint64 value, const QLocale &locale);
    QString valueText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_value;
};

// A visitor on site: name, when they came in, whom they visit and from which device,
// with reprint and sign-out buttons. The screen carries out both actions.
class OnSiteRow : public QWidget {
    Q_OBJECT
public:
    OnSiteRow(const VisitorRow &row, const Clock &clock, QWidget *parent = nullptr);
    void setRow(const VisitorRow &row, const Clock &clock);
    const VisitorRow &row() const { return m_row; }
    void setSigningOut(bool busy);
    // Marks a visitor signed in here whose sign-in the backend has not confirmed yet.
    void setUnsynced(bool unsynced);
    // "In at 9:30 AM · Visiting Dana · Front Desk", each part only when it has a value.
    static QString detailText(const VisitorRow &row, const Clock &clock);

signals:
    void printRequested(const VisitorRow &row);
    void signOutRequested(const VisitorRow &row);

private:
    VisitorRow m_row;
    QLabel *m_name;
    QLabel *m_unsynced;
    ElidedLabel *m_detail;
    QToolButton *m_print;
    QPushButton *m_signOut;
};

// The desk's default section: today's counters, who is on site, reprinting a badge,
// signing one visitor or everyone out.
class TodayView : public SectionView {
    Q_OBJECT
public:
    explicit TodayView(AppModel *model, QWidget *parent = nullptr);

    QList<QAction *> toolbarActions() const override { return {m_rollCall, m_signOutEveryone}; }
    const std::optional<QString> &actionError() const { return m_actionError; }

    static QString everyoneFailedText(int failures);

public slots:
    void confirmSignOutEveryone();

private:
    void updateCounts();
    void updateOnSite();
    void updateSubtitle();
    void updateActions();
    void setActionError(std::optional<QString> text);
    void printBadge(const VisitorRow &row);
    QCoro::Task<> signOut(VisitorRow row);
    QCoro::Task<> signOutEveryone();

    QPointer<AppModel> m_model;
    std::optional<QString> m_actionError;
    bool m_isSigningOutEveryone = false;
    QSet<QUuid> m_signingOut;

    QAction *m_signOutEveryone;
    QAction *m_rollCall;
    SectionHeader *m_header;
    StatTile *m_todayTile;
    StatTile *m_onSiteTile;
    StatTile *m_weekTile;
    RowList *m_list;
    QHash<QUuid, OnSiteRow *> m_rows;
    EmptyStatePanel *m_empty;
    QPointer<QMessageBox> m_confirmation;
    QPointer<QMessageBox> m_alert;
};
