#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QWidget>

class QAbstractButton;

// The handful of text styles and colours the screens share, derived from the desktop's
// own font and palette so the desk follows the user's size and theme.
namespace Style {
enum class Text { largeTitle, title, title2, headline, body, callout, caption };

QFont font(Text style, const QFont &base = QFont());
void setText(QWidget *widget, Text style);

// Secondary text: the window text blended towards the background, never below
// `minimumContrast` against the window, lists or tiles.
QColor secondaryColor(const QPalette &palette);
constexpr qreal minimumContrast = 4.6; // WCAG AA asks 4.5:1; a little room for rounding
qreal contrastRatio(const QColor &a, const QColor &b);
// What a tile's faint fill gives over the window.
QColor tileBackground(const QPalette &palette);
QColor errorColor(const QPalette &palette);
void setSecondary(QWidget *widget);
void setForeground(QWidget *widget, const QColor &color);
// A faint fill for tiles and grouped content.
QColor quaternaryFill(const QPalette &palette);
bool isDark(const QPalette &palette);
} // namespace Style

// A one-line label that ends in "…" when the text does not fit.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The small spinning indicator shown while a request runs.
class BusyIndicator : public QWidget {
    Q_OBJECT
public:
    explicit BusyIndicator(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    int m_timer = 0;
    int m_angle = 0;
};

// Title and secondary subtitle line at the top of each desk section.
class SectionHeader : public QWidget {
    Q_OBJECT
public:
    explicit SectionHeader(const QString &title, QWidget *parent = nullptr);
    void setSubtitle(const QString &subtitle);
    QString subtitle() const;

private:
    QLabel *m_title;
    QLabel *m_subtitle;
};
