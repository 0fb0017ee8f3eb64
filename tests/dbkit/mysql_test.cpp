// The database tool against the real MariaDB server: connection test and failure lines,
// label-keyed rows, cell types, schema extraction and query execution.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

class MysqlTool : public norvex::test::MysqlTest {
 protected:
  void SetUp() override {
    MysqlTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    test::use_ordinary_role(server_, server_.database);
  }

  std::string test(const Port& port, const std::string& host = "127.0.0.1") const {
    return get_db_connection("MySQL", server_.user, server_.password, host, port, server_.database);
  }
};

TEST_F(MysqlTool, ConnectionTestSucceedsWithAnIntegerOrNumericTextPortAndLocalhost) {
  std::string printed = printed_by([&] {
    EXPECT_EQ(test(server_.port), "Success! Connection Established! .");
    EXPECT_EQ(test(std::to_string(server_.port)), "Success! Connection Established! .");
    // "localhost" with a port goes over TCP, not to a Unix socket that is not there.
    EXPECT_EQ(test(server_.port, "localhost"), "Success! Connection Established! .");
  });
  EXPECT_EQ(printed, "");
}

TEST_F(MysqlTool, ConnectionTestFailuresAreTextsWithoutThePassword) {
  const int closed = norvex::test::closed_local_port();
  std::string printed = printed_by([&] {
    EXPECT_THAT(test(closed), MatchesRegex("Failed to connect to MySQL database: Can't connect to "
                                           "server on '127\\.0\\.0\\.1' \\([0-9]+\\)"));
    EXPECT_EQ(test(std::string("3306x")),
              "Failed to connect to MySQL database: invalid port '3306x': not a number from 0 to "
              "65535");
    EXPECT_EQ(test(70000),
              "Failed to connect to MySQL database: invalid port '70000': not a number from 0 to "
              "65535");
    const std::string refused = get_db_connection("MySQL", server_.user, "wrong;pw", "127.0.0.1",
                                                  server_.port, server_.database);
    EXPECT_THAT(refused, StartsWith("Failed to connect to MySQL database: Access denied for user "
                                    "'norvex_test'@"));
    EXPECT_THAT(refused, Not(HasSubstr("wrong;pw")));
  });
  EXPECT_EQ(printed, "");
}

TEST_F(MysqlTool, RefusedConnectionPrintsOneLineAndGivesNothing) {
  std::optional<MysqlConnection> connection;
  const std::string printed = printed_by([&] {
    connection = get_mysql_db_connection(server_.user, "norvex-wrong-pw", server_.host,
                                         server_.port, server_.database);
  });
  EXPECT_FALSE(connection.has_value());
  EXPECT_THAT(printed, MatchesRegex("Failed to connect to the database: Access denied for user "
                                    "'norvex_test'@'[^']+' \\(using password: YES\\)\n"));
}

TEST_F(MysqlTool, RowsAreMapsByColumnLabelInColumnOrder) {
  auto connection = get_mysql_db_connection(server_.user, server_.password, server_.host,
                                            server_.port, server_.database);
  ASSERT_TRUE(connection.has_value());
  const auto artists =
      connection->execute("SELECT Name, ArtistId FROM Artist WHERE ArtistId <= 2 ORDER BY 2");
  EXPECT_EQ(artists,
            (std::vector<Row>{{{"Name", Cell::text("AC/DC")}, {"ArtistId", Cell::integer(1)}},
                              {{"Name", Cell::text("Accept")}, {"ArtistId", Cell::integer(2)}}}));

  // Also for SHOW statements, whose label the server picks after the database.
  const auto tables = connection->execute("SHOW TABLES");
  ASSERT_EQ(tables.size(), 11u);
  EXPECT_EQ(tables[0], (Row{{"Tables_in_Chinook", Cell::text("Album")}}));

  // Two columns of one name stay apart: the second is qualified by its table.
  const auto joined = connection->execute(
      "SELECT Album.ArtistId, Artist.ArtistId FROM Album JOIN Artist USING (ArtistId) LIMIT 1");
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0].labels(), (std::vector<std::string>{"ArtistId", "Artist.ArtistId"}));

  EXPECT_TRUE(connection->execute("DO 1").empty());  // no result set: no rows
  connection->close();
  EXPECT_THROW(connection->execute("SELECT 1"), DatabaseError);
}

