#pragma once

#include "FormSheet.h"
#include "records/Records.h"

#include <QPointer>
#include <optional>
#include <qcoro/qcorotask.h>

class AnswerField;
class AppModel;
class QComboBox;
class QLabel;
class QWidget;

// The form through which the desk signs a visitor in, either as a walk-in or from an
// invite. Offers the invites still waiting as a starting point, checks the answers and
// signs the visitor in; a badge that fails to print leaves the sheet open with a note.
class SignInVisitorSheet : public FormSheet {
    Q_OBJECT
public:
    SignInVisitorSheet(AppModel *model, std::optional<Invite> invite, QWidget *parent = nullptr);

    const std::optional<Invite> &invite() const { return m_invite; }
    const VisitorDraft &draft() const { return m_draft; }
    const QList<Invite> &expected() const { return m_expected; }
    bool isSaving() const { return m_isSaving; }

    // Waiting invites in the order given, with `current` in front when it is missing.
    static QList<Invite> expectedInvites(const QList<Invite> &fetched,
                                         const std::optional<Invite> &current, const Clock &clock);

public slots:
    void submit();
    // Another choice in the "Expected" picker: the draft starts over from it.
    void chooseInvite(std::optional<Invite> invite);

signals:
    // The expected-visitor list has arrived (or failed to, leaving it empty).
    void expectedLoaded();

private:
    QCoro::Task<> loadExpected();
    QCoro::Task<> runSignIn(VisitorDraft draft, std::optional<Invite> invite);
    void rebuildFields();
    void rebuildPicker();
    void showDraft();
    void setSaving(bool saving);
    void updateBadgeNote();
    // The field for `slot`, or the first field.
    void focusField(std::optional<qint64> slot);

    std::optional<Invite> m_invite;
    VisitorDraft m_draft;
    QList<Invite> m_expected;
    bool m_isSaving = false;

    QLabel *m_pickerLabel;
    QComboBox *m_picker;
    QList<AnswerField *> m_fields;
    QWidget *m_badgeNote;
};
