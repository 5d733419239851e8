#pragma once

#include <QAbstractButton>
#include <QFrame>
#include <QWidget>
#include <optional>

class QFormLayout;
class QLabel;
class QVBoxLayout;

// One group of a settings tab: an optional title above a rounded box of rows, and an
// optional footer caption below it.
class SettingsSection : public QWidget {
    Q_OBJECT
public:
    explicit SettingsSection(const QString &title = QString(), QWidget *parent = nullptr);

    // The rows inside the box; labels on the left, controls on the right.
    QFormLayout *form() const { return m_form; }
    QWidget *box() const { return m_box; }
    // A caption in the secondary colour under the box.
    QLabel *setFooter(const QString &text);

private:
    QFrame *m_box;
    QFormLayout *m_form;
    QVBoxLayout *m_layout;
    QLabel *m_footer = nullptr;
};

// An on/off switch. With a text, the text sits at the leading edge and the switch at the
// trailing edge, the whole row toggling it.
class SettingsSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit SettingsSwitch(const QString &text = QString(), QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect trackRect() const;
};

// The one-line result of a tab's last action: errors red, other news in the secondary
// colour; hidden when there is none.
void showSettingsMessage(QLabel *label, const std::optional<QString> &text, bool isError);

// A tab's content laid out top to bottom with the spacing the tabs share.
QVBoxLayout *settingsTabLayout(QWidget *tab);
