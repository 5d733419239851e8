#include "support/TestMain.h"

#include "badge/BadgePrinter.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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

    void defaultsWithoutKeys() {
        auto settings = store();
        BadgePrinter printer(settings.get());
        QCOMPARE(printer.autoPrint(), false);
        QCOMPARE(printer.stock(), LabelStock::dk2205);
        QCOMPARE(printer.printerName(), QString());
        QCOMPARE(printer.showDialog(), false);
        // Reading writes nothing.
        QVERIFY(settings->allKeys().isEmpty());
    }

    void readsStoredValues_data() {
        QTest::addColumn<QVariant>("labelType");
        QTest::addColumn<LabelStock>("stock");
        QTest::newRow("dk1234") << QVariant("dk1234") << LabelStock::dk1234;
        QTest::newRow("dk2205") << QVariant("dk2205") << LabelStock::dk2205;
        QTest::newRow("unrecognised") << QVariant("dk9999") << LabelStock::dk2205;
        QTest::newRow("code instead of raw value") << QVariant("DK-1234") << LabelStock::dk2205;
        QTest::newRow("a number") << QVariant(1234) << LabelStock::dk2205;
    }
    void readsStoredValues() {
        QFETCH(QVariant, labelType);
        QFETCH(LabelStock, stock);
        {
            auto settings = store();
            settings->setValue("PrintLabel", true);
            settings->setValue("LabelType", labelType);
            settings->setValue("BadgePrinterName", "Front Desk QL-820NWB");
            settings->setValue("BadgeShowPrintDialog", true);
        }
        auto settings = store();
        BadgePrinter printer(settings.get());
        QCOMPARE(printer.autoPrint(), true);
        QCOMPARE(printer.stock(), stock);
        QCOMPARE(printer.printerName(), QStringLiteral("Front Desk QL-820NWB"));
        QCOMPARE(printer.showDialog(), true);
    }

    // Each change is on disk at once (another reader sees it), is announced once, and a
    // repeated value is neither written nor announced.
    void changesAreStoredAndAnnounced() {
        auto settings = store();
        BadgePrinter printer(settings.get());
        QSignalSpy autoPrint(&printer, &BadgePrinter::autoPrintChanged);
        QSignalSpy stock(&printer, &BadgePrinter::stockChanged);
        QSignalSpy printerName(&printer, &BadgePrinter::printerNameChanged);
        QSignalSpy showDialog(&printer, &BadgePrinter::showDialogChanged);

        printer.setAutoPrint(true);
        QCOMPARE(store()->value("PrintLabel").toBool(), true);
        printer.setStock(LabelStock::dk1234);
        QCOMPARE(store()->value("LabelType").toString(), QStringLiteral("dk1234"));
        printer.setPrinterName(QStringLiteral("GreetwellPDF"));
        QCOMPARE(store()->value("BadgePrinterName").toString(), QStringLiteral("GreetwellPDF"));
        printer.setShowDialog(true);
        QCOMPARE(store()->value("BadgeShowPrintDialog").toBool(), true);

        printer.setAutoPrint(true);
        printer.setStock(LabelStock::dk1234);
        printer.setPrinterName(QStringLiteral("GreetwellPDF"));
        printer.setShowDialog(true);
        QCOMPARE(autoPrint.count(), 1);
        QCOMPARE(stock.count(), 1);
        QCOMPARE(stock.at(0).at(0).value<LabelStock>(), LabelStock::dk1234);
        QCOMPARE(printerName.count(), 1);
        QCOMPARE(showDialog.count(), 1);

        // Back to the defaults: the system default printer is stored as an empty name.
        printer.setStock(LabelStock::dk2205);
        printer.setPrinterName(QString());
        printer.setAutoPrint(false);
        BadgePrinter reread(store().get());
        QCOMPARE(reread.stock(), LabelStock::dk2205);
        QCOMPARE(store()->value("LabelType").toString(), QStringLiteral("dk2205"));
        QCOMPARE(reread.printerName(), QString());
        QCOMPARE(reread.autoPrint(), false);
        QCOMPARE(reread.showDialog(), true);
    }

    // Screens observe the settings through Qt's property system.
    void propertiesNotify() {
        auto settings = store();
        BadgePrinter printer(settings.get());
        for (const char *name : {"autoPrint", "stock", "printerName", "showDialog"}) {
            const QMetaObject *meta = printer.metaObject();
            const QMetaProperty property = meta->property(meta->indexOfProperty(name));
            QVERIFY2(property.isValid() && property.hasNotifySignal() && property.isWritable(),
                     name);
        }
        QSignalSpy stock(&printer, &BadgePrinter::stockChanged);
        QVERIFY(printer.setProperty("stock", QVariant::fromValue(LabelStock::dk1234)));
        QCOMPARE(stock.count(), 1);
        QCOMPARE(printer.property("stock").value<LabelStock>(), LabelStock::dk1234);
        QCOMPARE(store()->value("LabelType").toString(), QStringLiteral("dk1234"));
    }

    // These need no print system: a printer that is not installed is never used, and
    // with no default printer nothing is guessed.
    void noUsablePrinter() {
        auto settings = store();
        BadgePrinter printer(settings.get());
        printer.setPrinterName(QStringLiteral("Greetwell No Such Printer"));
        QCOMPARE(printer.printBadge(QStringLiteral("Ada"), QDateTime::currentDateTime()),
                 BadgePrintResult::noPrinter);
        QCOMPARE(printer.printerName(), QStringLiteral("Greetwell No Such Printer"));

        // CUPS takes the user's default printer from PRINTER; point it nowhere.
        const QByteArray saved = qgetenv("PRINTER");
        const QByteArray savedLpdest = qgetenv("LPDEST");
        qputenv("PRINTER", "Greetwell-No-Such-Queue");
        qunsetenv("LPDEST");
        printer.setPrinterName(QString());
        const BadgePrintResult result =
            printer.printBadge(QStringLiteral("Ada"), QDateTime::currentDateTime());
        saved.isNull() ? qunsetenv("PRINTER") : qputenv("PRINTER", saved);
        if (!savedLpdest.isNull())
            qputenv("LPDEST", savedLpdest);
        QCOMPARE(result, BadgePrintResult::noPrinter);
    }
};

GW_TEST(BadgePrinterSettingsTest)
#include "BadgePrinterSettingsTest.moc"