TEST_F(MysqlTool, CellsAreTypedAfterTheirColumns) {
  const auto rows = execute_mysql_query(
      "SELECT 1 AS i, CAST(18446744073709551615 AS UNSIGNED) AS big, CAST(0.99 AS DECIMAL(5,2)) AS "
      "d, 2.5e0 AS f, 'Zoë' AS t, NULL AS n, X'00FF' AS b, DATE '2021-01-02' AS dt, "
      "TIME '13:45:00' AS tm, TIMESTAMP '2021-01-02 03:04:05' AS ts");
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->front(), (Row{{"i", Cell::integer(1)},
                                {"big", Cell::decimal("18446744073709551615")},
                                {"d", Cell::decimal("0.99")},
                                {"f", Cell::floating(2.5)},
                                {"t", Cell::text("Zoë")},
                                {"n", Cell::null()},
                                {"b", Cell::bytes(std::string("\x00\xff", 2))},
                                {"dt", Cell::date("2021-01-02")},
                                {"tm", Cell::time("13:45:00")},
                                {"ts", Cell::timestamp("2021-01-02 03:04:05")}}));
}

TEST_F(MysqlTool, SchemaOfChinookListsEveryTableWithItsColumnTypes) {
  std::optional<Schema> schema;
  EXPECT_EQ(printed_by([&] { schema = get_mysql_database_schema(); }), "");
  ASSERT_TRUE(schema.has_value());
  EXPECT_EQ(schema->size(), 11u);
  EXPECT_EQ(schema->begin()->name, "Album");
  ASSERT_NE(schema->find("Artist"), nullptr);
  EXPECT_EQ(*schema->find("Artist"),
            (std::vector<ColumnInfo>{{"ArtistId", "int(11)"}, {"Name", "varchar(120)"}}));
}

TEST_F(MysqlTool, SchemaReadsTablesWhoseNamesNeedQuoting) {
  test::MysqlScratch scratch(server_);
  scratch.run("CREATE TABLE `plain` (id INT PRIMARY KEY)");
  scratch.run("CREATE TABLE `my table` (`a b` INT, c VARCHAR(5))");
  scratch.run("CREATE TABLE `order` (`select` DECIMAL(10,2))");
  scratch.run("CREATE TABLE `a-b` (x DATE)");
  scratch.run("CREATE TABLE `we``ird` (y TEXT)");
  scratch.use_as_config();

  std::optional<Schema> schema;
  EXPECT_EQ(printed_by([&] { schema = get_mysql_database_schema(); }), "");
  ASSERT_TRUE(schema.has_value());
  EXPECT_EQ(schema->table_names(),
            (std::vector<std::string>{"a-b", "my table", "order", "plain", "we`ird"}));
  EXPECT_EQ(*schema->find("my table"),
            (std::vector<ColumnInfo>{{"a b", "int(11)"}, {"c", "varchar(5)"}}));
  EXPECT_EQ(*schema->find("order"), (std::vector<ColumnInfo>{{"select", "decimal(10,2)"}}));
  EXPECT_EQ(*schema->find("a-b"), (std::vector<ColumnInfo>{{"x", "date"}}));
  EXPECT_EQ(*schema->find("we`ird"), (std::vector<ColumnInfo>{{"y", "text"}}));
}

