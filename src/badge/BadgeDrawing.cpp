#include "badge/BadgeDrawing.h"

#include "badge/PageText.h"

#include <QPainter>
#include <QTextLayout>

namespace {

struct BadgeLayout {
    QColor headerColour;
    QRectF header;
    QRectF name;
    QRectF date;
    QRectF rules[4]; // top, left, bottom, right
};

BadgeLayout layoutFor(LabelStock stock) {
    if (stock == LabelStock::dk1234)
        return {Qt::black,
                {30, 40, 900, 200},
                {30, 250, 900, 350},
                {30, 590, 900, 100},
                {{0, 15, 945, 2}, {0, 15, 2, 645}, {0, 645, 945, 2}, {945, 15, 2, 645}}};
    return {Qt::red,
            {30, 30, 900, 300},
            {30, 220, 900, 350},
            {30, 550, 900, 100},
            {{0, 15, 997, 2}, {0, 15, 2, 615}, {0, 630, 997, 2}, {997, 15, 2, 615}}};
}

// Centred lines from the top of `rect`, wrapped at word boundaries (inside a word only
// when it is wider than the rectangle). Only lines that fit whole are drawn, and nothing
// leaves the rectangle.
void drawTextIn(QPainter &painter, const QRectF &rect, const QString &text, qreal size,
                const QColor &colour) {
    if (text.isEmpty())
        return;
    const QString lines = withLineSeparators(text);
    QTextLayout layout(lines, pageFont(qRound(size)));
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    const int visible = layoutFittingLines(layout, rect.width(), rect.height());

    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.setPen(colour);
    for (int i = 0; i < visible; ++i)
        layout.lineAt(i).draw(&painter, rect.topLeft());
    painter.restore();
}

} // namespace

QString badgeDateText(const QDateTime &moment, const QLocale &locale, const QTimeZone &zone) {
    // "Ap" keeps the locale's own AM/PM text, as the badge shows it.
    return locale.toString(moment.toTimeZone(zone), QStringLiteral("ddd, MMM d       hh:mm Ap"));
}

void drawBadge(QPainter &painter, const QString &name, LabelStock stock, const QDateTime &timestamp,
               const QLocale &locale, const QTimeZone &zone) {
    const BadgeLayout layout = layoutFor(stock);
    const QSizeF canvas = labelStockCanvasSize(stock);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.fillRect(QRectF(0, 0, canvas.width(), 650), Qt::white);

    // The name and date rectangles overlap; the name stops where the date line begins so
    // a long name can never run into it.
    QRectF nameRect = layout.name;
    nameRect.setBottom(std::min(nameRect.bottom(), layout.date.top()));
    drawTextIn(painter, nameRect, name, 100, Qt::black);
    drawTextIn(painter, layout.date, badgeDateText(timestamp, locale, zone), 40, Qt::black);
    drawTextIn(painter, layout.header, QStringLiteral("Visitor"), 120, layout.headerColour);

    for (const QRectF &rule : layout.rules)
        painter.fillRect(rule, layout.headerColour);
    painter.restore();
}

QRectF fitAndCentre(const QSizeF &size, const QRectF &area) {
    if (size.isEmpty() || area.isEmpty())
        return QRectF(area.center(), QSizeF(0, 0));
    const QSizeF fitted = size.scaled(area.size(), Qt::KeepAspectRatio);
    QRectF rect(QPointF(0, 0), fitted);
    rect.moveCenter(area.center());
    return rect;
}

BadgeView::BadgeView(QString name, LabelStock stock, QDateTime timestamp, QLocale locale,
                     QTimeZone zone)
    : m_name(std::move(name)), m_stock(stock), m_timestamp(std::move(timestamp)),
      m_locale(std::move(locale)), m_zone(std::move(zone)) {}

QRectF BadgeView::frame() const {
    return QRectF(QPointF(0, 0), labelStockPageSize(m_stock));
}

QRectF BadgeView::bounds() const {
    return QRectF(QPointF(0, 0), labelStockCanvasSize(m_stock));
}

void BadgeView::draw(QPainter &painter) const {
    drawBadge(painter, m_name, m_stock, m_timestamp, m_locale, m_zone);
}

void BadgeView::render(QPainter &painter, const QRectF &target) const {
    const QRectF canvas = bounds();
    painter.save();
    painter.translate(target.topLeft());
    painter.scale(target.width() / canvas.width(), target.height() / canvas.height());
    painter.setClipRect(canvas, Qt::IntersectClip);
    draw(painter);
    painter.restore();
}

QImage BadgeView::toImage(qreal scale) const {
    const QSizeF size = bounds().size() * scale;
    QImage image(size.toSize(), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    render(painter, QRectF(QPointF(0, 0), size));
    return image;
}
