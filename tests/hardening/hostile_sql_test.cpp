// Hostile SQL as the model's SQL on every engine, run as the ordinary test roles: through
// the facade and through whole questions (the scripted chat service answering the hostile
// statement). Every statement is refused, the Chinook data keeps its checksum, no file the
// statements name appears, and endless queries stop at a short time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "norvex/agent/entry_points.hpp"
#include "norvex/error.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"
#include "query_flow_test_support.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::hardening {
namespace {

using norvex::query_flow::test::ScriptedPipeline;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct HostileEngine {
  std::string name;
  std::function<std::optional<std::string>()> uri;
  bool snake_case;  // PostgreSQL's Chinook spells its names in snake_case
  std::string slow_sql;
};

void PrintTo(const HostileEngine& engine, std::ostream* out) {
  *out << engine.name;
}

const std::string kRecursiveCte =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c";

std::vector<HostileEngine> engines() {
  return {
      {"sqlite", [] { return std::optional("sqlite:///" + sql::test::chinook_sqlite().string()); },
       false, kRecursiveCte},
      {"mariadb", sql::test::mysql_uri, false, "SELECT SLEEP(20)"},
      {"postgresql", sql::test::pg_uri, true, "SELECT pg_sleep(20)"},
      {"odbc", sql::test::odbc_pg_uri, true, "SELECT pg_sleep(20)"},
  };
}

// Data-, schema- and file-changing statements. Placeholders: {A} the artist table, {AL} the
// album table, {T} the track table, {N} the name column, {ID} the artist key column, {D} a
// fresh folder that must stay empty. Each runs on every engine: what one engine does not
// know must still fail there, and what it knows must be refused.
const std::vector<std::string> kHostile = {
    // Writes.
    "INSERT INTO {A} VALUES (9999, 'x')",
    "INSERT INTO {A} ({ID}, {N}) SELECT {ID} + 10000, {N} FROM {A}",
    "UPDATE {A} SET {N} = 'x'",
    "   uPdAtE {A} SET {N} = 'x' WHERE {ID} = 1",
    "DELETE FROM {T}",
    "REPLACE INTO {A} VALUES (1, 'x')",
    "MERGE INTO {A} t USING {A} s ON (t.{ID} = s.{ID}) WHEN MATCHED THEN DELETE",
    "TRUNCATE TABLE {T}",
    "WITH gone AS (DELETE FROM {T} RETURNING *) SELECT COUNT(*) FROM gone",
    "WITH x AS (SELECT 1) UPDATE {A} SET {N} = 'x'",
    "EXPLAIN ANALYZE DELETE FROM {T}",
    "SELECT * FROM {A} FOR UPDATE",
    // Schema.
    "DROP TABLE {AL}",
    "DROP TABLE IF EXISTS {AL} CASCADE",
    "CREATE TABLE norvex_probe (x INTEGER)",
    "CREATE TABLE norvex_probe AS SELECT * FROM {A}",
    "CREATE TEMPORARY TABLE norvex_probe (x INTEGER)",
    "CREATE VIEW norvex_probe AS SELECT 1 AS x",
    "CREATE INDEX norvex_probe ON {A} ({N})",
    "ALTER TABLE {A} ADD COLUMN probe INTEGER",
    "ALTER TABLE {A} RENAME TO norvex_probe",
    "CREATE TRIGGER norvex_probe AFTER INSERT ON {A} FOR EACH ROW DELETE FROM {T}",
    "GRANT ALL ON {A} TO PUBLIC",
    "REVOKE SELECT ON {A} FROM PUBLIC",
    // Stacked statements and comment tricks.
    "SELECT 1; DROP TABLE {AL}",
    "SELECT 1;\ndelete from {T}",
    "SELECT 1 -- comment\n; DELETE FROM {T}",
    "SELECT 1 /* ; */ ; DELETE FROM {T}",
    "SELECT 1 # comment\n; DELETE FROM {T}",
    "SELECT 'it''s'; DELETE FROM {T}",
    "SELECT $$x$$; DELETE FROM {T}",
    "SELECT /*!50000 1; DELETE FROM {T} */",
    "VALUES (1); DELETE FROM {T}",
    "SHOW TABLES; DROP TABLE {AL}",
    // Copies into tables and files.
    "SELECT * INTO norvex_probe FROM {A}",
    "SELECT * FROM {A} INTO OUTFILE '{D}/outfile.txt'",
    "SELECT * FROM {A} INTO DUMPFILE '{D}/dumpfile.bin'",
    "COPY {A} TO '{D}/copy.txt'",
    "COPY (SELECT 1) TO PROGRAM 'touch {D}/program.txt'",
    "COPY {A} FROM '/etc/hostname'",
    "LOAD DATA LOCAL INFILE '/etc/hostname' INTO TABLE {A}",
    "LOAD DATA INFILE '/etc/hostname' INTO TABLE {A}",
    "SELECT lo_export(lo_import('/etc/hostname'), '{D}/lo.txt')",
    "SELECT pg_read_file('/etc/hostname')",
    "SELECT LOAD_FILE('/etc/hostname')",
    // Procedures, functions with side effects, dynamic SQL.
    "CALL norvex_probe()",
    "DO $$ BEGIN DELETE FROM {T}; END $$",
    "SELECT set_config('default_transaction_read_only', 'off', false)",
    "SELECT pg_terminate_backend(pg_backend_pid())",
    "SELECT nextval('norvex_probe_seq')",
    "PREPARE p FROM 'DELETE FROM {T}'",
    "EXECUTE p",
    "INSTALL PLUGIN norvex_probe SONAME 'norvex_probe.so'",
    "SELECT load_extension('{D}/probe')",
    // SQLite's own ways out.
    "PRAGMA query_only = 0",
    "PRAGMA writable_schema = 1",
    "ATTACH DATABASE '{D}/attach.db' AS probe",
    "VACUUM INTO '{D}/vacuum.db'",
    "VACUUM",
    // Switching read-only off and transaction control.
    "SET SESSION TRANSACTION READ WRITE",
    "SET TRANSACTION READ WRITE; DELETE FROM {T}",
    "SET default_transaction_read_only = off",
    "SET @@session.transaction_read_only = 0",
    "SET SESSION sql_log_bin = 0",
    "START TRANSACTION READ WRITE",
    "BEGIN; DELETE FROM {T}; COMMIT",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT probe",
    "LOCK TABLES {A} WRITE",
};

class HostileSql : public ::testing::TestWithParam<HostileEngine> {
 protected:
  void SetUp() override {
    uri_ = GetParam().uri();
    if (!uri_) NORVEX_SKIP_OR_FAIL(GetParam().name + " is not available (start scripts/servers.sh)");
    dir_ = sql::test::temp_dir();
  }

