#include "badge/LabelStock.h"

QList<LabelStock> allLabelStocks() {
    return {LabelStock::dk2205, LabelStock::dk1234};
}

QString labelStockRawValue(LabelStock stock) {
    return stock == LabelStock::dk1234 ? QStringLiteral("dk1234") : QStringLiteral("dk2205");
}

LabelStock labelStockFromRaw(const QString &raw) {
    return raw == QLatin1String("dk1234") ? LabelStock::dk1234 : LabelStock::dk2205;
}

QString labelStockCode(LabelStock stock) {
    return stock == LabelStock::dk1234 ? QStringLiteral("DK-1234") : QStringLiteral("DK-2205");
}

QString labelStockDetail(LabelStock stock) {
    return stock == LabelStock::dk1234
               ? QStringLiteral("2.3 in x 3.4 in (60 mm x 86 mm) Adhesive Name Badge")
               : QStringLiteral("2.4 in x 100 ft (62 mm x 30.4 m) Continuous Length");
}

QString labelStockTitle(LabelStock stock) {
    return labelStockCode(stock) + QStringLiteral(": ") + labelStockDetail(stock);
}

QSizeF labelStockCanvasSize(LabelStock stock) {
    return stock == LabelStock::dk1234 ? QSizeF(950, 650) : QSizeF(1000, 650);
}

QSizeF labelStockPageSize(LabelStock stock) {
    // DK-2205 is the 62 mm tape cut to 62 mm x 1000 / 650 so its canvas scales evenly;
    // DK-1234 is the die-cut 86 mm x 60 mm badge.
    return stock == LabelStock::dk1234 ? QSizeF(243.77952755905514, 170.07874015748033)
                                       : QSizeF(270.38158691702, 175.74803149606302);
}
