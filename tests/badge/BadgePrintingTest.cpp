#include "support/TestMain.h"

#include "badge/BadgePrinter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinterInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <pwd.h>
#include <unistd.h>

// Prints real badges through CUPS to the cups-pdf queue that scripts/test sets up
// (scripts/lib/services.sh, gw_start_cups) and reads the PDF files it writes.
class BadgePrintingTest : public QObject {
    Q_OBJECT

    QString m_queue;
    QString m_outDir;
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    QStringList m_printed;

    static QString env(const char *name, const char *fallback) {
        const QString value = qEnvironmentVariable(name);
        return value.isEmpty() ? QString::fromUtf8(fallback) : value;
    }

    // A visitor name no other run uses, so its file is ours.
    static QString uniqueName(const QString &first) {
        return first + QStringLiteral(" Tester ") +
               QString::number(QRandomGenerator::global()->generate(), 16);
    }

    // cups-pdf names the file after the job title, spaces turned to underscores.
    QString expectedFile(const QString &name) const {
        QString title = BadgePrinter::jobTitle(name);
        title.replace(QLatin1Char(' '), QLatin1Char('_'));
        return m_outDir + QLatin1Char('/') + title + QStringLiteral(".pdf");
    }

    static QString run(const QString &program, const QStringList &args, bool *ok = nullptr) {
        QProcess process;
        process.start(program, args);
        const bool finished = process.waitForFinished(30000);
        if (ok)
            *ok =
                finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // Waits until cups-pdf has written a complete PDF at `path`.
    bool waitForPdf(const QString &path) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30000) {
            bool ok = false;
            if (QFileInfo::exists(path)) {
                run(QStringLiteral("pdfinfo"), {path}, &ok);
                if (ok) {
                    m_printed << path;
                    return true;
                }
            }
            QTest::qWait(200);
        }
        return false;
    }

    // Closes the next print dialog that opens, accepting or cancelling it.
    static void answerPrintDialog(bool accept) {
        auto *timer = new QTimer;
        QObject::connect(timer, &QTimer::timeout, timer, [timer, accept] {
            auto *dialog = qobject_cast<QPrintDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            accept ? dialog->accept() : dialog->reject();
            timer->deleteLater();
        });
        timer->start(50);
    }