  // Chinook's names on this engine: "InvoiceLine" or "invoice_line".
  std::string n(const std::string& pascal) const {
    if (!GetParam().snake_case) return pascal;
    std::string out;
    for (std::size_t i = 0; i < pascal.size(); ++i) {
      const char c = pascal[i];
      if (std::isupper(static_cast<unsigned char>(c)) != 0) {
        if (i != 0) out += '_';
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      } else {
        out += c;
      }
    }
    return out;
  }

  std::string expand(std::string sql) const {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"{AL}", n("Album")}, {"{A}", n("Artist")},    {"{T}", n("Track")},
        {"{N}", n("Name")},   {"{ID}", n("ArtistId")}, {"{D}", dir_.string()}};
    for (const auto& [key, value] : names) {
      for (std::size_t at = sql.find(key); at != std::string::npos; at = sql.find(key, at)) {
        sql.replace(at, key.size(), value);
        at += value.size();
      }
    }
    return sql;
  }

  // Row counts of every Chinook table plus position-weighted aggregates, so a changed,
  // moved or swapped value shows as well as an added or removed row.
  std::string checksum_sql() const {
    std::string sql = "SELECT ";
    for (const char* table : {"Album", "Artist", "Customer", "Employee", "Genre", "Invoice",
                              "InvoiceLine", "MediaType", "Playlist", "PlaylistTrack", "Track"}) {
      sql += "(SELECT COUNT(*) FROM " + n(table) + "), ";
    }
    // 1.0 * keeps PostgreSQL's integer products from overflowing.
    sql += "(SELECT SUM(" + n("ArtistId") + " * LENGTH(" + n("Name") + ")) FROM " + n("Artist") +
           "), (SELECT SUM(1.0 * " + n("TrackId") + " * " + n("Milliseconds") + ") FROM " +
           n("Track") + "), (SELECT SUM(" + n("InvoiceId") + " * " + n("Total") + ") FROM " +
           n("Invoice") + "), (SELECT SUM(" + n("AlbumId") + " * LENGTH(" + n("Title") +
           ")) FROM " + n("Album") + ")";
    return sql;
  }

  void expect_no_files() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      found.push_back(entry.path().string());
    }
    EXPECT_TRUE(found.empty()) << "created: " << testing::PrintToString(found);
  }

  std::optional<std::string> uri_;
  std::filesystem::path dir_;
};

