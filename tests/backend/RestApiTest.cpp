// The REST API as the desk uses it: inserts, reads with counts and ranges, filters and
// search, sign-out updates and settings upserts.

#include "Tables.h"
#include "support/BackendKit.h"
#include "support/TestMain.h"

using namespace kit;

namespace {

QByteArray newVisitor(const QString &name, const QString &signedInAt,
                      const QString &deviceRecord = QUuid::createUuid().toString()) {
    return compact(
        {{u"device_record_id"_s, deviceRecord},
         {u"visitor_name"_s, name},
         {u"answers"_s, QJsonArray{QJsonObject{{u"label"_s, "Company"}, {u"value"_s, "Acme"}}}},
         {u"signed_in_at"_s, signedInAt}});
}

QStringList names(const HttpReply &reply) {
    QStringList out;
    for (const auto &row : reply.json().array())
        out << row.toObject().value(u"visitor_name"_s).toString();
    return out;
}

} // namespace

class RestApiTest : public QObject {
    Q_OBJECT
    std::optional<BackendInfo> info = BackendInfo::load();
    TestAccount fiftySeven; // exactly 57 visitors, 4 on site
    TestAccount searched;   // the five visitors of filtersAndSearch

private slots:
    void initTestCase() {
        if (!info)
            return;
        fiftySeven = createTestAccount(*info);
        seedVisitors(*info, fiftySeven.userId, 57, 4);
        searched = createTestAccount(*info);
        int minute = 0;
        for (const char *name : {"50% off", "50 percent", "a_b", "axb", "c:\\temp"})
            rest(*info, searched.accessToken, "POST", u"visitors"_s,
                 newVisitor(QString::fromUtf8(name), u"2026-03-01T09:0%1:00Z"_s.arg(minute++)));
    }

