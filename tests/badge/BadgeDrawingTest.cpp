#include "support/TestMain.h"

#include "badge/BadgeDrawing.h"
#include "badge/BadgePrinter.h"

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QDateTime kSignedIn(QDate(2026, 12, 5), QTime(15, 55), QTimeZone::utc());

QImage badgeImage(const QString &name, LabelStock stock) {
    return BadgeView(name, stock, kSignedIn, QLocale("en_US"), QTimeZone::utc()).toImage();
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

// The smallest rectangle holding every inked pixel.
QRect inkBounds(const QImage &image) {
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (isInk(image.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
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

} // namespace

class BadgeDrawingTest : public QObject {
    Q_OBJECT

private slots:
    // "EE, MMM d", seven spaces, "hh:mm a", in the locale's words and the given zone.
    void dateText() {
        const QDateTime morning(QDate(2026, 3, 1), QTime(9, 5, 59), QTimeZone::utc());
        QCOMPARE(badgeDateText(morning, QLocale("en_US"), QTimeZone::utc()),
                 "Sun, Mar 1       09:05 AM");
        QCOMPARE(badgeDateText(kSignedIn, QLocale("en_US"), QTimeZone("Pacific/Auckland")),
                 "Sun, Dec 6       04:55 AM");
        QCOMPARE(badgeDateText(kSignedIn, QLocale("de_DE"), QTimeZone::utc()),
                 "Sa., Dez. 5       03:55 PM");
    }

    // The four frame rules, "Visitor" in the header colour (red on DK-2205, black on
    // DK-1234), name and date in black.
    void frameAndColours_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QList<int>>("rules"); // x, y on a rule, then x, y just beside it
        QTest::addColumn<QRect>("header");
        QTest::newRow("dk2205") << LabelStock::dk2205
                                << QList<int>{500, 16,  500, 20,  1,   320, 5,   320, // top, left
                                              500, 631, 500, 627, 998, 320, 994, 320}
                                << QRect(30, 30, 900, 190);
        // The side rules of DK-1234 run on to the canvas's bottom edge.
        QTest::newRow("dk1234") << LabelStock::dk1234
                                << QList<int>{475, 16,  475, 20,  1,   320, 5,   320,
                                              475, 646, 475, 642, 946, 320, 942, 320,
                                              1,   649, 5,   649, 946, 649, 949, 649}
                                << QRect(30, 40, 900, 210);
    }
    void frameAndColours() {
        QFETCH(LabelStock, stock);
        QFETCH(QList<int>, rules);
        QFETCH(QRect, header);
        const bool red = stock == LabelStock::dk2205;
        const QImage image = badgeImage("Ada Lovelace", stock);
        QCOMPARE(image.size(), labelStockCanvasSize(stock).toSize());
        for (qsizetype i = 0; i < rules.size(); i += 4) {
            const QRgb c = image.pixel(rules[i], rules[i + 1]);
            QVERIFY2(red ? isRed(c) : isBlack(c), qPrintable(QColor(c).name()));
            QCOMPARE(QColor(image.pixel(rules[i + 2], rules[i + 3])), QColor(Qt::white));
        }
        QVERIFY(count(image, header, red ? isRed : isBlack) > 500);
        QCOMPARE(count(image, header, red ? isBlack : isRed), 0);
        const QRect date(30, dateTop(stock), 900, 50); // above the bottom rule
        QVERIFY(count(image, nameBand(stock), isBlack) > 500);
        QVERIFY(count(image, date, isBlack) > 100);
        QCOMPARE(count(image, nameBand(stock), isRed) + count(image, date, isRed), 0);
        if (!red)
            QCOMPARE(count(image, image.rect(), isRed), 0);
    }

    // A long name wraps inside its rectangle; what does not fit is cut off, never drawn
    // over the date line or past the rectangle's sides.
    void longNameStaysInItsRectangle_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QString>("name");
        for (LabelStock stock : allLabelStocks()) {
            const QByteArray code = labelStockCode(stock).toUtf8();
            QTest::newRow(code + " many words")
                << stock
                << QString("Maximilian Alexander Bartholomew Fitzgerald-Montgomery the "
                           "Third of Upper Wolverhampton and Lower Saxony, Esquire");
            QTest::newRow(code + " one long word") << stock << QString(60, QLatin1Char('W'));
            QTest::newRow(code + " line breaks") << stock << QString("A\nB\nC\nD\nE\nF");
        }
    }
    void longNameStaysInItsRectangle() {
        QFETCH(LabelStock, stock);
        QFETCH(QString, name);
        const QImage image = badgeImage(name, stock);
        const QImage blank = badgeImage(QString(), stock);
        const QRect band = nameBand(stock);
        QCOMPARE(count(blank, band, isInk), 0);
        // It wrapped: ink on more than one line.
        QVERIFY(count(image, QRect(band.left(), band.top(), band.width(), 110), isInk) > 0);
        QVERIFY(count(image, QRect(band.left(), band.top() + 140, band.width(), 100), isInk) > 0);
        // The date line and everything below it, and the sides beyond the rectangle, are
        // untouched by the name.
        const int below = dateTop(stock), right = band.right() + 1;
        for (const QRect &outside :
             {QRect(0, below, image.width(), image.height() - below),
              QRect(0, band.top(), band.left(), band.height()),
              QRect(right, band.top(), image.width() - right, band.height())})
            QCOMPARE(image.copy(outside), blank.copy(outside));
    }

    // The canvas is stretched onto the target with its own factor on each axis.
    // The PDF a badge is queued as has the stock's exact page (Qt alone rounds pages to
    // whole points), and the badge fills that page as it fills its canvas.
    void pdfHasTheExactPage_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::newRow("dk2205") << LabelStock::dk2205;
        QTest::newRow("dk1234") << LabelStock::dk1234;
    }
    void pdfHasTheExactPage() {
        QFETCH(LabelStock, stock);
        const QByteArray pdf = BadgePrinter::badgePdf("Ada Lovelace", stock, kSignedIn);
        QVERIFY(pdf.startsWith("%PDF-"));
        const QString text = QString::fromLatin1(pdf);
        QCOMPARE(text.count("/MediaBox"), 1);
        const QStringList box = QRegularExpression(R"(/MediaBox \[([-0-9. ]+)\])")
                                    .match(text)
                                    .captured(1)
                                    .split(' ', Qt::SkipEmptyParts);
        QCOMPARE(box.size(), 4);
        const QSizeF page(box[2].toDouble() - box[0].toDouble(),
                          box[3].toDouble() - box[1].toDouble());
        const QSizeF exact = labelStockPageSize(stock);
        QVERIFY2(qAbs(page.width() - exact.width()) < 1e-3 &&
                     qAbs(page.height() - exact.height()) < 1e-3,
                 qPrintable(box.join(' ')));

        if (QStandardPaths::findExecutable("pdftoppm").isEmpty())
            QSKIP("pdftoppm (poppler-utils) is needed to draw the PDF");
        QTemporaryDir dir;
        QFile file(dir.filePath("badge.pdf"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pdf) == pdf.size());
        file.close();
        const QSize canvas = labelStockCanvasSize(stock).toSize();
        QProcess pdftoppm;
        pdftoppm.start("pdftoppm",
                       {"-png", "-singlefile", "-scale-to-x", QString::number(canvas.width()),
                        "-scale-to-y", QString::number(canvas.height()), file.fileName(),
                        dir.filePath("page")});
        QVERIFY(pdftoppm.waitForFinished(60000) && pdftoppm.exitCode() == 0);
        const QRect drawn = inkBounds(QImage(dir.filePath("page.png")));
        const QRect expected = inkBounds(badgeImage("Ada Lovelace", stock));
        for (const auto &[a, b] : {std::pair{drawn.left(), expected.left()},
                                   {drawn.top(), expected.top()},
                                   {drawn.right(), expected.right()},
                                   {drawn.bottom(), expected.bottom()}})
            QVERIFY2(qAbs(a - b) <= 2, qPrintable(QString("ink %1,%2 %3x%4, expected %5,%6 %7x%8")
                                                      .arg(drawn.x())
                                                      .arg(drawn.y())
                                                      .arg(drawn.width())
                                                      .arg(drawn.height())
                                                      .arg(expected.x())
                                                      .arg(expected.y())
                                                      .arg(expected.width())
                                                      .arg(expected.height())));
    }

    void renderStretchesOntoTarget() {
        const BadgeView view("Ada", LabelStock::dk1234, kSignedIn, QLocale("en_US"),
                             QTimeZone::utc());
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
        // A single factor (0.8 both ways) would put the bottom rule here instead.
        QCOMPARE(QColor(image.pixel(400, pixel(646, 0.8))), QColor(Qt::white));
        // On a page of another shape the badge is scaled evenly and centred.
        QCOMPARE(fitAndCentre(QSizeF(100, 50), QRectF(10, 0, 300, 50)), QRectF(110, 0, 100, 50));
        QCOMPARE(fitAndCentre(QSizeF(400, 200), QRectF(0, 0, 100, 100)), QRectF(0, 25, 100, 50));
    }
};

GW_TEST(BadgeDrawingTest)
#include "BadgeDrawingTest.moc"
