// The database tool against the real PostgreSQL server: connection test and failure lines,
// the schema query with its bound parameter, the SELECT classification and commits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "norvex/dbkit/dbkit.hpp"
#include "norvex/error.hpp"
#include "scratch.hpp"

namespace norvex::dbkit {
namespace {

using test::printed_by;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

class PgTool : public norvex::test::PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    test::use_ordinary_role(server_, server_.database);
  }

  std::optional<PgConnection> connect_as_test_role(const std::optional<std::string>& database) {
    return get_pgdb_connection(server_.user, server_.password, server_.host, server_.port,
                               database);
  }

  std::string refused_prefix() const {
    return "connection to server at \"127.0.0.1\", port " + std::to_string(server_.port) +
           " failed: ";
  }
};

TEST_F(PgTool, ConnectionTestSucceedsAndFailsWithTextsOnly) {
  const int closed = norvex::test::closed_local_port();
  const std::string printed = printed_by([&] {
    EXPECT_EQ(get_db_connection("PostgreSQL", server_.user, server_.password, server_.host,
                                server_.port, server_.database),
              "Success! Connection Established! .");
    EXPECT_THAT(get_db_connection("PostgreSQL", server_.user, server_.password, "127.0.0.1", closed,
                                  server_.database),
                StartsWith("Failed to connect to PostgreSQL database: connection to server at "
                           "\"127.0.0.1\", port " +
                           std::to_string(closed) + " failed: Connection refused"));
    const std::string refused = get_db_connection("PostgreSQL", server_.user, "wrong;pw",
                                                  server_.host, server_.port, server_.database);
    EXPECT_EQ(refused, "Failed to connect to PostgreSQL database: " + refused_prefix() +
                           "FATAL:  password authentication failed for user \"norvex_test\"");
    EXPECT_EQ(get_db_connection("PostgreSQL", server_.user, server_.password, server_.host,
                                std::string("54x"), server_.database),
              "Failed to connect to PostgreSQL database: invalid integer value \"54x\" for "
              "connection option \"port\"");
  });
  EXPECT_EQ(printed, "");
}

TEST_F(PgTool, RefusedConnectionPrintsTheErrorLineAndGivesNothing) {
  std::optional<PgConnection> connection;
  EXPECT_EQ(printed_by([&] { connection = connect_as_test_role("norvex_no_such_db"); }),
            "The error '" + refused_prefix() +
                "FATAL:  database \"norvex_no_such_db\" does not exist' occurred\n");
  EXPECT_FALSE(connection.has_value());
}

TEST_F(PgTool, ValuesTheClientCannotCarryAreErrorsThatReachTheCaller) {
  const std::string with_nul("pw\0x", 4);
  EXPECT_THROW((void)get_pgdb_connection(server_.user, with_nul, server_.host, server_.port,
                                         server_.database),
               ArgumentError);

  // The schema reader and the query runner catch it and print their own line.
  set_database_config(server_.database, server_.user, with_nul, server_.host, server_.port);
  std::optional<Schema> schema;
  EXPECT_EQ(printed_by([&] { schema = get_pgdb_schema(); }),
            "An error occurred: the password must not contain a NUL character\n");
  ASSERT_TRUE(schema.has_value());
  EXPECT_TRUE(schema->empty());
  std::optional<std::vector<PgRow>> rows{std::vector<PgRow>{}};
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("SELECT 1"); }),
            "An error occurred while executing the query: the password must not contain a NUL "
            "character\n");
  EXPECT_FALSE(rows.has_value());
}

