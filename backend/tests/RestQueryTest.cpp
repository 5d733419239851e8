// The REST query language on its own: parsing a request's parameters into a plan, and the
// plan into one statement whose values are all bound parameters.

#include "RestQuery.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const TableDef visitors{"visitors",
                        {"id", "visitor_name", "host_name", "signed_in_at", "signed_out_at"}};

rest::Query parsed(const rest::Params &params) {
    auto result = rest::parseQuery(visitors, params);
    if (const auto *error = std::get_if<rest::Error>(&result))
        ADD_FAILURE() << "refused: " << error->message << " / " << error->details.value_or("");
    return std::get<rest::Query>(std::move(result));
}

rest::Error refused(const rest::Params &params) {
    auto result = rest::parseQuery(visitors, params);
    EXPECT_TRUE(std::holds_alternative<rest::Error>(result));
    return std::holds_alternative<rest::Error>(result) ? std::get<rest::Error>(result)
                                                       : rest::Error{};
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(RestQuery, ReadsSelectOrderPagingAndFilters) {
    const auto query = parsed({{"select", " visitor_name ,\thost_name"},
                               {"order", "signed_in_at.desc.nullslast,id"},
                               {"limit", " 50 "},
                               {"offset", "100"},
                               {"signed_out_at", "is.NULL"},
                               {"visitor_name", "not.ilike.*Lee*"},
                               {"signed_in_at", "gte.2026-03-01"},
                               {"signed_in_at", "lt.2026-03-02"}});
    EXPECT_EQ(query.select, (std::vector<std::string>{"visitor_name", "host_name"}));
    ASSERT_EQ(query.order.size(), 2u);
    EXPECT_EQ(query.order[0].column, "signed_in_at");
    EXPECT_TRUE(query.order[0].descending);
    EXPECT_EQ(query.order[0].nulls, rest::Order::Nulls::Last);
    EXPECT_FALSE(query.order[1].descending);
    EXPECT_EQ(query.limit, 50);
    EXPECT_EQ(query.offset, 100);
    // A repeated key adds a condition; "*" is PostgREST's LIKE wildcard; IS keywords
    // are case-insensitive.
    ASSERT_EQ(query.filters.size(), 4u);
    EXPECT_EQ(query.filters[0].op, "is");
    EXPECT_EQ(query.filters[0].value, "null");
    EXPECT_TRUE(query.filters[1].negate);
    EXPECT_EQ(query.filters[1].value, "%Lee%");
    EXPECT_EQ(query.filters[3].op, "lt");
    EXPECT_TRUE(parsed({{"select", "*"}}).select.empty());
    EXPECT_TRUE(parsed({{"select", ""}}).select.empty());
}

TEST(RestQuery, RefusesWhatItCannotPlan) {
    // Names outside the table never reach SQL.
    EXPECT_EQ(refused({{"select", "id,password"}}).code, "42703");
    EXPECT_EQ(refused({{"order", "secret.desc"}}).code, "42703");
    EXPECT_EQ(refused({{"owner_id", "eq.x"}}).code, "42703");
    EXPECT_EQ(refused({{"select", "id;drop table visitors"}}).code, "PGRST100");
    EXPECT_EQ(refused({{"select", "\"id\""}}).code, "PGRST100");
    EXPECT_EQ(refused({{"order", "id.sideways"}}).code, "PGRST100");
    EXPECT_EQ(refused({{"id", "between.1"}}).code, "PGRST100");
    EXPECT_EQ(refused({{"id", "eq"}}).code, "PGRST100");
    EXPECT_EQ(refused({{"signed_out_at", "is.maybe"}}).code, "PGRST100");
    EXPECT_EQ(refused({{"on_conflict", "id,nope"}}).code, "42703");
    // A NUL would cut the value short on its way to the database.
    EXPECT_EQ(refused({{"visitor_name", std::string("eq.a\0b", 6)}}).code, "PGRST100");

    const auto negative = refused({{"limit", "-1"}});
    EXPECT_EQ(negative.status, 416);
    EXPECT_EQ(negative.code, "PGRST103");
    EXPECT_EQ(refused({{"limit", "ten"}}).status, 400);
    EXPECT_EQ(refused({{"limit", "5x"}}).status, 400);
    EXPECT_EQ(refused({{"offset", "-5"}}).code, "PGRST100");
}

TEST(RestQuery, BindsEveryValue) {
    const std::string hostile = "x' OR '1'='1";
    const auto query = parsed({{"visitor_name", "eq." + hostile},
                               {"host_name", "neq.Dana"},
                               {"signed_out_at", "is.null"},
                               {"limit", "10"},
                               {"offset", "20"}});
    const auto select = rest::buildSelect(query, true);
    EXPECT_FALSE(contains(select.sql, hostile));
    EXPECT_FALSE(contains(select.sql, "Dana"));
    EXPECT_EQ(select.params, (std::vector<std::string>{hostile, "Dana", "10", "20"}));
    // The count repeats the conditions with the same parameters, and no others.
    EXPECT_TRUE(contains(select.sql, "(SELECT pg_catalog.count(*) FROM \"public\".\"visitors\" "
                                     "AS pgrst_t WHERE pgrst_t.\"visitor_name\" = $1 AND "
                                     "pgrst_t.\"host_name\" <> $2 AND pgrst_t.\"signed_out_at\" "
                                     "IS NULL)"));
    EXPECT_TRUE(contains(select.sql, "LIMIT $3::bigint OFFSET $4::bigint"));
    EXPECT_FALSE(contains(rest::buildSelect(query, false).sql, "(SELECT pg_catalog.count"));

    const auto removal = rest::buildDelete(parsed({{"id", "not.eq.7"}}), false);
    EXPECT_TRUE(contains(removal.sql, "WHERE NOT (pgrst_t.\"id\" = $1)"));
    EXPECT_EQ(removal.params, std::vector<std::string>{"7"});

    const std::string payload = R"({"host_name":"Robert'); DROP TABLE visitors;--"})";
    const auto update = rest::buildUpdate(parsed({{"id", "eq.9"}}), {"host_name"}, payload, true);
    EXPECT_FALSE(contains(update.sql, "DROP"));
    EXPECT_EQ(update.params, (std::vector<std::string>{payload, "9"}));
    EXPECT_TRUE(contains(update.sql, "SET \"host_name\" = pgrst_body.\"host_name\""));
}

TEST(RestQuery, BuildsInsertsAndUpserts) {
    const auto query = parsed({{"on_conflict", "id"}});
    const std::vector<std::string> columns{"id", "visitor_name"};
    const auto merge =
        rest::buildInsert(query, columns, "[]", rest::Prefer::Resolution::MergeDuplicates, true);
    EXPECT_TRUE(contains(merge.sql, "ON CONFLICT (\"id\") DO UPDATE SET \"id\" = EXCLUDED.\"id\", "
                                    "\"visitor_name\" = EXCLUDED.\"visitor_name\""));
    EXPECT_TRUE(contains(merge.sql, "json_agg"));
    const auto ignore =
        rest::buildInsert(query, columns, "[]", rest::Prefer::Resolution::IgnoreDuplicates, false);
    EXPECT_TRUE(contains(ignore.sql, "DO NOTHING"));
    EXPECT_FALSE(contains(ignore.sql, "json_agg"));
    // Without a resolution, on_conflict alone does not turn an insert into an upsert.
    EXPECT_FALSE(
        contains(rest::buildInsert(query, columns, "[]", rest::Prefer::Resolution::None, false).sql,
                 "ON CONFLICT"));
    // An object without keys inserts a row of defaults: no column list at all.
    EXPECT_TRUE(contains(
        rest::buildInsert(parsed({}), {}, "[{}]", rest::Prefer::Resolution::None, false).sql,
        "INSERT INTO \"public\".\"visitors\" AS pgrst_t SELECT  FROM"));
}

TEST(RestQuery, ReadsAndEchoesPreferences) {
    const auto prefer = rest::Prefer::parse(
        {"return=representation, count=exact", "resolution=merge-duplicates,unknown=1"});
    EXPECT_EQ(prefer.ret, rest::Prefer::Return::Representation);
    EXPECT_TRUE(prefer.countExact);
    EXPECT_EQ(prefer.resolution, rest::Prefer::Resolution::MergeDuplicates);
    EXPECT_EQ(prefer.applied(true), "resolution=merge-duplicates, return=representation, "
                                    "count=exact");
    EXPECT_EQ(prefer.applied(false), "return=representation, count=exact");
    EXPECT_EQ(rest::Prefer::parse({}).applied(true), "");
}

TEST(RestQuery, WritesRangesAndStatuses) {
    EXPECT_EQ(rest::contentRange(0, 9, 42), "0-9/42");
    EXPECT_EQ(rest::contentRange(0, 9, std::nullopt), "0-9/*");
    EXPECT_EQ(rest::contentRange(0, -1, 0), "*/0");
    EXPECT_EQ(rest::contentRange(5, 4, 5), "*/5");
    EXPECT_EQ(rest::readStatus(0, 10, std::nullopt), 200);
    EXPECT_EQ(rest::readStatus(0, 10, 10), 200);
    EXPECT_EQ(rest::readStatus(0, 10, 11), 206);
    EXPECT_EQ(rest::readStatus(5, 5, 10), 206);
    EXPECT_EQ(rest::readStatus(11, 0, 10), 416);

    EXPECT_EQ(rest::statusForSqlState("23505"), 409);
    EXPECT_EQ(rest::statusForSqlState("23503"), 409);
    EXPECT_EQ(rest::statusForSqlState("23514"), 400);
    EXPECT_EQ(rest::statusForSqlState("42501"), 403);
    EXPECT_EQ(rest::statusForSqlState("42P01"), 404);
    EXPECT_EQ(rest::statusForSqlState("57014"), 504);
    EXPECT_EQ(rest::statusForSqlState("08006"), 503);
    // A single code wins over its class, whichever the table names first.
    EXPECT_EQ(rest::statusForSqlState("53400"), 500);
    EXPECT_EQ(rest::statusForSqlState("53300"), 503);
    EXPECT_EQ(rest::statusForSqlState("25006"), 405);
    EXPECT_EQ(rest::statusForSqlState("25P02"), 500);
    EXPECT_EQ(rest::statusForSqlState("P0001"), 400);
    EXPECT_EQ(rest::statusForSqlState("P0002"), 500);
    EXPECT_EQ(rest::statusForSqlState("57P01"), 503);
    EXPECT_EQ(rest::statusForSqlState("54001"), 413);
    EXPECT_EQ(rest::statusForSqlState("PT404"), 404);
    EXPECT_EQ(rest::statusForSqlState("PT600"), 400); // not an HTTP error status
    EXPECT_EQ(rest::statusForSqlState("PT4x4"), 400);
    EXPECT_EQ(rest::statusForSqlState("XX000"), 500);
}

TEST(RestQuery, MeasuresJsonNesting) {
    EXPECT_EQ(rest::jsonDepth(""), 0);
    EXPECT_EQ(rest::jsonDepth(R"({"a":[1,{"b":[]}]})"), 4);
    // Brackets inside strings, escaped quotes included, are text.
    EXPECT_EQ(rest::jsonDepth(R"(["[[[", "\"[[[", {"}}}": "]"}])"), 2);
    EXPECT_EQ(rest::jsonDepth(std::string(100, '[') + std::string(100, ']')), 100);
}
