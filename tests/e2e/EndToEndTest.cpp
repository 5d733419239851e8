#include "support/TestMain.h"

#include "DeskRobot.h"
#include "cloud/KeychainSessionStore.h"
#include "settings/HttpsFront.h"
#include "support/BackendFixture.h"
#include "support/FakeHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPrinterInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <pwd.h>
#include <unistd.h>

// The real greetwell binary on an X server of its own, against the local backend, with
// a fresh keychain item and fresh preferences, driven through its screens the way a
// person at the desk would: create an account, set up the form, an employee with a
// personal webhook and the badge printer, invite a visitor, sign them in from the
// invite (badge to the PDF queue, alert to a local receiver), sign everyone out, save
// the log as CSV and as PDF through the save dialog, quit, and come back to the same
// session. Each step fails with what it expected, the texts
// on the screen and a screenshot in tests/e2e-output of the build folder.
class EndToEndTest : public QObject {
    Q_OBJECT

    std::optional<BackendInfo> m_backend;
    QTemporaryDir m_home;
    QString m_output = QStringLiteral(GW_BINARY_DIR "/tests/e2e-output");
    std::unique_ptr<DeskRobot> m_desk;
    FakeHttpServer m_receiver;
    std::unique_ptr<HttpsFront> m_receiverFront;
    QString m_failedStep;

    const QString m_tag = QString::number(QRandomGenerator::global()->generate(), 16);
    const QString m_email = "e2e-" + m_tag + "@greetwell.test";
    const QString m_password = QStringLiteral("front-desk-") + m_tag;
    const QString m_employee = QStringLiteral("Morgan Host");
    const QString m_hookPath = "/hooks/" + m_tag;
    const QString m_visitor = "Avery Guest " + m_tag;
    const QString m_guestEmail = "avery-" + m_tag + "@example.org";
    QString m_queue, m_badgeFile;
    // Where the desk's save dialog opens: the Documents folder of its private home.
    QString m_documents;

    static void expect(bool condition, const QString &what) {
        if (!condition)
            throw StepFailed(what.toStdString());
    }

    // Runs one step; a failure names it, says what it expected and what the screen
    // showed, and keeps a screenshot. Later steps build on earlier ones and do not run
    // after a failure.
    void step(int number, const QString &title, const std::function<void()> &body) {
        const QString name = QStringLiteral("step %1 (%2)").arg(number).arg(title);
        if (!m_failedStep.isEmpty())
            QFAIL(qPrintable("not run: " + m_failedStep + " failed"));
        QElapsedTimer timer;
        timer.start();
        try {
            body();
        } catch (const StepFailed &failure) {
            m_failedStep = name;
            const QString shot = m_output + QStringLiteral("/failed-step-%1.png").arg(number);
            const bool saved = m_desk->screenshot(shot);
            QFAIL(qPrintable(
                QStringLiteral("%1 failed: %2\nOn the screen:\n%3\n%4")
                    .arg(name, QString::fromStdString(failure.what()), m_desk->screenText(),
                         saved ? "Screenshot: " + shot : QStringLiteral("(no screenshot)"))));
        }
        qInfo("%s took %lld ms", qPrintable(name), timer.elapsed());
        m_desk->screenshot(m_output + QStringLiteral("/step-%1.png").arg(number));
    }

    void chooseMenuItem(const QString &menu, const QString &item) {
        m_desk->click(Look::text(menu).kind("action").in("mainWindow"));
        m_desk->click(Look::text(item).kind("action"));
    }

    void showSection(const QString &label, const QString &screen) {
        m_desk->click(Look::text(label).kind("item").within("sidebar"));
        m_desk->waitFor(Look::name(screen), "the " + label + " screen");
    }

    void launchDesk() {
        QProcessEnvironment servers;
        servers.insert("GREETWELL_TEST_BACKEND_URL", m_backend->url.toString());
        servers.insert("GREETWELL_TEST_API_KEY", m_backend->apikey);
        servers.insert("GREETWELL_TEST_CA_FILE", m_home.filePath("receiver-ca.pem"));
        m_desk->launch(servers);
        m_desk->waitFor(Look::name("mainWindow"), "the main window");
    }

