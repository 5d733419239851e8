#include "support/TestMain.h"

#include "badge/BadgeDrawing.h"

#include <QImage>
#include <QPainter>
#include <QTest>

namespace {

const QDateTime kSignedIn(QDate(2026, 12, 5), QTime(15, 55), QTimeZone::utc());

QImage badgeImage(const QString &name, LabelStock stock) {
    return BadgeView(name, stock, kSignedIn, QLocale(QStringLiteral("en_US")), QTimeZone::utc())
        .toImage();
}

bool isRed(QRgb c) {
    return qRed(c) > 200 && qGreen(c) < 70 && qBlue(c) < 70;
}
bool isBlack(QRgb c) {
    return qRed(c) < 70 && qGreen(c) < 70 && qBlue(c) < 70;
}
bool isInk(QRgb c) {
    return qRed(c) < 200 || qGreen(c) < 200 || qBlue(c) < 200;
}

int count(const QImage &image, const QRect &area, bool (*test)(QRgb)) {
    int n = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += test(image.pixel(x, y)) ? 1 : 0;
    return n;
}

// Where the name may draw: its rectangle, ending where the date line begins.
QRect nameBand(LabelStock stock) {
    return stock == LabelStock::dk1234 ? QRect(30, 250, 900, 340) : QRect(30, 220, 900, 330);
}
int dateTop(LabelStock stock) {
    return stock == LabelStock::dk1234 ? 590 : 550;
}
int rightRuleX(LabelStock stock) {
    return stock == LabelStock::dk1234 ? 945 : 997;
}

const QString kLongName = QStringLiteral(
    "Maximilian Alexander Bartholomew Fitzgerald-Montgomery the Third of Upper Wolverhampton "
    "and Lower Saxony, Esquire, Visiting Scholar");

} // namespace

class BadgeDrawingTest : public QObject {
    Q_OBJECT

private slots:
    void stocks_data() {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<LabelStock>("stock");
        QTest::newRow("dk2205") << "dk2205" << LabelStock::dk2205;
        QTest::newRow("dk1234") << "dk1234" << LabelStock::dk1234;
        QTest::newRow("missing") << "" << LabelStock::dk2205;
        QTest::newRow("upper case") << "DK1234" << LabelStock::dk2205;
    }
    void stocks() {
        QFETCH(QString, raw);
        QFETCH(LabelStock, stock);
        QCOMPARE(labelStockFromRaw(raw), stock);
        QCOMPARE(labelStockFromRaw(labelStockRawValue(stock)), stock);
    }

