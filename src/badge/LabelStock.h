#pragma once

// The two Brother DK label rolls a badge can be printed on, and the geometry of each:
// the canvas the badge is drawn in (abstract units) and the printed page (points).

#include <QList>
#include <QMetaType>
#include <QSizeF>
#include <QString>

enum class LabelStock { dk2205, dk1234 };

// In the order the settings offer them.
QList<LabelStock> allLabelStocks();
// "dk2205" or "dk1234": what the preferences store.
QString labelStockRawValue(LabelStock stock);
// Anything other than exactly "dk1234" reads as dk2205.
LabelStock labelStockFromRaw(const QString &raw);
// "DK-2205", "DK-1234".
QString labelStockCode(LabelStock stock);
// The roll's description, e.g. "2.3 in x 3.4 in (60 mm x 86 mm) Adhesive Name Badge".
QString labelStockDetail(LabelStock stock);
// Code and description as the settings list them: "DK-1234: 2.3 in x 3.4 in (...)".
QString labelStockTitle(LabelStock stock);

// The drawing space of a badge: 1000 x 650 units on DK-2205, 950 x 650 on DK-1234.
QSizeF labelStockCanvasSize(LabelStock stock);
// The landscape page in points: 95.38 mm x 62 mm on DK-2205, 86 mm x 60 mm on DK-1234.
QSizeF labelStockPageSize(LabelStock stock);

Q_DECLARE_METATYPE(LabelStock)