    static void clearKeychainItem() {
        KeychainSessionStore store;
        store.save(std::nullopt);
        store.flush();
    }

    // Waits until a whole one-page PDF is at `path` (pdfinfo reads it).
    void waitForPdf(const QString &what, const QString &path) {
        m_desk->waitUntil(
            what + ' ' + path,
            [&path] {
                if (!QFile::exists(path))
                    return false;
                QProcess pdfinfo;
                pdfinfo.start("pdfinfo", {path});
                return pdfinfo.waitForFinished(10000) && pdfinfo.exitCode() == 0 &&
                       pdfinfo.readAllStandardOutput().contains("Pages:           1\n");
            },
            30000);
    }

    static QString pdfText(const QString &path) {
        QProcess pdftotext;
        pdftotext.start("pdftotext", {"-layout", path, "-"});
        if (!pdftotext.waitForFinished(10000) || pdftotext.exitCode() != 0)
            return {};
        return QString::fromUtf8(pdftotext.readAllStandardOutput());
    }

    // The cells of one CSV line whose cells are all quoted, as the export writes them.
    static QStringList csvCells(QString line) {
        if (line.size() < 2 || !line.startsWith('"') || !line.endsWith('"'))
            return {};
        QStringList cells = line.mid(1, line.size() - 2).split(QStringLiteral("\",\""));
        for (QString &cell : cells)
            cell.replace(QStringLiteral("\"\""), QStringLiteral("\""));
        return cells;
    }

    // Chooses Export > `item` on the Visitors screen and saves under the name the save
    // dialog proposes, in the folder it opens in; the file's path.
    QString exportThroughSaveDialog(const QString &item, const QString &suffix) {
        m_desk->click(Look::text("Export").kind("QToolButton").within("deskToolbar"));
        m_desk->click(Look::text(item).kind("action"));
        const QString dialog = QStringLiteral("exportSaveDialog");
        const Seen name =
            m_desk->waitFor(Look::name("fileNameEdit").in(dialog), "the proposed file name",
                            [&](const Seen &s) { return s.value.endsWith('.' + suffix); });
        const QString path = m_documents + '/' + name.value;
        QFile::remove(path);
        m_desk->click(Look::text("Save").kind("QPushButton").in(dialog));
        m_desk->waitGone(Look::name(dialog), "the save dialog to close");
        m_desk->waitGone(Look::name("exportProgress"), "the export to finish", 30000);
        expect(!m_desk->find(Look::name("actionErrorAlert")).found,
               "the export reported a problem");
        expect(QFile::exists(path), "no file at " + path + "; the Documents folder holds " +
                                        QDir(m_documents).entryList(QDir::Files).join(", "));
        return path;
    }

private slots:
    void initTestCase() {
        m_backend = BackendInfo::load();
        if (!m_backend)
            QSKIP("needs the local backend (run through ctest: fixture backend.start)");
        if (const QString missing = DeskRobot::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable("needs " + missing + " (scripts/install-deps installs them)"));
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs a Secret Service on the session bus (scripts/test starts one)");
        m_queue = qEnvironmentVariable("GREETWELL_PDF_QUEUE", "GreetwellPDF");
        if (!QPrinterInfo::availablePrinterNames().contains(m_queue))
            QSKIP(qPrintable("needs the CUPS queue " + m_queue + " (scripts/test sets it up)"));
        if (QStandardPaths::findExecutable("pdfinfo").isEmpty())
            QSKIP("needs pdfinfo (poppler-utils) to read the printed badge");
        const passwd *user = getpwuid(geteuid());
        QVERIFY(user);
        m_badgeFile = qEnvironmentVariable("GREETWELL_PDF_DIR", "/var/spool/cups-pdf/greetwell") +
                      '/' + QString::fromLocal8Bit(user->pw_name) + '/' +
                      QString("Visitor badge - " + m_visitor).replace(' ', '_') + ".pdf";

        QVERIFY(m_home.isValid());
        m_documents = m_home.filePath("desk/Documents");
        QVERIFY(QDir().mkpath(m_documents));
        QDir(m_output).removeRecursively();
        QVERIFY(QDir().mkpath(m_output));
        // Fresh keychain: no session stored by an earlier run.
        clearKeychainItem();
        QVERIFY(!KeychainSessionStore().load());

        m_receiverFront = std::make_unique<HttpsFront>(&m_receiver);
        QFile ca(m_home.filePath("receiver-ca.pem"));
        QVERIFY(ca.open(QIODevice::WriteOnly));
        ca.write(HttpsFront::certificatePem());
        ca.close();

        m_desk = std::make_unique<DeskRobot>(m_home.filePath("desk"), m_output);
        try {
            m_desk->startDisplay();
            launchDesk();
        } catch (const StepFailed &failure) {
            QFAIL(qPrintable(QStringLiteral("could not start the desk: ") + failure.what()));
        }
    }

