#include "SettingsSection.h"

#include "Style.h"

#include <QFormLayout>
#include <QLabel>
#include <QPainter>
#include <QStyleOptionButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {
constexpr int trackWidth = 36;
constexpr int trackHeight = 20;
constexpr int textGap = 12;

// The box draws its own rounded fill so it follows the palette in light and dark themes.
class SectionBox : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor border = palette().color(QPalette::WindowText);
        border.setAlphaF(0.12);
        painter.setPen(border);
        painter.setBrush(Style::quaternaryFill(palette()));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    }
};
} // namespace

SettingsSection::SettingsSection(const QString &title, QWidget *parent) : QWidget(parent) {
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(6);
    if (!title.isEmpty()) {
        auto *heading = new QLabel(title, this);
        heading->setObjectName(QStringLiteral("sectionHeading"));
        Style::setText(heading, Style::Text::headline);
        m_layout->addWidget(heading);
    }
    m_box = new SectionBox(this);
    m_form = new QFormLayout(m_box);
    m_form->setContentsMargins(14, 12, 14, 12);
    m_form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    m_form->setVerticalSpacing(10);
    m_form->setHorizontalSpacing(16);
    m_layout->addWidget(m_box);
}

QLabel *SettingsSection::setFooter(const QString &text) {
    if (!m_footer) {
        m_footer = new QLabel(this);
        m_footer->setObjectName(QStringLiteral("sectionFooter"));
        m_footer->setWordWrap(true);
        m_footer->setContentsMargins(4, 0, 4, 0);
        Style::setText(m_footer, Style::Text::caption);
        Style::setSecondary(m_footer);
        m_layout->addWidget(m_footer);
    }
    m_footer->setText(text);
    return m_footer;
}

SettingsSwitch::SettingsSwitch(const QString &text, QWidget *parent) : QAbstractButton(parent) {
    setText(text);
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(text.isEmpty() ? QSizePolicy::Fixed : QSizePolicy::Expanding,
                  QSizePolicy::Fixed);
}

QSize SettingsSwitch::sizeHint() const {
    const int height = std::max(trackHeight + 4, fontMetrics().height() + 4);
    if (text().isEmpty())
        return {trackWidth + 4, height};
    return {fontMetrics().horizontalAdvance(text()) + textGap + trackWidth + 4, height};
}

QSize SettingsSwitch::minimumSizeHint() const {
    return sizeHint();
}

QRect SettingsSwitch::trackRect() const {
    return QRect(width() - trackWidth - 2, (height() - trackHeight) / 2, trackWidth, trackHeight);
}

void SettingsSwitch::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    if (!text().isEmpty()) {
        painter.setPen(palette().color(group, QPalette::WindowText));
        const QRect textArea(0, 0, width() - trackWidth - textGap, height());
        painter.drawText(textArea, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideRight, textArea.width()));
    }
    const QRectF track = trackRect();
    // A fixed switch keeps its colour, only fainter, so "on" still reads as on.
    QColor fill = isChecked() ? palette().color(QPalette::Active, QPalette::Highlight)
                              : Style::secondaryColor(palette());
    if (!isChecked())
        fill.setAlphaF(0.45);
    if (!isEnabled())
        fill.setAlphaF(fill.alphaF() * 0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, trackHeight / 2.0, trackHeight / 2.0);
    const qreal knob = trackHeight - 4;
    const qreal x = isChecked() ? track.right() - knob - 2 : track.left() + 2;
    painter.setBrush(isEnabled() ? QColor(Qt::white) : QColor(0xf0, 0xf0, 0xf0));
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    if (hasFocus()) {
        QPen focus(palette().color(QPalette::Highlight), 1.5);
        painter.setPen(focus);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-1.5, -1.5, 1.5, 1.5), trackHeight / 2.0 + 1.5,
                                trackHeight / 2.0 + 1.5);
    }
}

void showSettingsMessage(QLabel *label, const std::optional<QString> &text, bool isError) {
    label->setText(text.value_or(QString()));
    // A hidden row of a form gives back its spacing too.
    auto *form = label->parentWidget()
                     ? qobject_cast<QFormLayout *>(label->parentWidget()->layout())
                     : nullptr;
    int row = -1;
    if (form)
        form->getWidgetPosition(label, &row, nullptr);
    if (row >= 0)
        form->setRowVisible(row, text.has_value());
    else
        label->setVisible(text.has_value());
    Style::setForeground(label, isError ? Style::errorColor(label->palette())
                                        : Style::secondaryColor(label->parentWidget()
                                                                    ? label->parentWidget()->palette()
                                                                    : label->palette()));
}

QVBoxLayout *settingsTabLayout(QWidget *tab) {
    auto *layout = new QVBoxLayout(tab);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(18);
    return layout;
}
