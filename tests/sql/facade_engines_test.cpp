// The facade against every engine: SQLite (Chinook built at test time), MariaDB and
// PostgreSQL (the shared servers, as an ordinary role), and PostgreSQL through ODBC.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "norvex/error.hpp"
#include "norvex/sql/database.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::sql {
namespace {

const std::string kPgTypes =
    "SELECT 1::int, 0.99::numeric(5,2), 2.5::float8, 'it''s \\ ok'::text, '\\x00ff'::bytea, "
    "NULL, DATE '2021-01-31', TIME '13:05:07', TIMESTAMP '2021-01-31 13:05:07.25', true, "
    "12345678901234::bigint";
const std::string kPgTypesExpected =
    "[(1, Decimal('0.99'), 2.5, \"it's \\\\ ok\", b'\\x00\\xff', None, datetime.date(2021, 1, "
    "31), datetime.time(13, 5, 7), datetime.datetime(2021, 1, 31, 13, 5, 7, 250000), True, "
    "12345678901234)]";

// A statement of each engine's value types, and the Python text of its one row.
struct TypesProbe {
  std::string sql;
  std::string expected;
};

TypesProbe types_probe(const std::string& engine) {
  if (engine == "sqlite") {
    return {"SELECT 1, 2.5, 'it''s', X'00FF', NULL, 9223372036854775807, 1e300",
            "[(1, 2.5, \"it's\", b'\\x00\\xff', None, 9223372036854775807, 1e+300)]"};
  }
  if (engine == "mariadb") {
    return {
        "SELECT CAST(1 AS SIGNED), CAST(0.99 AS DECIMAL(5,2)), CAST(2.5 AS DOUBLE), "
        "'it''s \\\\ ok', CAST(X'00FF' AS BINARY), NULL, DATE '2021-01-31', TIME '13:05:07', "
        "TIMESTAMP '2021-01-31 13:05:07.250000', TRUE, 18446744073709551615",
        "[(1, Decimal('0.99'), 2.5, \"it's \\\\ ok\", b'\\x00\\xff', None, datetime.date(2021, "
        "1, 31), datetime.time(13, 5, 7), datetime.datetime(2021, 1, 31, 13, 5, 7, 250000), 1, "
        "18446744073709551615)]"};
  }
  return {kPgTypes, kPgTypesExpected};  // PostgreSQL, directly or through ODBC
}

class FacadeOnEngine : public test::OnChinookEngine {
 protected:
  std::shared_ptr<CustomSQLDatabase> open(Options options = {}) {
    return CustomSQLDatabase::from_uri(*uri_, options);
  }

  // Chinook's names on this engine: "InvoiceLine" or "invoice_line".
  std::string n(const std::string& pascal) const { return GetParam().spell(pascal); }
};

TEST_P(FacadeOnEngine, ListsChinookTablesSortedAndReportsItsDialect) {
  auto db = open();
  EXPECT_EQ(db->dialect(), GetParam().dialect);
  const std::vector<std::string> pascal = {"Album",    "Artist",        "Customer",    "Employee",
                                           "Genre",    "Invoice",       "InvoiceLine", "MediaType",
                                           "Playlist", "PlaylistTrack", "Track"};
  std::string expected;
  for (const auto& name : pascal) expected += (expected.empty() ? "" : ", ") + n(name);
  EXPECT_EQ(db->table_listing(), expected);
  EXPECT_EQ(db->get_usable_table_names().size(), 11u);
}

TEST_P(FacadeOnEngine, TableInformationHasColumnsKeysAndSampleRows) {
  auto db = open();
  const std::string info = db->get_table_info(" " + n("Album") + " ,\t" + n("Artist") + " ");
  const std::size_t album = info.find("CREATE TABLE");
  const std::size_t artist = info.find("CREATE TABLE", album + 1);
  ASSERT_NE(album, std::string::npos) << info;
  ASSERT_NE(artist, std::string::npos) << info;
  EXPECT_NE(info.find(n("Album"), album), std::string::npos);
  EXPECT_NE(info.find(n("Title")), std::string::npos);
  EXPECT_NE(info.find("NOT NULL"), std::string::npos);
  EXPECT_NE(info.find("PRIMARY KEY ("), std::string::npos) << info;
  EXPECT_NE(info.find("FOREIGN KEY ("), std::string::npos) << info;
  EXPECT_NE(info.find("REFERENCES"), std::string::npos);
  EXPECT_NE(info.find("3 rows from " + n("Album") + " table:"), std::string::npos) << info;
  EXPECT_NE(info.find("For Those About To Rock We Salute You"), std::string::npos);
  EXPECT_LT(info.find("For Those About To Rock"), artist);
  EXPECT_NE(info.find("AC/DC", artist), std::string::npos);
  EXPECT_EQ(db->get_table_info("  "), "");
}

TEST_P(FacadeOnEngine, UnknownTableNamesAreNamedInTheError) {
  auto db = open();
  try {
    (void)db->get_table_info(n("Album") + ", NoSuchTable, Other");
    FAIL() << "no error";
  } catch (const DatabaseError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("NoSuchTable"), std::string::npos) << what;
    EXPECT_NE(what.find("Other"), std::string::npos) << what;
    EXPECT_EQ(what.find(n("Album")), std::string::npos) << what;
  }
}