TEST_F(PgTool, ConnectionRunsStatementsWithBoundParametersInATransaction) {
  auto connection = connect_as_test_role(server_.database);
  ASSERT_TRUE(connection.has_value());
  // The parameter is bound, never spliced: a quote in it is just data.
  const PgResult result =
      connection->execute("SELECT name FROM artist WHERE name = $1 OR name = $2 ORDER BY name",
                          {"AC/DC", "x' OR '1'='1"});
  EXPECT_EQ(result.columns, (std::vector<std::string>{"name"}));
  EXPECT_EQ(result.rows, (std::vector<PgRow>{{Cell::text("AC/DC")}}));
  // Automatic commit is off: the statement opened a transaction.
  const PgResult in_transaction = connection->execute("SELECT now() = statement_timestamp()");
  EXPECT_EQ(in_transaction.rows, (std::vector<PgRow>{{Cell::boolean(false)}}));
}

TEST_F(PgTool, CellsAreTypedAfterTheirColumns) {
  const auto rows = execute_pgdb_query(
      "SELECT 1::int2, 2::int4, 9223372036854775807::int8, 0.99::numeric(5,2), 2.5::float8, "
      "'Infinity'::float4, 'Zoë'::text, NULL, true, '\\x00ff'::bytea, DATE '2021-01-02', "
      "TIME '13:45:00', TIMESTAMP '2021-01-02 03:04:05', '{1,2}'::int[]");
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(
      *rows,
      (std::vector<PgRow>{{Cell::integer(1), Cell::integer(2), Cell::integer(9223372036854775807),
                           Cell::decimal("0.99"), Cell::floating(2.5), Cell::floating(INFINITY),
                           Cell::text("Zoë"), Cell::null(), Cell::boolean(true),
                           Cell::bytes(std::string("\x00\xff", 2)), Cell::date("2021-01-02"),
                           Cell::time("13:45:00"), Cell::timestamp("2021-01-02 03:04:05"),
                           Cell::text("{1,2}")}}));
}

TEST_F(PgTool, SchemaOfChinookListsTablesWithStandardTypeNames) {
  std::optional<Schema> schema;
  EXPECT_EQ(printed_by([&] { schema = get_pgdb_schema(); }), "");
  ASSERT_TRUE(schema.has_value());
  auto names = schema->table_names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"album", "artist", "customer", "employee", "genre",
                                             "invoice", "invoice_line", "media_type", "playlist",
                                             "playlist_track", "track"}));
  EXPECT_EQ(*schema->find("artist"),
            (std::vector<ColumnInfo>{{"artist_id", "integer"}, {"name", "character varying"}}));
}

TEST_F(PgTool, SchemaListsViewsAndMergesSameNamedTablesOfOtherSchemas) {
  test::PgScratch scratch(server_);
  std::optional<Schema> schema;
  scratch.use_as_config();
  EXPECT_EQ(printed_by([&] { schema = get_pgdb_schema(); }), "");
  ASSERT_TRUE(schema.has_value());
  EXPECT_TRUE(schema->empty());

  scratch.run(
      "CREATE TABLE items (id integer, label text);"
      "CREATE SCHEMA archive; CREATE TABLE archive.items (archived_on date);"
      "CREATE VIEW labels AS SELECT label FROM items;"
      "CREATE TABLE \"Odd name\" (\"x-y\" numeric(4,1));");
  EXPECT_EQ(printed_by([&] { schema = get_pgdb_schema(); }), "");
  ASSERT_TRUE(schema.has_value());
  auto names = schema->table_names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Odd name", "items", "labels"}));
  auto items = *schema->find("items");
  std::sort(items.begin(), items.end(),
            [](const ColumnInfo& a, const ColumnInfo& b) { return a.name < b.name; });
  EXPECT_EQ(items, (std::vector<ColumnInfo>{
                       {"archived_on", "date"}, {"id", "integer"}, {"label", "text"}}));
  EXPECT_EQ(*schema->find("labels"), (std::vector<ColumnInfo>{{"label", "text"}}));
  EXPECT_EQ(*schema->find("Odd name"), (std::vector<ColumnInfo>{{"x-y", "numeric"}}));
}

