#include "badge/BadgePrinter.h"
#include "support/TestMain.h"
#include "support/desk/Gestures.h"
#include "ui/BadgeSettings.h"
#include "ui/Style.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <pwd.h>
#include <unistd.h>

// The Badges tab over a BadgePrinter of its own: every control writes the stored
// setting at once, the preview follows the stock, and the test badge reaches CUPS.
class BadgeSettingsTest : public QObject {
    Q_OBJECT

    struct Tab {
        QTemporaryDir dir;
        QSettings preferences{dir.filePath("badge.ini"), QSettings::IniFormat};
        BadgePrinter printer{&preferences};
        std::unique_ptr<BadgeSettings> view;

        void open() {
            view = std::make_unique<BadgeSettings>(&printer);
            view->resize(520, 480);
            view->show();
        }
        template <typename T = QWidget> T *find(const char *name) {
            return view->findChild<T *>(name);
        }
        QComboBox *printers() { return find<QComboBox>("printerPicker"); }
        QStringList printerEntries() {
            QStringList entries;
            for (int i = 0; i < printers()->count(); ++i)
                entries << printers()->itemText(i);
            return entries;
        }
        void choose(QComboBox *picker, int index) {
            // What a person's pick in the list sends.
            picker->setCurrentIndex(index);
            emit picker->activated(index);
        }
        QString result() {
            auto *label = find<QLabel>("testBadgeResult");
            return label->isVisibleTo(view.get()) ? label->text() : QString();
        }
    };

    static QString pdfQueue() { return qEnvironmentVariable("GREETWELL_PDF_QUEUE", "GreetwellPDF"); }

private slots:
    void controlsStoreAtOnceAndPreviewFollowsTheStock() {
        Tab tab;
        tab.open();
        QStringList expected{"System Default"};
        expected << QPrinterInfo::availablePrinterNames();
        QCOMPARE(tab.printerEntries(), expected);
        auto *labels = tab.find<QComboBox>("labelPicker");
        QCOMPARE(labels->itemText(1),
                 "DK-1234: 2.3 in x 3.4 in (60 mm x 86 mm) Adhesive Name Badge");

        click(tab.find<QAbstractButton>("autoPrintSwitch"));
        click(tab.find<QAbstractButton>("showDialogSwitch"));
        QVERIFY(tab.printer.autoPrint() && tab.printer.showDialog());
        QCOMPARE(tab.preferences.value("PrintLabel").toBool(), true);
        QCOMPARE(tab.preferences.value("BadgeShowPrintDialog").toBool(), true);

        // The preview is the stock's canvas, shown in a row no higher than 120 and as
        // wide as the section, with the badge in its own proportions. The frame rule
        // at the top is red on DK-2205 and black on DK-1234.
        auto *preview = tab.find<BadgePreview>("badgePreview");
        struct Expect {
            LabelStock stock;
            QSize canvas;
            QColor rule;
        };
        for (const Expect &e : {Expect{LabelStock::dk1234, {950, 650}, Qt::black},
                                Expect{LabelStock::dk2205, {1000, 650}, Qt::red}}) {
            tab.choose(labels, labels->findData(int(e.stock)));
            QCOMPARE(tab.printer.stock(), e.stock);
            QCOMPARE(tab.preferences.value("LabelType").toString(), labelStockRawValue(e.stock));
            QCOMPARE(preview->image().size(), e.canvas);
            QCOMPARE(preview->image().pixelColor(e.canvas.width() / 2, 16), e.rule);
            QVERIFY(preview->height() <= BadgePreview::maximumPreviewHeight);
            QVERIFY(preview->width() > tab.view->width() / 2);
            const QRect badge = preview->badgeRect();
            QCOMPARE(badge.height(), preview->height());
            QVERIFY2(qAbs(badge.width() - badge.height() * e.canvas.width() / 650) <= 2, qPrintable(QString("%1x%2 in %3x%4").arg(badge.width()).arg(badge.height()).arg(preview->width()).arg(preview->height())));
        }
    }

