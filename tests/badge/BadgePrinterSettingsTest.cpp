#include "support/TestMain.h"

#include "badge/BadgePrinter.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cups/cups.h>

// The four badge settings: read once from the store, written back on every change.
class BadgePrinterSettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_file;

    std::unique_ptr<QSettings> store() {
        return std::make_unique<QSettings>(m_file, QSettings::IniFormat);
    }

private slots:
    void init() {
        m_file = m_dir.filePath(QStringLiteral("%1.ini").arg(QTest::currentTestFunction()));
        QFile::remove(m_file);
    }

    // Anything but a known raw stock value reads as the default stock.
    void unknownStockReadsAsDefault() {
        for (const QVariant &stored : {QVariant("DK-1234"), QVariant(1234)}) {
            auto settings = store();
            settings->setValue("LabelType", stored);
            QCOMPARE(BadgePrinter(settings.get()).stock(), LabelStock::dk2205);
        }
    }

    // Each change is on disk at once (another reader sees it), is announced once, and a
    // repeated value is neither written nor announced.
    void changesAreStoredAndAnnounced() {
        auto settings = store();
        BadgePrinter printer(settings.get());
        QCOMPARE(printer.stock(), LabelStock::dk2205);
        QVERIFY(settings->allKeys().isEmpty()); // reading writes nothing
        QSignalSpy autoPrint(&printer, &BadgePrinter::autoPrintChanged);
        QSignalSpy stock(&printer, &BadgePrinter::stockChanged);
        QSignalSpy printerName(&printer, &BadgePrinter::printerNameChanged);
        QSignalSpy showDialog(&printer, &BadgePrinter::showDialogChanged);
        for (int twice = 0; twice < 2; ++twice) {
            printer.setAutoPrint(true);
            printer.setStock(LabelStock::dk1234);
            printer.setPrinterName("GreetwellPDF");
            printer.setShowDialog(true);
            QCOMPARE(store()->value("PrintLabel").toBool(), true);
            QCOMPARE(store()->value("LabelType").toString(), QStringLiteral("dk1234"));
            QCOMPARE(store()->value("BadgePrinterName").toString(), QStringLiteral("GreetwellPDF"));
            QCOMPARE(store()->value("BadgeShowPrintDialog").toBool(), true);
        }
        QCOMPARE(autoPrint.count(), 1);
        QCOMPARE(stock.count(), 1);
        QCOMPARE(printerName.count(), 1);
        QCOMPARE(showDialog.count(), 1);

        auto again = store();
        BadgePrinter reread(again.get());
        QCOMPARE(reread.autoPrint(), true);
        QCOMPARE(reread.stock(), LabelStock::dk1234);
        QCOMPARE(reread.showDialog(), true);
        // The system default printer is stored as an empty name.
        printer.setPrinterName(QString());
        QCOMPARE(BadgePrinter(store().get()).printerName(), QString());
    }

    // These need no print system: a printer that is not installed is never used, and a
    // system without printers gives no printer.
    void noUsablePrinter() {
        auto settings = store();
        BadgePrinter printer(settings.get());
        printer.setPrinterName("Greetwell No Such Printer");
        QCOMPARE(printer.printBadge("Ada", QDateTime::currentDateTime()),
                 BadgePrintResult::noPrinter);
        QCOMPARE(printer.printerName(), QStringLiteral("Greetwell No Such Printer"));

        // A print server that is not there lists no printers at all.
        QTemporaryDir nowhere;
        cupsSetServer(nowhere.filePath("no-cupsd.sock").toUtf8().constData());
        printer.setPrinterName(QString());
        const bool none = BadgePrinter::installedPrinterNames().isEmpty();
        const BadgePrintResult result = printer.printBadge("Ada", QDateTime::currentDateTime());
        cupsSetServer(nullptr); // back to the usual one
        QVERIFY(none);
        QCOMPARE(result, BadgePrintResult::noPrinter);
    }
};

GW_TEST(BadgePrinterSettingsTest)
#include "BadgePrinterSettingsTest.moc"
