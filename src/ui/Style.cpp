#include "Style.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QTimerEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

QFont Style::font(Text style, const QFont &base) {
    QFont f = base;
    const qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : 10;
    auto scaled = [&](qreal factor) { f.setPointSizeF(size * factor); };
    switch (style) {
    case Text::largeTitle:
        scaled(2.0);
        f.setWeight(QFont::DemiBold);
        break;
    case Text::title:
        scaled(1.6);
        f.setWeight(QFont::DemiBold);
        break;
    case Text::title2:
        scaled(1.3);
        f.setWeight(QFont::DemiBold);
        break;
    case Text::headline:
        f.setWeight(QFont::DemiBold);
        break;
    case Text::body:
        break;
    case Text::callout:
        scaled(0.94);
        break;
    case Text::caption:
        scaled(0.85);
        break;
    }
    return f;
}

void Style::setText(QWidget *widget, Text style) {
    widget->setFont(font(style, QApplication::font(widget)));
}

bool Style::isDark(const QPalette &palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

static QColor blend(const QColor &a, const QColor &b, qreal t) {
    return QColor::fromRgbF(a.redF() * (1 - t) + b.redF() * t,
                            a.greenF() * (1 - t) + b.greenF() * t,
                            a.blueF() * (1 - t) + b.blueF() * t);
}

static qreal channel(qreal c) {
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

qreal Style::contrastRatio(const QColor &a, const QColor &b) {
    const auto luminance = [](const QColor &c) {
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const qreal la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor Style::tileBackground(const QPalette &palette) {
    const QColor fill = quaternaryFill(palette);
    return blend(palette.color(QPalette::Window), fill, fill.alphaF());
}

QColor Style::secondaryColor(const QPalette &palette) {
    // As faint as it can be while still readable (4.5:1) on the window, on lists and on
    // tiles, whatever the theme's colours.
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    const QList<QColor> grounds{window, palette.color(QPalette::Base), tileBackground(palette)};
    for (qreal t = 0.45; t > 0; t -= 0.025) {
        const QColor candidate = blend(text, window, t);
        if (std::all_of(grounds.begin(), grounds.end(), [&](const QColor &ground) {
                return contrastRatio(candidate, ground) >= minimumContrast;
            }))
            return candidate;
    }
    return text;
}

QColor Style::errorColor(const QPalette &palette) {
    return isDark(palette) ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc0, 0x1c, 0x28);
}

QColor Style::quaternaryFill(const QPalette &palette) {
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(isDark(palette) ? 0.10 : 0.06);
    return c;
}

void Style::setForeground(QWidget *widget, const QColor &color) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    widget->setPalette(p);
}

void Style::setSecondary(QWidget *widget) {
    setForeground(widget, secondaryColor(widget->palette()));
}

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    painter.drawText(area, int(alignment()) | Qt::TextSingleLine, shown);
}

BusyIndicator::BusyIndicator(QWidget *parent) : QWidget(parent) {
    setFixedSize(16, 16);
}

void BusyIndicator::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!m_timer)
        m_timer = startTimer(80);
}

void BusyIndicator::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    if (m_timer)
        killTimer(m_timer);
    m_timer = 0;
}

void BusyIndicator::timerEvent(QTimerEvent *event) {
    if (event->timerId() != m_timer)
        return QWidget::timerEvent(event);
    m_angle = (m_angle + 30) % 360;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(Style::secondaryColor(palette()), 2, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
    painter.drawArc(box, -m_angle * 16, 270 * 16);
}

SectionHeader::SectionHeader(const QString &title, QWidget *parent)
    : QWidget(parent), m_title(new QLabel(title, this)), m_subtitle(new QLabel(this)) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_title->setObjectName(QStringLiteral("sectionTitle"));
    m_subtitle->setObjectName(QStringLiteral("sectionSubtitle"));
    Style::setText(m_title, Style::Text::title);
    Style::setText(m_subtitle, Style::Text::callout);
    Style::setSecondary(m_subtitle);
    // Keeps the title still while there is no subtitle yet.
    m_subtitle->setMinimumHeight(m_subtitle->fontMetrics().height());
    layout->addWidget(m_title);
    layout->addWidget(m_subtitle);
}

void SectionHeader::setSubtitle(const QString &subtitle) {
    m_subtitle->setText(subtitle);
}

QString SectionHeader::subtitle() const {
    return m_subtitle->text();
}