private slots:
    void initTestCase() {
        m_queue = env("GREETWELL_PDF_QUEUE", "GreetwellPDF");
        if (!QPrinterInfo::availablePrinterNames().contains(m_queue))
            QSKIP(qPrintable(
                QStringLiteral("No CUPS queue \"%1\": start cupsd and the PDF queue with "
                               "`. scripts/lib/services.sh; gw_start_cups` (scripts/test does)")
                    .arg(m_queue)));
        if (QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("pdftoppm")).isEmpty())
            QSKIP("pdfinfo and pdftoppm (poppler-utils) are needed to read the printed badges");
        const passwd *user = getpwuid(geteuid());
        QVERIFY(user);
        m_outDir = env("GREETWELL_PDF_DIR", "/var/spool/cups-pdf/greetwell") + QLatin1Char('/') +
                   QString::fromLocal8Bit(user->pw_name);
    }

    void init() {
        m_settings = std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("badge.ini")),
                                                 QSettings::IniFormat);
        m_settings->clear();
    }

    void cleanupTestCase() {
        for (const QString &path : std::as_const(m_printed))
            QFile::remove(path);
    }

    // The badge comes out on a page of the stock's size, laid out landscape: CUPS turns a
    // landscape job onto the label as it is fed (60 mm or 62 mm across), so the page
    // may arrive upright with the badge turned a quarter; turned back it must show the
    // frame and header exactly where the canvas puts them, the page filled edge to edge.
    void printsOnTheStocksPage_data() {
        QTest::addColumn<LabelStock>("stock");
        QTest::addColumn<QSizeF>("millimetres");
        QTest::addColumn<bool>("red");
        QTest::newRow("DK-1234") << LabelStock::dk1234 << QSizeF(86, 60) << false;
        QTest::newRow("DK-2205") << LabelStock::dk2205 << QSizeF(95.38, 62) << true;
    }
    void printsOnTheStocksPage() {
        QFETCH(LabelStock, stock);
        QFETCH(QSizeF, millimetres);
        QFETCH(bool, red);
        BadgePrinter printer(m_settings.get());
        printer.setPrinterName(m_queue);
        printer.setStock(stock);
        const QString name = uniqueName(QStringLiteral("Ada"));
        QCOMPARE(printer.printBadge(name, QDateTime::currentDateTime()), BadgePrintResult::printed);
        const QString path = expectedFile(name);
        QVERIFY2(waitForPdf(path), qPrintable("no PDF named after the job title: " + path));

        const QString info = run(QStringLiteral("pdfinfo"), {path});
        QVERIFY2(info.contains(QRegularExpression(QStringLiteral("Pages:\\s+1\\n"))),
                 qPrintable(info));
        const auto size =
            QRegularExpression(QStringLiteral("Page size:\\s+([0-9.]+) x ([0-9.]+) pts"))
                .match(info);
        QVERIFY2(size.hasMatch(), qPrintable(info));
        const qreal w = size.captured(1).toDouble() * 25.4 / 72;
        const qreal h = size.captured(2).toDouble() * 25.4 / 72;
        const qreal longSide = std::max(w, h), shortSide = std::min(w, h);
        QVERIFY2(qAbs(longSide - millimetres.width()) < 0.5 &&
                     qAbs(shortSide - millimetres.height()) < 0.5,
                 qPrintable(QStringLiteral("page is %1 x %2 mm").arg(w).arg(h)));

        // Rasterise and bring the badge upright.
        const QString png = m_dir.filePath(QStringLiteral("badge"));
        bool ok = false;
        run(QStringLiteral("pdftoppm"), {"-png", "-r", "300", "-singlefile", path, png}, &ok);
        QVERIFY(ok);
        QImage image(png + QStringLiteral(".png"));
        QVERIFY(!image.isNull());
        if (image.height() > image.width())
            image = image.transformed(QTransform().rotate(90)); // undo CUPS's quarter turn
        const QSizeF canvas = labelStockCanvasSize(stock);
        const qreal sx = image.width() / canvas.width(), sy = image.height() / 650.0;
        const auto hasColour = [&](qreal cx, qreal cy) {
            const QPoint p(int(cx * sx), int(cy * sy));
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const QRgb c = image.pixel(std::clamp(p.x() + dx, 0, image.width() - 1),
                                               std::clamp(p.y() + dy, 0, image.height() - 1));
                    const bool dark = qGreen(c) < 90 && qBlue(c) < 90;
                    if (dark && (red ? qRed(c) > 180 : qRed(c) < 90))
                        return true;
                }
            return false;
        };
        const qreal right = canvas.width() == 950 ? 946 : 998;
        const qreal bottom = canvas.width() == 950 ? 646 : 631;
        QVERIFY2(hasColour(canvas.width() / 2, 16), "top rule");
        QVERIFY2(hasColour(1, 325), "left rule");
        QVERIFY2(hasColour(canvas.width() / 2, bottom), "bottom rule");
        QVERIFY2(hasColour(right, 325), "right rule");
        QVERIFY2(!hasColour(canvas.width() / 2, 8), "above the top rule is blank");
        // "Visitor" sits in the upper part: its "V" fills part of this band.
        int headerInk = 0;
        for (int y = int(60 * sy); y < int(150 * sy); ++y)
            for (int x = int(280 * sx); x < int(680 * sx); ++x) {
                const QRgb c = image.pixel(x, y);
                headerInk += qGreen(c) < 90 && (red ? qRed(c) > 180 : qRed(c) < 90);
            }
        QVERIFY2(headerInk > 100, "no header at the top of the badge");
    }

    // An empty printer name goes to the system default without asking.
    void printsToTheDefaultPrinter() {
        const QByteArray saved = qgetenv("PRINTER");
        qputenv("PRINTER", m_queue.toUtf8()); // CUPS's per-user default
        BadgePrinter printer(m_settings.get());
        const QString name = uniqueName(QStringLiteral("Grace"));
        const BadgePrintResult result = printer.printBadge(name, QDateTime::currentDateTime());
        saved.isNull() ? qunsetenv("PRINTER") : qputenv("PRINTER", saved);
        QCOMPARE(result, BadgePrintResult::printed);
        QVERIFY2(waitForPdf(expectedFile(name)), qPrintable(expectedFile(name)));
    }

    // Cancelling the print dialog is a failure and prints nothing; accepting it prints the
    // badge on its own page size, not the paper the dialog proposes.
    void printDialog_data() {
        QTest::addColumn<bool>("accept");
        QTest::newRow("cancelled") << false;
        QTest::newRow("accepted") << true;
    }
    void printDialog() {
        QFETCH(bool, accept);
        BadgePrinter printer(m_settings.get());
        printer.setPrinterName(m_queue);
        printer.setStock(LabelStock::dk1234);
        printer.setShowDialog(true);
        const QString name = uniqueName(QStringLiteral("Alan"));
        answerPrintDialog(accept);
        const BadgePrintResult result = printer.printBadge(name, QDateTime::currentDateTime());
        if (!accept) {
            QCOMPARE(result, BadgePrintResult::failed);
            QTest::qWait(3000);
            QVERIFY(!QFileInfo::exists(expectedFile(name)));
            return;
        }
        QCOMPARE(result, BadgePrintResult::printed);
        QVERIFY(waitForPdf(expectedFile(name)));
        const QString info = run(QStringLiteral("pdfinfo"), {expectedFile(name)});
        QVERIFY2(info.contains(QRegularExpression(
                     QStringLiteral("Page size:\\s+(170 x 243|243 x 170|170\\.\\d+ x "
                                    "243\\.\\d+|243\\.\\d+ x 170\\.\\d+) pts"))),
                 qPrintable(info));
    }
};

GW_TEST(BadgePrintingTest)
#include "BadgePrintingTest.moc"
