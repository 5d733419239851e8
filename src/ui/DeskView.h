#pragma once

#include "DeskSection.h"
#include "SectionView.h"
#include "records/Records.h"

#include <QListWidget>
#include <QPointer>
#include <QWidget>
#include <optional>

class AppModel;
class QAction;
class QDialog;
class QLabel;
class QSettings;
class QToolBar;
class SectionView;
class SignInVisitorSheet;

// The sidebar list: label and icon per section, or the icon alone, centred, with the
// label as its tooltip while collapsed.
class DeskSidebar : public QListWidget {
    Q_OBJECT
public:
    static constexpr int expandedWidth = 190;
    static constexpr int collapsedWidth = 80;

    explicit DeskSidebar(QWidget *parent = nullptr);
    void setCollapsed(bool collapsed);
    bool isCollapsed() const { return m_collapsed; }

private:
    bool m_collapsed = false;
};

// The model's error text on a yellow strip along the bottom of the desk; hidden while
// there is none.
class ErrorBanner : public QWidget {
    Q_OBJECT
public:
    explicit ErrorBanner(QWidget *parent = nullptr);
    void setText(const QString &text);
    QString text() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_text;
};

// The signed-in desk: toolbar, section sidebar, the selected section, the error banner,
// and the sheets opened over it (sign in a visitor, sign in an invite, new invite).
class DeskView : public QWidget {
    Q_OBJECT
public:
    DeskView(AppModel *model, QSettings *preferences, QWidget *parent = nullptr);
    ~DeskView() override;

    static constexpr const char *collapsedKey = "sidebarIsCollapsed";

    std::optional<DeskSection> section() const { return m_section; }
    void setSection(std::optional<DeskSection> section);
    bool isSidebarCollapsed() const { return m_sidebarIsCollapsed; }
    void setSidebarCollapsed(bool collapsed);
    SectionView *currentSectionView() const { return m_current; }
    const std::optional<Invite> &signingInInvite() const { return m_signingInInvite; }

signals:
    // The screen in the detail column changed (today also stands for no selection).
    void sectionShown(DeskSection shown);
    void sidebarCollapsedChanged(bool collapsed);

public slots:
    void toggleSidebar();
    // Opens the sign-in sheet for this invite (the Invites screen's sign-in action).
    void signInInvite(const Invite &invite);

private:
    SectionView *makeSectionView(DeskSection section);
    QDialog *makeNewInviteSheet();
    void syncSigningInSheet();
    void syncInviteSheet();
    void syncNewInviteSheet();
    void updateCollapseAction();
    void updateBanner();

    QPointer<AppModel> m_model;
    QSettings *m_preferences;
    std::optional<DeskSection> m_section;
    std::optional<Invite> m_signingInInvite;
    bool m_sidebarIsCollapsed = false;

    QToolBar *m_toolbar;
    QAction *m_collapseAction;
    QAction *m_sectionActionsEnd;
    QAction *m_signInAction;
    QList<QAction *> m_sectionActions;
    DeskSidebar *m_sidebar;
    QWidget *m_detail;
    QPointer<SectionView> m_current;
    ErrorBanner *m_banner;
    QPointer<SignInVisitorSheet> m_signInSheet;
    QPointer<SignInVisitorSheet> m_inviteSheet;
    QPointer<QDialog> m_newInviteSheet;
};
