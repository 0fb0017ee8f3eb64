// Hostile SQL as the model's SQL on every engine, run as the ordinary test roles: through
// the facade and through whole questions (the scripted chat service answering the hostile
// statement). Every statement is refused, the Chinook data keeps its checksum, no file the
// statements name appears, and endless queries stop at a short time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "norvex/agent/entry_points.hpp"
#include "norvex/error.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"
#include "norvex/sql/statement_guard.hpp"
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

const std::string kRecursiveCte =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c";

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
    // The same functions reached through quoted names, and a query handed over as text.
    "SELECT \"pg_read_file\"('/etc/hostname')",
    "SELECT pg_catalog.\"pg_read_file\"('/etc/hostname')",
    "SELECT U&\"pg\\005fread_file\"('/etc/hostname')",
    "SELECT \"lo_export\"(\"lo_import\"('/etc/hostname'), '{D}/lo_quoted.txt')",
    "SELECT \"dblink_exec\"('host=127.0.0.1', 'DELETE FROM {T}')",
    "SELECT query_to_xml('select pg_read_file(''/etc/hostname'')', true, true, '')",
    "SELECT `load_file`('/etc/hostname')",
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

class HostileSql : public sql::test::OnChinookEngine {
 protected:
  void SetUp() override {
    sql::test::OnChinookEngine::SetUp();
    dir_ = sql::test::temp_dir();
  }