    void stockGeometry_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QSizeF>("pageMillimetres");
        QTest::addColumn<QSizeF>("canvas");
        QTest::newRow("dk2205") << LabelStock::dk2205
                                << "DK-2205: 2.4 in x 100 ft (62 mm x 30.4 m) Continuous Length"
                                << QSizeF(95.38, 62) << QSizeF(1000, 650);
        QTest::newRow("dk1234") << LabelStock::dk1234
                                << "DK-1234: 2.3 in x 3.4 in (60 mm x 86 mm) Adhesive Name Badge"
                                << QSizeF(86, 60) << QSizeF(950, 650);
    }
    void stockGeometry() {
        QFETCH(LabelStock, stock);
        QFETCH(QString, title);
        QFETCH(QSizeF, pageMillimetres);
        QFETCH(QSizeF, canvas);
        QCOMPARE(labelStockTitle(stock), title);
        QCOMPARE(labelStockCanvasSize(stock), canvas);
        const QSizeF page = labelStockPageSize(stock) * 25.4 / 72;
        QVERIFY2(qAbs(page.width() - pageMillimetres.width()) < 0.005,
                 qPrintable(QString::number(page.width())));
        QVERIFY2(qAbs(page.height() - pageMillimetres.height()) < 0.005,
                 qPrintable(QString::number(page.height())));
        QCOMPARE(allLabelStocks(), (QList<LabelStock>{LabelStock::dk2205, LabelStock::dk1234}));
    }

    void dateText_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QDateTime>("moment");
        QTest::addColumn<QString>("text");
        const QDateTime morning(QDate(2026, 3, 1), QTime(9, 5, 59), QTimeZone::utc());
        QTest::newRow("afternoon") << "en_US"
                                   << "UTC" << kSignedIn << "Sat, Dec 5       03:55 PM";
        QTest::newRow("morning, leading zero") << "en_US"
                                               << "UTC" << morning << "Sun, Mar 1       09:05 AM";
        QTest::newRow("local time zone")
            << "en_US"
            << "America/New_York" << kSignedIn << "Sat, Dec 5       10:55 AM";
        QTest::newRow("zone moves the day")
            << "en_US"
            << "Pacific/Auckland" << kSignedIn << "Sun, Dec 6       04:55 AM";
        QTest::newRow("German words") << "de_DE"
                                      << "UTC" << kSignedIn << "Sa., Dez. 5       03:55 PM";
    }
    void dateText() {
        QFETCH(QString, locale);
        QFETCH(QString, zone);
        QFETCH(QDateTime, moment);
        QFETCH(QString, text);
        QCOMPARE(badgeDateText(moment, QLocale(locale), QTimeZone(zone.toUtf8())), text);
    }

    // The four rules are what frames the badge; each must be there in the header colour.
    void frameRules_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QPoint>("onRule");
        QTest::addColumn<QPoint>("besideRule");
        QTest::addColumn<bool>("red");
        QTest::newRow("dk2205 top")
            << LabelStock::dk2205 << QPoint(500, 16) << QPoint(500, 20) << true;
        QTest::newRow("dk2205 left")
            << LabelStock::dk2205 << QPoint(1, 320) << QPoint(5, 320) << true;
        QTest::newRow("dk2205 bottom")
            << LabelStock::dk2205 << QPoint(500, 631) << QPoint(500, 627) << true;
        QTest::newRow("dk2205 right")
            << LabelStock::dk2205 << QPoint(998, 320) << QPoint(994, 320) << true;
        QTest::newRow("dk1234 top")
            << LabelStock::dk1234 << QPoint(475, 16) << QPoint(475, 20) << false;
        QTest::newRow("dk1234 left")
            << LabelStock::dk1234 << QPoint(1, 320) << QPoint(5, 320) << false;
        QTest::newRow("dk1234 bottom")
            << LabelStock::dk1234 << QPoint(475, 646) << QPoint(475, 642) << false;
        QTest::newRow("dk1234 right")
            << LabelStock::dk1234 << QPoint(946, 320) << QPoint(942, 320) << false;
        // Side rules of DK-1234 run on to the canvas's bottom edge.
        QTest::newRow("dk1234 left, below bottom rule")
            << LabelStock::dk1234 << QPoint(1, 649) << QPoint(5, 649) << false;
        QTest::newRow("dk1234 right, below bottom rule")
            << LabelStock::dk1234 << QPoint(946, 649) << QPoint(949, 649) << false;
    }
    void frameRules() {
        QFETCH(LabelStock, stock);
        QFETCH(QPoint, onRule);
        QFETCH(QPoint, besideRule);
        QFETCH(bool, red);
        const QImage image = badgeImage(QStringLiteral("Ada Lovelace"), stock);
        QCOMPARE(image.size(), labelStockCanvasSize(stock).toSize());
        const QRgb c = image.pixel(onRule);
        QVERIFY2(red ? isRed(c) : isBlack(c), qPrintable(QColor(c).name()));
        QCOMPARE(QColor(image.pixel(besideRule)), QColor(Qt::white));
    }

    // "Visitor" in the header colour, name and date in black; no other colour anywhere.
    void colours_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QRect>("header");
        QTest::newRow("dk2205") << LabelStock::dk2205 << QRect(30, 30, 900, 190);
        QTest::newRow("dk1234") << LabelStock::dk1234 << QRect(30, 40, 900, 210);
    }
    void colours() {
        QFETCH(LabelStock, stock);
        QFETCH(QRect, header);
        const bool redHeader = stock == LabelStock::dk2205;
        const QImage image = badgeImage(QStringLiteral("Ada Lovelace"), stock);
        QVERIFY(count(image, header, redHeader ? isRed : isBlack) > 500);
        if (redHeader)
            QCOMPARE(count(image, header, isBlack), 0);
        QVERIFY(count(image, nameBand(stock), isBlack) > 500);
        QCOMPARE(count(image, nameBand(stock), isRed), 0);
        const QRect date(30, dateTop(stock), 900, 50); // above the bottom rule
        QVERIFY(count(image, date, isBlack) > 100);
        QCOMPARE(count(image, date, isRed), 0);
        if (!redHeader)
            QCOMPARE(count(image, image.rect(), isRed), 0);
    }

    // A long name wraps inside its rectangle; what does not fit is cut off, never drawn
    // over the date line or past the rectangle's sides.
    void longNameStaysInItsRectangle_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QString>("name");
        for (LabelStock stock : allLabelStocks()) {
            const QByteArray code = labelStockCode(stock).toUtf8();
            QTest::newRow(code + " many words") << stock << kLongName;
            QTest::newRow(code + " one long word") << stock << QString(60, QLatin1Char('W'));
            QTest::newRow(code + " line breaks") << stock << QStringLiteral("A\nB\nC\nD\nE\nF");
        }
    }
    void longNameStaysInItsRectangle() {
        QFETCH(LabelStock, stock);
        QFETCH(QString, name);
        const QImage image = badgeImage(name, stock);
        const QImage blank = badgeImage(QString(), stock);
        const QRect band = nameBand(stock);

        // It wrapped: ink on more than one line.
        QVERIFY(count(image, QRect(band.left(), band.top(), band.width(), 110), isInk) > 0);
        QVERIFY(count(image, QRect(band.left(), band.top() + 140, band.width(), 100), isInk) > 0);
        // The date line and everything below it is untouched by the name.
        const QRect below(0, dateTop(stock), image.width(), image.height() - dateTop(stock));
        QCOMPARE(image.copy(below), blank.copy(below));
        // Nothing between the side rules and the rectangle's sides.
        QCOMPARE(count(image, QRect(3, band.top(), band.left() - 3, band.height()), isInk), 0);
        QCOMPARE(count(image,
                       QRect(band.right() + 1, band.top(), rightRuleX(stock) - band.right() - 2,
                             band.height()),
                       isInk),
                 0);
    }

    void emptyNameLeavesTheNameAreaBlank() {
        for (LabelStock stock : allLabelStocks()) {
            const QImage image = badgeImage(QString(), stock);
            QCOMPARE(count(image, nameBand(stock), isInk), 0);
            QVERIFY(count(image, QRect(30, 30, 900, 150), isInk) > 500); // "Visitor"
            QVERIFY(count(image, QRect(30, dateTop(stock), 900, 50), isInk) > 100);
        }
    }

    void nameIsCentred() {
        for (LabelStock stock : allLabelStocks()) {
            const QImage image = badgeImage(QStringLiteral("Al"), stock);
            const QRect band = nameBand(stock);
            int left = image.width(), right = -1;
            for (int y = band.top(); y <= band.bottom(); ++y)
                for (int x = band.left(); x <= band.right(); ++x)
                    if (isInk(image.pixel(x, y))) {
                        left = std::min(left, x);
                        right = std::max(right, x);
                    }
            QVERIFY(right > left);
            QVERIFY2(qAbs((left + right) / 2.0 - 480) < 6,
                     qPrintable(QStringLiteral("%1..%2").arg(left).arg(right)));
        }
    }

    // The canvas is stretched onto the target with its own factor on each axis.
    void renderStretchesOntoTarget() {
        const BadgeView view(QStringLiteral("Ada"), LabelStock::dk1234, kSignedIn,
                             QLocale(QStringLiteral("en_US")), QTimeZone::utc());
        QCOMPARE(view.frame().size(), labelStockPageSize(LabelStock::dk1234));
        QCOMPARE(view.bounds(), QRectF(0, 0, 950, 650));
        QImage image(800, 820, QImage::Format_RGB32);
        image.fill(Qt::green);
        QPainter painter(&image);
        view.render(painter, QRectF(10, 10, 760, 780)); // x 0.8, y 1.2
        painter.end();
        QCOMPARE(QColor(image.pixel(5, 5)), QColor(Qt::green));     // outside the target
        QCOMPARE(QColor(image.pixel(780, 500)), QColor(Qt::green)); // right of it
        // The pixel holding the middle of a rule, whose ends are 0.8 or 1.2 x 2 units apart.
        const auto pixel = [](qreal units, qreal factor) { return int(10 + units * factor - 0.5); };
        QVERIFY(isBlack(image.pixel(pixel(946, 0.8), 400))); // right rule
        QVERIFY(isBlack(image.pixel(400, pixel(646, 1.2)))); // bottom rule
        QVERIFY(isBlack(image.pixel(400, pixel(16, 1.2))));  // top rule
        // A single factor (0.8 both ways) would put the bottom rule here instead.
        QCOMPARE(QColor(image.pixel(400, pixel(646, 0.8))), QColor(Qt::white));
    }

    void fitAndCentre_data() {
        QTest::addColumn<QSizeF>("size");
        QTest::addColumn<QRectF>("area");
        QTest::addColumn<QRectF>("fitted");
        QTest::newRow("same size")
            << QSizeF(243, 170) << QRectF(0, 0, 243, 170) << QRectF(0, 0, 243, 170);
        QTest::newRow("wider area")
            << QSizeF(100, 50) << QRectF(10, 0, 300, 50) << QRectF(110, 0, 100, 50);
        QTest::newRow("taller area")
            << QSizeF(100, 50) << QRectF(0, 0, 300, 300) << QRectF(0, 75, 300, 150);
        QTest::newRow("shrinks") << QSizeF(400, 200) << QRectF(0, 0, 100, 100)
                                 << QRectF(0, 25, 100, 50);
    }
    void fitAndCentre() {
        QFETCH(QSizeF, size);
        QFETCH(QRectF, area);
        QFETCH(QRectF, fitted);
        QCOMPARE(::fitAndCentre(size, area), fitted);
    }
};

GW_TEST(BadgeDrawingTest)
#include "BadgeDrawingTest.moc"