    // A chosen printer that has gone stays the choice and says so when printing.
    void removedPrinterStaysChosen() {
        Tab tab;
        tab.printer.setPrinterName("Greetwell Printer That Was Unplugged");
        tab.open();
        QCOMPARE(tab.printers()->currentText(),
                 QStringLiteral("Greetwell Printer That Was Unplugged (not available)"));
        click(tab.find<QAbstractButton>("printTestBadgeButton"));
        QCOMPARE(tab.result(), "No printer is available. Choose one in Settings > Badges.");
        QCOMPARE(tab.find<QLabel>("testBadgeResult")->palette().color(QPalette::WindowText),
                 Style::errorColor(tab.view->palette()));
        QCOMPARE(tab.printer.printerName(), "Greetwell Printer That Was Unplugged");
        QCOMPARE(tab.preferences.value("BadgePrinterName").toString(),
                 "Greetwell Printer That Was Unplugged");

        tab.choose(tab.printers(), 0);
        QCOMPARE(tab.printer.printerName(), QString());
        QVERIFY(!tab.printerEntries().join('\n').contains("not available"));
    }

    void testBadgeReachesThePdfQueue() {
        if (!QPrinterInfo::availablePrinterNames().contains(pdfQueue()))
            QSKIP("No CUPS PDF queue: run the tests through scripts/test");
        if (QStandardPaths::findExecutable("pdfinfo").isEmpty())
            QSKIP("pdfinfo (poppler-utils) is needed to read the printed badge");
        const passwd *user = getpwuid(geteuid());
        QVERIFY(user);
        const QDir out(qEnvironmentVariable("GREETWELL_PDF_DIR", "/var/spool/cups-pdf/greetwell") +
                       '/' + QString::fromLocal8Bit(user->pw_name));
        // cups-pdf names the file after the job title (and may add to the name).
        const QString prefix = BadgePrinter::jobTitle(BadgeSettings::sampleName).replace(' ', '_');
        const auto printedFile = [&](const QDateTime &since) {
            for (const QFileInfo &file : out.entryInfoList({prefix + "*.pdf"}, QDir::Files, QDir::Time))
                if (file.lastModified() >= since)
                    return file.filePath();
            return QString();
        };

        Tab tab;
        tab.open();
        tab.choose(tab.printers(), tab.printers()->findData(pdfQueue()));
        QCOMPARE(tab.preferences.value("BadgePrinterName").toString(), pdfQueue());
        tab.choose(tab.find<QComboBox>("labelPicker"), 1);
        const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
        click(tab.find<QAbstractButton>("printTestBadgeButton"));
        QCOMPARE(tab.result(), QString());

        // One 86 x 60 mm page.
        QString info, file;
        QElapsedTimer timer;
        timer.start();
        while (info.isEmpty() && timer.elapsed() < 30000) {
            file = printedFile(started);
            if (!file.isEmpty()) {
                QProcess pdfinfo;
                pdfinfo.start("pdfinfo", {file});
                if (pdfinfo.waitForFinished() && pdfinfo.exitCode() == 0)
                    info = QString::fromUtf8(pdfinfo.readAllStandardOutput());
            }
            if (info.isEmpty())
                QTest::qWait(200);
        }
        QFile::remove(file);
        QVERIFY2(!info.isEmpty(), qPrintable("no badge PDF in " + out.path()));
        QVERIFY2(info.contains(QRegularExpression(R"(Pages:\s+1\n)")), qPrintable(info));
        const auto size = QRegularExpression(R"(Page size:\s+([0-9.]+) x ([0-9.]+) pts)").match(info);
        const qreal w = size.captured(1).toDouble() * 25.4 / 72, h = size.captured(2).toDouble() * 25.4 / 72;
        QVERIFY2(qAbs(std::max(w, h) - 86) < 0.5 && qAbs(std::min(w, h) - 60) < 0.5, qPrintable(info));
    }
};

GW_TEST(BadgeSettingsTest)
#include "BadgeSettingsTests.moc"