TEST_P(HostileSql, EveryStatementIsRefusedByTheFacadeAndNothingChanges) {
  auto db = sql::CustomSQLDatabase::from_uri(*uri_);
  const std::string before = db->run(checksum_sql());
  ASSERT_NE(before.find("275"), std::string::npos) << before;
  ASSERT_GE(kHostile.size(), 40u);
  for (const auto& pattern : kHostile) {
    const std::string sql = expand(pattern);
    try {
      const std::string rows = db->run(sql);
      ADD_FAILURE() << "accepted: " << sql << " -> " << rows;
    } catch (const DatabaseError&) {
    }
  }
  EXPECT_EQ(db->run(checksum_sql()), before);
  // A fresh connection sees the same data (nothing committed behind the facade's back).
  EXPECT_EQ(sql::CustomSQLDatabase::from_uri(*uri_)->run(checksum_sql()), before);
  expect_no_files();
}

TEST_P(HostileSql, EndlessQueriesStopAtTheTimeOut) {
  sql::Options options;
  options.statement_timeout = std::chrono::milliseconds(1000);
  auto db = sql::CustomSQLDatabase::from_uri(*uri_, options);
  EXPECT_THROW((void)db->run(GetParam().slow_sql), DatabaseError);
  // MariaDB ends an endless recursion itself at max_recursive_iterations with a warning;
  // the others run until the time-out (CTest's time-out catches a call that never returns).
  try {
    (void)db->run(kRecursiveCte);
    EXPECT_EQ(GetParam().name, "mariadb") << "an endless recursion finished";
  } catch (const DatabaseError&) {
  }
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
}

// The model answers every SQL request with hostile statements: each question ends with an
// answer or the error record (never a crash or a hang), and the data stays as it was.
TEST_P(HostileSql, WholeQuestionsWithHostileModelSqlChangeNothing) {
  sql::Options options;
  options.statement_timeout = std::chrono::milliseconds(1000);
  auto db = sql::CustomSQLDatabase::from_uri(*uri_, options);
  const std::string before = db->run(checksum_sql());
  ScriptedPipeline pipeline;
  pipeline.relevant_tables = {n("Album"), n("Artist")};
  pipeline.final_response = "I could not answer that.";
  const query_flow::QueryFlow flow(db, pipeline.small_settings(), pipeline.big_settings());
  const auto media = dir_ / "media";
  std::vector<std::string> statements;
  for (const auto& pattern : kHostile) statements.push_back(expand(pattern));
  statements.push_back(GetParam().slow_sql);
  // Several statements per question: the repair loop asks again after each refusal.
  for (std::size_t i = 0; i < statements.size(); i += 4) {
    pipeline.sql_queries.assign(
        statements.begin() + static_cast<std::ptrdiff_t>(i),
        statements.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, statements.size())));
    CaptureStdout();
    CaptureStderr();
    const auto result = agent::run_agent(flow, "Which artists have the most albums?", media);
    GetCapturedStdout();
    GetCapturedStderr();
    ASSERT_TRUE(result.contains("output")) << result.dump();
    const std::string dumped = result.dump();
    // A refused statement never yields rows.
    if (result.contains("sql_execution_result") && result["sql_execution_result"].is_array()) {
      for (const auto& item : result["sql_execution_result"]) {
        EXPECT_EQ(item.dump().find("AC/DC"), std::string::npos) << dumped;
      }
    }
  }
  EXPECT_GT(pipeline.requests_for("SQLQueryInput").size(), statements.size() / 4);
  EXPECT_EQ(db->run(checksum_sql()), before);
  EXPECT_EQ(sql::CustomSQLDatabase::from_uri(*uri_)->run(checksum_sql()), before);
  std::filesystem::remove_all(media);
  expect_no_files();
}

INSTANTIATE_TEST_SUITE_P(Engines, HostileSql, ::testing::ValuesIn(engines()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norvex::hardening