TEST_P(FacadeOnEngine, RendersEachTypeFamily) {
  auto db = open();
  const TypesProbe probe = types_probe(GetParam().name);
  EXPECT_EQ(db->run(probe.sql), probe.expected);
}

TEST_P(FacadeOnEngine, RunsQueriesInEachFetchForm) {
  auto db = open();
  const std::string sql = "SELECT " + n("ArtistId") + ", " + n("Name") + " FROM " + n("Artist") +
                          " WHERE " + n("ArtistId") + " <= 2 ORDER BY 1";
  EXPECT_EQ(db->run(sql), "[(1, 'AC/DC'), (2, 'Accept')]");
  EXPECT_EQ(db->run(sql, "one"), "[(1, 'AC/DC')]");
  EXPECT_EQ(db->run(sql, "all", true), "[{'" + n("ArtistId") + "': 1, '" + n("Name") +
                                           "': 'AC/DC'}, {'" + n("ArtistId") + "': 2, '" +
                                           n("Name") + "': 'Accept'}]");
  EXPECT_EQ(db->run("SELECT * FROM " + n("Artist") + " WHERE 1 = 0"), "");
  EXPECT_THROW(db->run(sql, "many"), ArgumentError);
}

TEST_P(FacadeOnEngine, CapsLongResultsWithAComment) {
  Options options;
  options.max_rows = 10;
  auto db = open(options);
  const std::string text = db->run("SELECT " + n("TrackId") + " FROM " + n("Track"));
  EXPECT_EQ(text.substr(text.find("  #")),
            "  # 3493 more rows were left out: the output stops at 10 rows");
  EXPECT_EQ(test::python_round_trip(text), text.substr(0, text.find("  #")));
}

TEST_P(FacadeOnEngine, EngineErrorsAreDatabaseErrorsWithTheEngineText) {
  auto db = open();
  try {
    (void)db->run("SELECT no_such_column FROM " + n("Artist"));
    FAIL() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("no_such_column"), std::string::npos) << e.what();
  }
  EXPECT_THROW(db->run("SELECT * FROM no_such_table"), DatabaseError);
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");  // the connection is still usable
}

TEST_P(FacadeOnEngine, SlowStatementsHitTheTimeOutAndTheConnectionSurvives) {
  Options options;
  options.statement_timeout = std::chrono::milliseconds(1000);
  auto db = open(options);
  try {
    (void)db->run(GetParam().slow_sql);  // 20 s unless the 1 s time-out stops it
    FAIL() << "no time-out";
  } catch (const DatabaseError& e) {
    EXPECT_TRUE(e.retryable()) << e.what();
  }
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
}

TEST_P(FacadeOnEngine, HostileStatementsAreRefusedAndTheDataIsUnchanged) {
  auto db = open();
  const std::string artist = n("Artist"), album = n("Album"), track = n("Track");
  const std::string counts = "SELECT (SELECT COUNT(*) FROM " + artist +
                             "), (SELECT COUNT(*) FROM " + album + "), (SELECT COUNT(*) FROM " +
                             track + ")";
  const std::string before = db->run(counts);
  ASSERT_EQ(before, "[(275, 347, 3503)]");
  const std::vector<std::string> hostile = {
      "INSERT INTO " + artist + " VALUES (9999, 'x')",
      "UPDATE " + artist + " SET " + n("Name") + " = 'x'",
      "DELETE FROM " + track,
      "DROP TABLE " + album,
      "CREATE TABLE norvex_probe (x INTEGER)",
      "SELECT 1; DROP TABLE " + album,
      "SELECT * FROM " + artist + " INTO OUTFILE '/tmp/norvex-probe.txt'",
      "COPY " + artist + " TO '/tmp/norvex-probe.txt'",
      "SET SESSION TRANSACTION READ WRITE; DELETE FROM " + track,
      "PRAGMA query_only=0; DELETE FROM " + track,
      "ATTACH DATABASE '/tmp/norvex-probe.db' AS probe",
      "VACUUM INTO '/tmp/norvex-probe.db'",
      "WITH gone AS (DELETE FROM " + track + " RETURNING *) SELECT COUNT(*) FROM gone",
  };
  for (const auto& sql : hostile) {
    EXPECT_THROW(db->run(sql), DatabaseError) << sql;
  }
  EXPECT_EQ(db->run(counts), before);
  EXPECT_FALSE(std::filesystem::exists("/tmp/norvex-probe.db"));
}

TEST_P(FacadeOnEngine, ConcurrentCallersShareOneFacade) {
  auto db = open();
  const std::string sql = "SELECT COUNT(*) FROM " + n("Track");
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (db->run(sql) == "[(3503,)]") ++good;
        if (db->table_listing().empty()) --good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 40);
}

INSTANTIATE_TEST_SUITE_P(Engines, FacadeOnEngine, ::testing::ValuesIn(test::chinook_engines()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norvex::sql
