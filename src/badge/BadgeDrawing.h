#pragma once

// Drawing one visitor badge: the word "Visitor", the name in large type, the sign-in time
// and a thin frame, laid out in the label stock's canvas (see LabelStock.h).

#include "badge/LabelStock.h"

#include <QDateTime>
#include <QImage>
#include <QLocale>
#include <QRectF>
#include <QString>
#include <QTimeZone>

class QPainter;

// The badge's time line: "EE, MMM d", seven spaces, "hh:mm a" in the locale's words,
// e.g. "Sat, Dec 5       03:55 PM".
QString badgeDateText(const QDateTime &moment, const QLocale &locale = QLocale(),
                      const QTimeZone &zone = QTimeZone::systemTimeZone());

// Draws the whole badge into `painter`, whose coordinates are the stock's canvas (origin
// top-left, y down). The name is drawn as given.
void drawBadge(QPainter &painter, const QString &name, LabelStock stock, const QDateTime &timestamp,
               const QLocale &locale = QLocale(),
               const QTimeZone &zone = QTimeZone::systemTimeZone());

// `size` scaled evenly to fit inside `area` and centred in it.
QRectF fitAndCentre(const QSizeF &size, const QRectF &area);

// One badge as a page: its frame is the stock's page in points, its bounds the stock's
// canvas, and rendering maps the bounds onto a target rectangle with separate horizontal
// and vertical factors (on DK-1234 the drawing narrows by about 2 %).
class BadgeView {
public:
    BadgeView(QString name, LabelStock stock, QDateTime timestamp, QLocale locale = QLocale(),
              QTimeZone zone = QTimeZone::systemTimeZone());

    const QString &name() const { return m_name; }
    LabelStock stock() const { return m_stock; }
    const QDateTime &timestamp() const { return m_timestamp; }

    // The page rectangle at the origin, in points.
    QRectF frame() const;
    // The canvas rectangle at the origin, in canvas units.
    QRectF bounds() const;

    // Draws in canvas coordinates.
    void draw(QPainter &painter) const;
    // Draws the badge stretched onto `target` (in the painter's current coordinates).
    void render(QPainter &painter, const QRectF &target) const;
    // The badge as an opaque image of the canvas size times `scale` (the settings preview).
    QImage toImage(qreal scale = 1.0) const;

private:
    QString m_name;
    LabelStock m_stock;
    QDateTime m_timestamp;
    QLocale m_locale;
    QTimeZone m_zone;
};