TEST_F(PgTool, UnreachableServerGivesNothingWithOnlyTheConnectionLine) {
  const int closed = norvex::test::closed_local_port();
  set_database_config(server_.database, server_.user, server_.password, "127.0.0.1", closed);
  std::optional<Schema> schema{Schema{}};
  EXPECT_THAT(printed_by([&] { schema = get_pgdb_schema(); }),
              MatchesRegex("The error 'connection to server at \"127\\.0\\.0\\.1\", port [0-9]+ "
                           "failed: Connection refused.*' occurred\n"));
  EXPECT_FALSE(schema.has_value());
  std::optional<std::vector<PgRow>> rows{std::vector<PgRow>{}};
  EXPECT_THAT(printed_by([&] { rows = execute_pgdb_query("SELECT 1"); }),
              StartsWith("The error 'connection to server at"));
  EXPECT_FALSE(rows.has_value());
}

TEST_F(PgTool, OnlyTextsBeginningWithSelectReturnRows) {
  std::optional<std::vector<PgRow>> rows;
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("  select 1"); }), "");
  EXPECT_EQ(rows, (std::vector<PgRow>{{Cell::integer(1)}}));

  rows = std::vector<PgRow>{};
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("WITH t AS (SELECT 1) SELECT * FROM t"); }),
            "");
  EXPECT_FALSE(rows.has_value());
  rows = std::vector<PgRow>{};
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("(SELECT 1)"); }), "");
  EXPECT_FALSE(rows.has_value());
}

TEST_F(PgTool, OtherStatementsAreCommittedAndQueriesAreNot) {
  test::PgScratch scratch(server_);
  scratch.run("CREATE TABLE t (id integer)");
  scratch.use_as_config();
  std::optional<std::vector<PgRow>> rows{std::vector<PgRow>{}};
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("INSERT INTO t VALUES (1)"); }), "");
  EXPECT_FALSE(rows.has_value());
  EXPECT_EQ(printed_by([&] {
              rows =
                  execute_pgdb_query("WITH n AS (SELECT 2 AS id) INSERT INTO t SELECT id FROM n");
            }),
            "");
  // A SELECT is never committed: the row its function inserts is gone with the connection.
  scratch.run(
      "CREATE FUNCTION add_three() RETURNS integer LANGUAGE sql AS "
      "'INSERT INTO t VALUES (3) RETURNING id'");
  EXPECT_EQ(execute_pgdb_query("SELECT add_three()"), (std::vector<PgRow>{{Cell::integer(3)}}));
  EXPECT_EQ(execute_pgdb_query("SELECT id FROM t ORDER BY id"),
            (std::vector<PgRow>{{Cell::integer(1)}, {Cell::integer(2)}}));

  // A query that returns no rows to fetch fails the fetch, so nothing is committed.
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("SELECT 1 INTO made_by_select"); }),
            "An error occurred while executing the query: no results to fetch\n");
  EXPECT_FALSE(rows.has_value());
  EXPECT_EQ(execute_pgdb_query("SELECT count(*) FROM pg_tables WHERE tablename = 'made_by_select'"),
            (std::vector<PgRow>{{Cell::integer(0)}}));
}

TEST_F(PgTool, FailedStatementsPrintTheExecutionLineWithoutThePassword) {
  std::optional<std::vector<PgRow>> rows{std::vector<PgRow>{}};
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("SELEC 1"); }),
            "An error occurred while executing the query: syntax error at or near \"SELEC\"\n");
  EXPECT_FALSE(rows.has_value());
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("SELECT \"" + server_.password + "\""); }),
            "An error occurred while executing the query: column \"***\" does not exist\n");
  EXPECT_EQ(printed_by([&] { rows = execute_pgdb_query("INSERT INTO artist VALUES (999, 'x')"); }),
            "An error occurred while executing the query: permission denied for table artist\n");
  EXPECT_FALSE(rows.has_value());
}

}  // namespace
}  // namespace norvex::dbkit
