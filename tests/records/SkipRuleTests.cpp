#include "support/TestMain.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

// A class that always skips, run only when named.
class SkipProbe : public QObject {
    Q_OBJECT
private slots:
    void needsAMissingService() { QSKIP("the probe's service is missing"); }
};
static const int gw_probe = TestRegistry::add(
    "SkipProbe", [] { return std::unique_ptr<QObject>(new SkipProbe); }, false);

// Where every service must be there (CI), a test that skips for want of one fails the run;
// elsewhere it only says why it skipped.
class SkipRuleTests : public QObject {
    Q_OBJECT
private slots:
    void skipFailsOnlyUnderCi_data() {
        QTest::addColumn<QString>("ci"); // empty: unset
        QTest::addColumn<bool>("fails");
        QTest::newRow("unset") << "" << false;
        QTest::newRow("false") << "false" << false;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("true") << "true" << true;
        QTest::newRow("1") << "1" << true;
    }
    void skipFailsOnlyUnderCi() {
        QFETCH(QString, ci);
        QFETCH(bool, fails);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("CI");
        if (!ci.isEmpty())
            environment.insert("CI", ci);
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QCoreApplication::applicationFilePath(), {"SkipProbe"});
        QVERIFY(probe.waitForFinished(60'000));
        const QByteArray output = probe.readAllStandardOutput();
        QVERIFY2(output.contains("the probe's service is missing"), output.constData());
        QCOMPARE(probe.exitCode() != 0, fails);
    }
};

GW_TEST(SkipRuleTests)

#include "SkipRuleTests.moc"