TEST_F(MysqlTool, SchemaStopsAtAFailingListingAndKeepsWhatItRead) {
  test::MysqlScratch scratch(server_);
  scratch.use_as_config();
  std::optional<Schema> schema;
  EXPECT_EQ(printed_by([&] { schema = get_mysql_database_schema(); }), "");
  ASSERT_TRUE(schema.has_value());
  EXPECT_TRUE(schema->empty());

  // A view whose table is gone cannot list its columns.
  scratch.run("CREATE TABLE a_first (x INT)");
  scratch.run("CREATE TABLE gone (x INT)");
  scratch.run("CREATE VIEW b_broken AS SELECT x FROM gone");
  scratch.run("DROP TABLE gone");
  scratch.run("CREATE TABLE c_last (y INT)");
  EXPECT_EQ(printed_by([&] { schema = get_mysql_database_schema(); }),
            "An error occurred: View '" + scratch.name() +
                ".b_broken' references invalid table(s) or column(s) or function(s) or "
                "definer/invoker of view lack rights to use them\n");
  ASSERT_TRUE(schema.has_value());
  EXPECT_EQ(schema->table_names(), (std::vector<std::string>{"a_first", "b_broken"}));
  EXPECT_EQ(*schema->find("a_first"), (std::vector<ColumnInfo>{{"x", "int(11)"}}));
  EXPECT_TRUE(schema->find("b_broken")->empty());
}

TEST_F(MysqlTool, InsertGivesAnEmptyListAndDoesNotLast) {
  test::MysqlScratch scratch(server_);
  scratch.run("CREATE TABLE t (id INT) ENGINE=InnoDB");
  scratch.use_as_config();
  std::optional<std::vector<Row>> rows;
  EXPECT_EQ(printed_by([&] { rows = execute_mysql_query("INSERT INTO t VALUES (1)"); }), "");
  ASSERT_TRUE(rows.has_value());
  EXPECT_TRUE(rows->empty());
  EXPECT_EQ(execute_mysql_query("SELECT COUNT(*) AS n FROM t"),
            (std::vector<Row>{{{"n", Cell::integer(0)}}}));
}

TEST_F(MysqlTool, FailedStatementsPrintTheExecutionLineWithoutThePassword) {
  std::optional<std::vector<Row>> rows{std::vector<Row>{}};
  EXPECT_EQ(printed_by([&] { rows = execute_mysql_query("SELEC 1"); }),
            "An error occurred while executing the query: You have an error in your SQL syntax; "
            "check the manual that corresponds to your MariaDB server version for the right "
            "syntax to use near 'SELEC 1' at line 1\n");
  EXPECT_FALSE(rows.has_value());

  // A server message that quotes the password (here as a column name) is masked.
  EXPECT_EQ(printed_by([&] { rows = execute_mysql_query("SELECT `" + server_.password + "`"); }),
            "An error occurred while executing the query: Unknown column '***' in 'SELECT'\n");
  EXPECT_FALSE(rows.has_value());
}

TEST_F(MysqlTool, UnreachableServerGivesNothingWithOnlyTheConnectionLine) {
  set_database_config(server_.database, server_.user, server_.password, "127.0.0.1",
                      norvex::test::closed_local_port());
  const std::string line =
      "Failed to connect to the database: Can't connect to server on '127\\.0\\.0\\.1' "
      "\\([0-9]+\\)\n";
  std::optional<Schema> schema{Schema{}};
  EXPECT_THAT(printed_by([&] { schema = get_mysql_database_schema(); }), MatchesRegex(line));
  EXPECT_FALSE(schema.has_value());
  std::optional<std::vector<Row>> rows{std::vector<Row>{}};
  EXPECT_THAT(printed_by([&] { rows = execute_mysql_query("SELECT 1"); }), MatchesRegex(line));
  EXPECT_FALSE(rows.has_value());
}

TEST_F(MysqlTool, CallsFromSeveralThreadsAtOnceEachUseTheirOwnConnection) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        if (execute_mysql_query("SELECT COUNT(*) AS n FROM Artist") ==
            std::vector<Row>{{{"n", Cell::integer(275)}}}) {
          ++good;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 20);
}

}  // namespace
}  // namespace norvex::dbkit
