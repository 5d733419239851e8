// The desk model against the local backend: settings saved by one desk load on another,
// a sign-in from an invite shows up on site and marks the invite, and everyone leaves.

#include "FakeDesk.h"
#include "support/BackendFixture.h"
#include "support/TestMain.h"

#include "badge/BadgePrintResult.h"

#include <QTest>

class AppModelBackendTests : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> m_info;
    QNetworkAccessManager m_network;

    std::unique_ptr<CloudClient> clientFor(const TestAccount &account) {
        auto store = std::make_shared<MemorySessionStore>();
        store->stored = CloudSession{account.accessToken, account.refreshToken,
                                     QDateTime::currentDateTimeUtc().addSecs(3000), account.userId,
                                     account.email};
        CloudClient::Config config;
        config.backendBaseURL = m_info->url;
        config.websiteBaseURL = m_info->url;
        config.publishableKey = m_info->apikey;
        return std::make_unique<CloudClient>(&m_network, store, config);
    }

private slots:
    void initTestCase() {
        m_info = BackendInfo::load();
        if (!m_info)
            QSKIP("needs the local backend fixture");
    }

    void aMorningAtTheDesk() {
        const TestAccount account = createTestAccount(*m_info);
        const QString owner = account.userId.toString(QUuid::WithoutBraces);
        auto cloud = clientFor(account);
        AppModel desk(cloud.get(), nullptr, nullptr);

        waitTask(desk.loadSettings());
        QVERIFY(!desk.hasSavedForm());
        QCOMPARE(desk.settings(), KioskSettings::defaults());

        KioskSettings form = KioskSettings::defaults();
        form.fields.append(KioskField{3, " Host ", "Plain Text", false, true});
        form.employees = {"Zoë Brandt", "item 10", "Item 2", " zoë brandt"};
        waitTask(desk.saveForm(form));
        waitTask(desk.saveEmployee({}, QStringLiteral(" Bob "), "https://hooks.example.com/bob"));
        QCOMPARE(desk.settings().employees,
                 (QStringList{"Bob", "Item 2", "item 10", "Zoë Brandt"}));

        // Another desk of the same account loads what this one saved.
        AppModel other(cloud.get(), nullptr, nullptr);
        waitTask(other.loadSettings());
        QVERIFY(other.hasSavedForm());
        QCOMPARE(other.settings(), desk.settings());
        QCOMPARE(other.notifications(), desk.notifications());
        QCOMPARE(other.notifications().employeeWebhooks,
                 (QMap<QString, QString>{{"Bob", "https://hooks.example.com/bob"}}));

        // A visitor arrives with an invite whose host answer differs in case and accents.
        const QString inviteID =
            runSql(*m_info, QStringLiteral("insert into invites (owner_id, token, visitor_name, "
                                           "visitor_email, answers) values ('%1', "
                                           "'desk-model-invite-token-0001', 'Ivy Invited', "
                                           "'ivy@example.com', '[{\"slot\":3,\"value\":\"zoe "
                                           "BRANDT\"}]') returning id")
                                .arg(owner));
        const QList<Invite> invites = waitTask(cloud->fetchInvites(true, 200));
        QCOMPARE(invites.size(), 1);
        const BadgePrintResult result =
            waitTask(desk.signIn(AppModel::draftFromInvite(invites.first()), invites.first()));
        QCOMPARE(result, BadgePrintResult::skipped);
        QVERIFY(!desk.error());
        QCOMPARE(desk.onSite().size(), 1);
        const VisitorRow ivy = desk.onSite().first();
        QCOMPARE(ivy.visitorName, QStringLiteral("Ivy Invited"));
        QCOMPARE(ivy.hostName, std::optional<QString>("Zoë Brandt"));
        QCOMPARE(ivy.answers, (QList<VisitorAnswer>{{"Host", "zoe BRANDT"}}));
        QCOMPARE(ivy.deviceName, std::optional<QString>(AppModel::deviceName()));
        QCOMPARE(desk.counts(), (DeskCounts{1, 1, 1}));
        QCOMPARE(desk.visitorRevision(), 1);
        QCOMPARE(runSql(*m_info, QStringLiteral("select used_at is not null from invites where "
                                                "id = '%1'")
                                     .arg(inviteID)),
                 QStringLiteral("t"));

        // Two more came in on a kiosk; everyone leaves at once.
        seedVisitors(*m_info, account.userId, 2, 2);
        waitTask(desk.refresh());
        QCOMPARE(desk.onSite().size(), 3);
        QCOMPARE(waitTask(desk.signOutEveryone()), 0);
        QVERIFY(desk.onSite().isEmpty());
        QCOMPARE(desk.counts().onSite, 0);
        QCOMPARE(desk.visitorRevision(), 4);
        QCOMPARE(runSql(*m_info, QStringLiteral("select count(*) from visitors where owner_id = "
                                                "'%1' and signed_out_at is null")
                                     .arg(owner)),
                 QStringLiteral("0"));
    }
};

GW_BACKEND_TEST(AppModelBackendTests)
#include "AppModelBackendTests.moc"