    void countsAndRanges_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("count");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contentRange");
        QTest::addColumn<int>("rows"); // -1: an error body
        QTest::newRow("count, one row") << "limit=1" << true << 206 << "0-0/57" << 1;
        QTest::newRow("count of none")
            << "limit=1&signed_in_at=lt.2000-01-01T00:00:00Z" << true << 200 << "*/0" << 0;
        QTest::newRow("all in one page") << "limit=100" << true << 200 << "0-56/57" << 57;
        QTest::newRow("last page") << "limit=50&offset=50" << true << 206 << "50-56/57" << 7;
        QTest::newRow("past the end") << "limit=50&offset=58" << true << 416 << "*/57" << -1;
        QTest::newRow("without count") << "limit=10" << false << 200 << "0-9/*" << 10;
    }
    void countsAndRanges() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, query);
        QFETCH(bool, count);
        QFETCH(int, status);
        QFETCH(QString, contentRange);
        QFETCH(int, rows);
        const HttpReply reply =
            rest(*info, fiftySeven.accessToken, "GET", u"visitors?select=id&"_s + query, {},
                 count ? "count=exact" : QByteArray());
        QCOMPARE(reply.status, status);
        QCOMPARE(QString::fromLatin1(reply.header("content-range")), contentRange);
        if (rows >= 0)
            QCOMPARE(reply.json().array().size(), rows);
        else
            QCOMPARE(field(reply, "code"), u"PGRST103"_s);
    }

    void filtersAndSearch_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected"); // newest first unless the query orders
        // The desk escapes % and _ with a backslash; "*" is PostgREST's wildcard.
        auto search = [](const char *name, const char *pattern, const QStringList &expected) {
            QTest::newRow(name) << u"search_text=ilike."_s +
                                       QString::fromLatin1(QUrl::toPercentEncoding(pattern))
                                << expected;
        };
        search("escaped percent", "%50\\%%", {"50% off"});
        search("escaped underscore", "%a\\_b%", {"a_b"});
        search("plain underscore is a wildcard", "%a_b%", {"axb", "a_b"});
        search("star is a wildcard", "*percent*", {"50 percent"});
        search("escaped backslash", "%c:\\\\temp%", {"c:\\temp"});
        // Answers are searched too, whatever their case.
        search("answer, upper case", "%ACME%", {"c:\\temp", "axb", "a_b", "50 percent", "50% off"});
        // A "+" in a time zone offset travels as %2B.
        QTest::newRow("gte and lt")
            << "signed_in_at=gte.2026-03-01T10:01:00%2B01:00&signed_in_at=lt.2026-03-01T09:03:00Z"
            << QStringList{"a_b", "50 percent"};
        QTest::newRow("ascending page")
            << "order=signed_in_at.asc&limit=2&offset=1" << QStringList{"50 percent", "a_b"};
    }
    void filtersAndSearch() {
        GW_REQUIRE_BACKEND(info);
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        if (!query.contains(u"order="_s))
            query += u"&order=signed_in_at.desc"_s;
        const HttpReply reply =
            rest(*info, searched.accessToken, "GET", u"visitors?select=visitor_name&"_s + query);
        QCOMPARE(reply.status, 200);
        QCOMPARE(names(reply), expected);
    }

    void insertThenSignOutOnce() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        const QByteArray body =
            newVisitor(u"Ada"_s, u"2026-03-01T09:00:00+01:00"_s, u"device-record-1"_s);
        const HttpReply inserted = rest(*info, account.accessToken, "POST", u"visitors?select=id"_s,
                                        body, "return=representation");
        QCOMPARE(inserted.status, 201);
        const QJsonObject row = inserted.json().array().first().toObject();

        // A retried upload of the same record is a conflict, not a second row.
        const HttpReply again = rest(*info, account.accessToken, "POST", "visitors", body);
        QCOMPARE(again.status, 409);
        QCOMPARE(field(again, "code"), u"23505"_s);

        // Two desks signing the same visitor out: the first time stands.
        const QString path =
            u"visitors?id=eq.%1&signed_out_at=is.null"_s.arg(row.value(u"id"_s).toString());
        for (const char *at : {"2026-03-01T10:00:00Z", "2026-03-01T11:00:00Z"}) {
            const HttpReply out = rest(*info, account.accessToken, "PATCH", path,
                                       compact({{u"signed_out_at"_s, at}}), "return=minimal");
            QCOMPARE(out.status, 204);
            QVERIFY(out.body.isEmpty());
        }
        QCOMPARE(runSql(*info, QStringLiteral("select count(*) || ' ' || string_agg(to_char("
                                              "signed_out_at at time zone 'UTC', 'HH24:MI'), '') "
                                              "from visitors where owner_id = '%1'")
                                   .arg(uuidText(account.userId))),
                 u"1 10:00"_s);
    }

    void upsertCreatesThenMerges() {
        GW_REQUIRE_BACKEND(info);
        const TestAccount account = createTestAccount(*info);
        auto upsert = [&](const QJsonObject &changes) {
            QJsonObject body = changes;
            body.insert(u"owner_id"_s, uuidText(account.userId));
            return rest(*info, account.accessToken, "POST",
                        u"kiosk_settings?on_conflict=owner_id"_s, compact(body),
                        "resolution=merge-duplicates,return=minimal");
        };
        const QJsonArray fields{QJsonObject{{u"slot"_s, 0}, {u"label"_s, "Name"}}};
        const HttpReply created = upsert(
            {{u"fields"_s, fields}, {u"employees"_s, QJsonArray{"Bob"}}, {u"place_name"_s, "HQ"}});
        QCOMPARE(created.status, 201);
        QVERIFY(created.body.isEmpty());
        // Only the employees: the form and the place name stay.
        QCOMPARE((upsert({{u"employees"_s, QJsonArray{"Bob", "Cy"}}}).status), 200);
        QCOMPARE(rest(*info, account.accessToken, "GET",
                      u"kiosk_settings?select=fields,employees,place_name"_s)
                     .json()
                     .array(),
                 (QJsonArray{QJsonObject{{u"fields"_s, fields},
                                         {u"employees"_s, QJsonArray{"Bob", "Cy"}},
                                         {u"place_name"_s, "HQ"}}}));
    }

    // The server's list of what the API may name is written by hand: it must name every
    // column of each exposed table, in table order (select=* returns them so), and
    // nothing the database does not have.
    void exposedColumnsMatchTheSchema() {
        GW_REQUIRE_BACKEND(info);
        for (const TableDef &table : exposedTables()) {
            const QString actual =
                runSql(*info, u"select string_agg(column_name, ',' order by ordinal_position) from "
                              "information_schema.columns where table_schema = 'public' and "
                              "table_name = '%1'"_s.arg(QString::fromStdString(table.name)));
            QStringList listed;
            for (const std::string &column : table.columns)
                listed << QString::fromStdString(column);
            QCOMPARE(listed.join(u','), actual);
        }
    }
};

GW_BACKEND_TEST(RestApiTest)
#include "RestApiTest.moc"