    void cleanupTestCase() {
        if (m_desk)
            m_desk->stop();
        if (m_backend && !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            clearKeychainItem();
        if (!m_badgeFile.isEmpty())
            QFile::remove(m_badgeFile);
    }

    void signUp() {
        step(1, "sign up", [&] {
            m_desk->waitFor(Look::name("authView"), "the account screen");
            m_desk->click(Look::text("Create Account").kind("QPushButton"));
            m_desk->typeInto(Look::name("nameField"), "Riley Front");
            m_desk->typeInto(Look::name("emailField"), m_email);
            m_desk->typeInto(Look::name("passwordField"), m_password);
            m_desk->click(Look::name("submitButton"));
            m_desk->waitFor(Look::name("deskView"), "the desk after creating the account", {},
                            20000);
            m_desk->waitFor(Look::text("Today").within("deskDetail"), "the Today screen");
        });
    }

    void setUpFormEmployeeAndBadges() {
        step(2, "form, employee and badge printer", [&] {
            chooseMenuItem("File", "Settings\u2026");
            m_desk->waitFor(Look::name("settingsWindow"), "the settings window");
            m_desk->click(Look::text("Form").kind("tab").in("settingsWindow"));
            // The fourth question becomes the host, chosen from the employee list.
            m_desk->click(Look::name("slotSwitch3"));
            m_desk->waitFor(Look::name("slotSwitch3"), "the fourth question to be on",
                            [](const Seen &s) { return s.checked; });
            m_desk->typeInto(Look::name("slotLabel3"), "Host");
            m_desk->click(Look::name("slotEmployeeList3"));
            m_desk->waitFor(Look::name("slotEmployeeList3"), "Employee List to be ticked",
                            [](const Seen &s) { return s.checked; });
            m_desk->click(Look::text("Save").in("settingsWindow"));
            m_desk->waitFor(Look::name("saveFormButton"), "the form to be saved",
                            [](const Seen &s) { return !s.enabled; });
            m_desk->waitFor(Look::name("formCaption"), "the saved caption", [](const Seen &s) {
                return s.labels.contains("Saved to your account. iPads update on their next sync.");
            });
            const QString stored =
                runSql(*m_backend, "select f->>'label' || ':' || (f->>'employee_list') from "
                                   "kiosk_settings k join auth.users u on u.id = k.owner_id, "
                                   "jsonb_array_elements(k.fields) f where u.email = '" +
                                       m_email + "' and (f->>'slot')::int = 3");
            expect(stored == "Host:true", "the backend holds the fourth question as " + stored);

            m_desk->click(Look::text("Badges").kind("tab").in("settingsWindow"));
            m_desk->click(Look::text("Print a badge at each sign-in"));
            m_desk->waitFor(Look::name("autoPrintSwitch"), "automatic badges to be on",
                            [](const Seen &s) { return s.checked; });
            m_desk->click(Look::name("printerPicker"));
            m_desk->click(Look::text(m_queue).kind("item"));
            m_desk->waitFor(Look::name("printerPicker"), "the PDF queue to be chosen",
                            [&](const Seen &s) { return s.value == m_queue; });
            m_desk->pressKeys("Escape");
            m_desk->waitGone(Look::name("settingsWindow"), "the settings window to close");

            showSection("Employees", "employeesView");
            m_desk->click(Look::text("Add Employee").kind("QPushButton"));
            m_desk->waitFor(Look::name("employeeSheet"), "the Add Employee sheet");
            m_desk->typeInto(Look::name("employeeNameField"), m_employee);
            m_desk->typeInto(Look::name("employeeWebhookField"), m_receiverFront->url(m_hookPath));
            m_desk->click(Look::text("Save").in("employeeSheet"));
            m_desk->waitGone(Look::name("employeeSheet"), "the employee to be saved");
            m_desk->waitFor(Look::text(m_employee).kind("item").within("employeeList"),
                            "the employee in the list");
        });
    }

    void createInvite() {
        step(3, "create an invite", [&] {
            showSection("Invites", "invitesView");
            chooseMenuItem("File", "New Invite\u2026");
            m_desk->waitFor(Look::name("newInviteSheet"), "the New Invite sheet");
            m_desk->typeInto(Look::name("answerEdit0").in("newInviteSheet"), m_visitor);
            // The form's own Email question takes the address when it has one.
            const Look separate = Look::name("inviteEmailEdit").in("newInviteSheet");
            m_desk->typeInto(m_desk->find(separate).found
                                 ? separate
                                 : Look::text("Email (optional)").in("newInviteSheet"),
                             m_guestEmail);
            m_desk->click(Look::text("Choose an employee").in("newInviteSheet"));
            m_desk->click(Look::text(m_employee).kind("action"));
            m_desk->waitFor(Look::text("Host (optional)").in("newInviteSheet"),
                            "the host to be chosen",
                            [&](const Seen &s) { return s.value == m_employee; });
            m_desk->click(Look::text("Send Invite").in("newInviteSheet"));
            m_desk->waitGone(Look::name("newInviteSheet"), "the invite to be sent", 20000);
            m_desk->waitFor(Look::text(m_visitor).within("inviteList"), "the invite in the list");
            m_desk->waitFor(Look::name("inviteStatus").within("inviteList"),
                            "the invite to be waiting",
                            [](const Seen &s) { return s.labels.contains("Waiting"); });
            m_desk->waitUntil("the invitation e-mail in the backend's outbox", [&] {
                for (const QFileInfo &mail : QDir(m_backend->outbox).entryInfoList(QDir::Files)) {
                    QFile file(mail.filePath());
                    if (file.open(QIODevice::ReadOnly) &&
                        file.readAll().contains(m_guestEmail.toUtf8()))
                        return true;
                }
                return false;
            });
        });
    }

    void signInFromInvite() {
        step(4, "sign the invited visitor in", [&] {
            m_desk->click(Look::text("Sign In").kind("QPushButton").within("inviteList"));
            const QString sheet = QStringLiteral("inviteSignInSheet");
            m_desk->waitFor(Look::name("answerEdit0").in(sheet),
                            "the visitor's name from the invite",
                            [&](const Seen &s) { return s.value == m_visitor; });
            m_desk->waitFor(Look::text("Host (optional)").in(sheet), "the host from the invite",
                            [&](const Seen &s) { return s.value == m_employee; });
            m_desk->waitFor(Look::text("A badge will print").in(sheet), "the badge note");
            m_desk->click(Look::text("Sign In").kind("QPushButton").in(sheet));
            m_desk->waitGone(Look::name(sheet), "the sheet to close after signing in", 30000);

            m_desk->waitUntil("the host's alert at the receiver",
                              [&] { return !m_receiver.requestsTo(m_hookPath).isEmpty(); });
            const FakeHttpServer::Request alert = m_receiver.requestsTo(m_hookPath).first();
            const QJsonObject payload = QJsonDocument::fromJson(alert.body).object();
            expect(alert.method == "POST" && payload.value("visitor").toString() == m_visitor &&
                       payload.value("host").toString() == m_employee,
                   "the receiver got " + QString::fromUtf8(alert.method + ' ' + alert.body));
            waitForPdf("the badge PDF", m_badgeFile);
            m_desk->waitFor(Look::name("inviteStatus").within("inviteList"),
                            "the invite to show it was used", [](const Seen &s) {
                                return !s.labels.isEmpty() &&
                                       s.labels.first().startsWith("Signed in");
                            });
        });
    }

    void signOutEveryone() {
        step(5, "sign everyone out", [&] {
            showSection("Today", "todayView");
            m_desk->waitFor(Look::text(m_visitor).within("onSiteList"), "the visitor on site");
            m_desk->click(Look::text("Sign Out Everyone").within("deskToolbar"));
            m_desk->click(Look::text("Sign Out Everyone").in("signOutEveryoneConfirmation"));
            m_desk->waitFor(Look::text("No one on site"), "the empty on-site list");
            m_desk->waitFor(Look::name("statValue").within("onSiteTile"), "no one counted on site",
                            [](const Seen &s) { return s.labels.contains("0"); });
            const QString counts = runSql(
                *m_backend, "select count(*) filter (where signed_out_at is null) || '/' || "
                            "count(*) from visitors v join auth.users u on u.id = v.owner_id "
                            "where u.email = '" +
                                m_email + "'");
            expect(counts == "0/1", "visitors still on site / all, in the backend: " + counts);
        });
    }

    void exportTheLog() {
        step(6, "export the log as CSV and PDF", [&] {
            showSection("Visitors", "visitorsView");
            m_desk->waitFor(Look::text(m_visitor).kind("item").within("visitorsView"),
                            "the visitor in the log");

            const QString csvPath = exportThroughSaveDialog("Export as CSV\u2026", "csv");
            QFile csv(csvPath);
            expect(csv.open(QIODevice::ReadOnly), "cannot read " + csvPath);
            const QStringList lines = QString::fromUtf8(csv.readAll()).split("\r\n");
            const QStringList header = csvCells(lines.value(0));
            const qsizetype signedOut = header.indexOf("Signed out");
            expect(header.value(0) == "Name" && header.value(1) == "Visiting" && signedOut > 1,
                   "the CSV starts with " + lines.value(0));
            expect(lines.size() == 2, QStringLiteral("the CSV has %1 lines, not a heading and "
                                                     "the one visitor: ")
                                              .arg(lines.size()) +
                                          lines.join(" | "));
            const QStringList row = csvCells(lines.value(1));
            expect(row.value(0) == m_visitor && row.value(1) == m_employee &&
                       !row.value(signedOut).isEmpty(),
                   "the CSV's row is " + lines.value(1));

            const QString pdfPath = exportThroughSaveDialog("Export as PDF\u2026", "pdf");
            waitForPdf("the exported log", pdfPath);
            const QString text = pdfText(pdfPath);
            expect(text.contains(m_visitor) && text.contains(m_employee),
                   "the PDF's text is: " + text);
        });
    }

    void relaunchRestoresSession() {
        step(7, "quit, relaunch, session restored", [&] {
            chooseMenuItem("File", "Quit");
            const int code = m_desk->waitForExit(15000);
            expect(code == 0, QStringLiteral("greetwell quit with code %1").arg(code));
            const std::optional<CloudSession> stored = KeychainSessionStore().load();
            expect(stored && stored->email == m_email,
                   "the keychain item holds " + (stored ? stored->email : QString("no session")));

            launchDesk();
            m_desk->waitUntil("a first screen", [&] {
                return m_desk->find(Look::name("deskView")).found ||
                       m_desk->find(Look::name("authView")).found;
            });
            expect(!m_desk->find(Look::name("authView")).found,
                   "the relaunched desk asks to sign in again");
            chooseMenuItem("File", "Settings\u2026");
            m_desk->click(Look::text("Account").kind("tab").in("settingsWindow"));
            m_desk->waitFor(Look::name("accountEmail"), "the signed-in address",
                            [&](const Seen &s) { return s.labels.contains(m_email); });
            m_desk->pressKeys("Escape");
            m_desk->waitGone(Look::name("settingsWindow"), "the settings window to close");
        });
    }
};

GW_BACKEND_TEST(EndToEndTest)
#include "EndToEndTest.moc"