  // Chinook's names on this engine: "InvoiceLine" or "invoice_line".
  std::string n(const std::string& pascal) const { return GetParam().spell(pascal); }

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

// A role granted pg_read_server_files really reads the server's files with a quoted call
// (the read-only transaction does not stop a read), so the guard alone must refuse it.
class QuotedCallsForAFileReadingRole : public norvex::test::PgTest {};

TEST_F(QuotedCallsForAFileReadingRole, WouldReadTheFileButAreRefusedByTheFacade) {
  if (server_.files_user.empty()) {
    NORVEX_SKIP_OR_FAIL("the PostgreSQL file-reading role is missing (scripts/servers.sh start)");
  }
  // Outside the facade, the call works: PG_VERSION is a file of the server's data folder.
  const std::string psql = "PGPASSWORD='" + server_.files_password + "' psql -X -At -h " +
                           server_.host + " -p " + std::to_string(server_.port) + " -U " +
                           server_.files_user + " -d " + server_.database +
                           " -c 'SELECT \"pg_read_file\"('\\''PG_VERSION'\\'')' 2>&1";
  FILE* pipe = ::popen(psql.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string read;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) read += buffer;
  ::pclose(pipe);
  ASSERT_EQ(read.rfind("15", 0), 0u) << read;

  auto db = sql::CustomSQLDatabase::from_uri("postgresql+psycopg2://" + server_.files_user + ":" +
                                             server_.files_password + "@" + server_.host + ":" +
                                             std::to_string(server_.port) + "/" + server_.database);
  for (const char* sql : {
           "SELECT \"pg_read_file\"('PG_VERSION')",
           "SELECT pg_catalog.\"pg_read_file\"('PG_VERSION')",
           "SELECT \"pg_catalog\".\"pg_read_binary_file\" ('PG_VERSION')",
           "SELECT U&\"pg\\005fread_file\"('PG_VERSION')",
           "SELECT \"pg_stat_file\"('PG_VERSION')",
           "SELECT query_to_xml('SELECT pg_read_file(''PG_VERSION'')', true, true, '')",
           // A comment that ends at CR for PostgreSQL, and a query run from text.
           "SELECT 1 AS a --\r, pg_read_file('PG_VERSION') AS leaked",
           "--x\rSELECT pg_read_file('PG_VERSION')\n/* /* */ SELECT */",
           "SELECT ts_rewrite('a'::tsquery, 'SELECT pg_read' || '_file(''PG_VERSION'')::tsquery, "
           "''b''::tsquery')",
       }) {
    try {
      const std::string rows = db->run(sql);
      ADD_FAILURE() << "accepted: " << sql << " -> " << rows;
    } catch (const DatabaseError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Statement refused: ", 0), 0u)
          << sql << ": " << e.what();
    }
  }
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
}

// The same tricks as a model's SQL in whole questions: the file's text is in no answer.
TEST_F(QuotedCallsForAFileReadingRole, WholeQuestionsNeverShowTheFile) {
  if (server_.files_user.empty()) {
    NORVEX_SKIP_OR_FAIL("the PostgreSQL file-reading role is missing (scripts/servers.sh start)");
  }
  auto db = sql::CustomSQLDatabase::from_uri("postgresql+psycopg2://" + server_.files_user + ":" +
                                             server_.files_password + "@" + server_.host + ":" +
                                             std::to_string(server_.port) + "/" + server_.database);
  ScriptedPipeline pipeline;
  pipeline.relevant_tables = {"album", "artist"};
  pipeline.final_response = "I could not answer that.";
  pipeline.sql_queries = {
      "SELECT 1 AS a --\r, pg_read_file('postgresql.auto.conf') AS leaked",
      "--x\rSELECT pg_read_file('postgresql.auto.conf')\n/* /* */ SELECT */",
      "SELECT ts_rewrite('a'::tsquery, 'SELECT pg_read' || '_file(''postgresql.auto.conf'')"
      "::tsquery, ''b''::tsquery')"};
  const query_flow::QueryFlow flow(db, pipeline.small_settings(), pipeline.big_settings());
  CaptureStdout();
  CaptureStderr();
  const auto result = agent::run_agent(flow, "Which artists have the most albums?",
                                       sql::test::temp_dir() / "media");
  const std::string printed = GetCapturedStdout() + GetCapturedStderr();
  EXPECT_EQ(result.dump().find("Do not edit this file"), std::string::npos) << result.dump();
  EXPECT_EQ(printed.find("Do not edit this file"), std::string::npos) << printed;
  EXPECT_GE(pipeline.requests_for("SQLQueryInput").size(), 3u);
}

// Another session of the same role, which PostgreSQL would let this one end, stays alive.
TEST_F(QuotedCallsForAFileReadingRole, AnotherSessionOfTheRoleSurvives) {
  const std::string uri = "postgresql+psycopg2://" + server_.user + ":" + server_.password + "@" +
                          server_.host + ":" + std::to_string(server_.port) + "/" +
                          server_.database;
  auto victim = sql::CustomSQLDatabase::from_uri(uri);
  auto db = sql::CustomSQLDatabase::from_uri(uri);
  const std::string pid = victim->run("SELECT pg_backend_pid()");
  EXPECT_THROW((void)db->run("SELECT pid --\r, pg_terminate_backend(pid) FROM pg_stat_activity "
                             "WHERE application_name = 'norvex' AND pid <> pg_backend_pid()"),
               DatabaseError);
  EXPECT_EQ(victim->run("SELECT pg_backend_pid()"), pid);
}

// SQL Server has no read-only session mode and runs batches without ";", so there the
// guard carries the whole list (in T-SQL's spelling of Chinook) and T-SQL's own forms.
TEST(HostileSqlOnSqlServer, TheGuardRefusesTheListAndTsqlBatches) {
  const auto lexicon = sql::lexicon_for_dialect("mssql");
  // Not T-SQL at all: SQL Server itself rejects them, so the guard need not.
  const std::vector<std::string> not_tsql = {"SELECT nextval('norvex_probe_seq')",
                                             "SELECT U&\"pg\\005fread_file\"('/etc/hostname')"};
  std::vector<std::string> statements;
  for (std::string sql : kHostile) {
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, std::string>>{{"{AL}", "Album"},
                                                          {"{A}", "Artist"},
                                                          {"{T}", "Track"},
                                                          {"{N}", "Name"},
                                                          {"{ID}", "ArtistId"},
                                                          {"{D}", "C:\\probe"}}) {
      for (auto at = sql.find(key); at != std::string::npos; at = sql.find(key, at)) {
        sql.replace(at, key.size(), value);
      }
    }
    statements.push_back(sql);
  }
  for (const char* sql : {
           "SELECT 1 SHUTDOWN WITH NOWAIT",
           "SELECT 1 KILL 53",
           "SELECT 1 BACKUP DATABASE Chinook TO DISK = 'C:\\probe\\x.bak'",
           "SELECT 1 RESTORE DATABASE Chinook FROM DISK = 'C:\\probe\\x.bak'",
           "SELECT 1 DBCC SHRINKDATABASE (Chinook)",
           "SELECT 1 DENY SELECT ON Artist TO public",
           "SELECT * FROM Artist WAITFOR DELAY '00:01:00'",
           "SELECT 1 DISABLE TRIGGER ALL ON Artist",
           "SELECT 1 RECONFIGURE WITH OVERRIDE",
           "SELECT * FROM OPENQUERY(linked, 'DELETE FROM Artist')",
           "SELECT * FROM OPENROWSET(BULK 'C:\\secrets.txt', SINGLE_CLOB) AS f",
           "SELECT 1 EXEC xp_cmdshell 'dir'",
           "SELECT [xp_cmdshell]('dir')",
           "SELECT Name FROM Artist DELETE FROM Track",
           "SELECT Name FROM Artist UPDATE Artist SET Name = 'x'",
           "SELECT 1 DECLARE @s nvarchar(99) = 'DELETE FROM Track'",
           "SELECT 1 BEGIN TRANSACTION",
           "SELECT 1 USE master",
           "SELECT 1 IF 1 = 1 DROP TABLE Album",
           "SELECT 1 SELECT * FROM sys.sql_logins",
       }) {
    statements.emplace_back(sql);
  }
  for (const auto& sql : statements) {
    if (std::find(not_tsql.begin(), not_tsql.end(), sql) != not_tsql.end()) continue;
    try {
      sql::check_read_only_statement(sql, lexicon);
      ADD_FAILURE() << "passed the guard: " << sql;
    } catch (const DatabaseError&) {
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, HostileSql, ::testing::ValuesIn(sql::test::chinook_engines()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norvex::hardening
