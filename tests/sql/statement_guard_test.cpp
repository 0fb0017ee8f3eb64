// The first safety layer: what must pass, what must be refused, and the quoting and comment
// tricks that could hide a second statement from a naive splitter.
#include <gtest/gtest.h>

#include <fstream>

#include "norvex/error.hpp"
#include "norvex/sql/statement_guard.hpp"
#include "sql_test_support.hpp"

namespace norvex::sql {
namespace {

SqlLexicon mysql() {
  return lexicon_for_dialect("mysql");
}
SqlLexicon postgres() {
  return lexicon_for_dialect("postgresql");
}
SqlLexicon sqlite() {
  return lexicon_for_dialect("sqlite");
}
SqlLexicon mssql() {
  return lexicon_for_dialect("mssql");
}

std::string refusal(std::string_view sql, const SqlLexicon& lexicon) {
  try {
    check_read_only_statement(sql, lexicon);
    return "";
  } catch (const DatabaseError& e) {
    return e.what();
  }
}

TEST(StatementGuard, ReadOnlyQueriesPass) {
  for (const char* sql : {
           "SELECT 1",
           "  select * from Album;  ",
           "SELECT 1; -- trailing comment",
           "WITH t AS (SELECT 1 AS x) SELECT x FROM t",
           "(SELECT 1) UNION (SELECT 2)",
           "VALUES (1, 2)",
           "EXPLAIN SELECT * FROM Track",
           "SELECT 'DROP TABLE x; DELETE' AS text_not_code",
           "SELECT \"update\" FROM \"insert\"",
           "/* leading comment */ SELECT 1",
           "SELECT created_at, updated_by, settings FROM t",
       }) {
    EXPECT_EQ(refusal(sql, postgres()), "") << sql;
    EXPECT_EQ(refusal(sql, mysql()), "") << sql;
  }
  EXPECT_EQ(refusal("SELECT $$a;b$$, $tag$ DROP $tag$", postgres()), "");
  EXPECT_EQ(refusal("SELECT `drop` FROM `x;y`", mysql()), "");
  EXPECT_EQ(refusal("SELECT [delete] FROM [a;b]", sqlite()), "");
  EXPECT_EQ(refusal("SELECT 'it\\'s; fine'", mysql()), "");
}

TEST(StatementGuard, WritesAndEscapesAreRefused) {
  struct Case {
    const char* sql;
    const char* says;
  };
  const Case cases[] = {
      {"INSERT INTO Artist VALUES (1, 'x')", "must begin with SELECT"},
      {"UPDATE Artist SET Name = 'x'", "found UPDATE"},
      {"DELETE FROM Artist", "found DELETE"},
      {"DROP TABLE Artist", "found DROP"},
      {"CREATE TABLE t (x int)", "found CREATE"},
      {"SELECT 1; DROP TABLE Artist", "only one statement"},
      {"SELECT * FROM Artist INTO OUTFILE '/tmp/x'", "INTO OUTFILE is not allowed"},
      {"SELECT * INTO DUMPFILE '/tmp/x' FROM Artist", "INTO DUMPFILE is not allowed"},
      {"SELECT * INTO copy_of_artist FROM Artist", "SELECT ... INTO is not allowed"},
      {"COPY Artist TO '/tmp/x'", "found COPY"},
      {"SET SESSION TRANSACTION READ WRITE; DELETE FROM Artist", "found SET"},
      {"PRAGMA query_only=0; DELETE FROM Artist", "found PRAGMA"},
      {"ATTACH DATABASE '/tmp/x.db' AS x", "found ATTACH"},
      {"VACUUM INTO '/tmp/x.db'", "found VACUUM"},
      {"WITH d AS (DELETE FROM Artist RETURNING *) SELECT * FROM d", "DELETE is not allowed"},
      {"EXPLAIN ANALYZE DELETE FROM Artist", "DELETE is not allowed"},
      {"SELECT * FROM Artist FOR UPDATE", "UPDATE is not allowed"},
      {"SELECT lo_export(1, '/tmp/x')", "LO_EXPORT is not allowed"},
      {"SELECT LOAD_FILE('/etc/passwd')", "LOAD_FILE is not allowed"},
      {"SELECT set_config('default_transaction_read_only', 'off', false)", "SET_CONFIG"},
      {"", "empty"},
      {";", "empty"},
      {"-- only a comment", "empty"},
      {"SELECT 'unterminated", "unterminated"},
      {"SELECT 1 /* unterminated", "unterminated"},
      {"SELECT 1 /*! ; DROP TABLE Artist */", "executable comments"},
  };
  for (const auto& c : cases) {
    const std::string why = refusal(c.sql, mysql());
    EXPECT_NE(why.find(c.says), std::string::npos) << c.sql << " -> " << why;
    EXPECT_EQ(why.rfind("Statement refused: ", 0), 0u) << why;
  }
}

TEST(StatementGuard, SplitsWhereTheEngineSplits) {
  // PostgreSQL strings take no backslash escapes: the quote after \ ends the string.
  EXPECT_NE(refusal("SELECT 'a\\'; DROP TABLE t; --'", postgres()).find("only one statement"),
            std::string::npos);
  // MySQL reads "--1" as arithmetic, not a comment, so the DROP is live.
  EXPECT_NE(refusal("SELECT 1--1;\nDROP TABLE t", mysql()).find("only one statement"),
            std::string::npos);
  EXPECT_EQ(refusal("SELECT 1 # comment; DROP TABLE t", mysql()), "");
  EXPECT_NE(refusal("SELECT 1 # x\n; DROP TABLE t", mysql()), "");
  // "#" is an operator in PostgreSQL, so the text after it is live there.
  EXPECT_NE(refusal("SELECT 1 # 2; DROP TABLE t", postgres()), "");
  EXPECT_EQ(refusal("SELECT E'a\\'; b'", postgres()), "");
  EXPECT_NE(refusal(std::string_view("SELECT 1\0; DROP TABLE t", 23), postgres()), "");
}

// A quoted name is a name like any other: called, it reaches the same function.
TEST(StatementGuard, QuotedNamesThatCallForbiddenFunctionsAreRefused) {
  struct Case {
    SqlLexicon lexicon;
    const char* sql;
  };
  const Case refused[] = {
      {postgres(), "SELECT \"pg_read_file\"('/etc/passwd')"},
      {postgres(), "SELECT pg_catalog.\"pg_read_file\"('/etc/passwd')"},
      {postgres(), "SELECT \"pg_catalog\" . \"pg_read_binary_file\" /* c */ ('/etc/passwd')"},
      {postgres(), "SELECT \"lo_export\"(1, '/tmp/x')"},
      {postgres(), "SELECT \"dblink_exec\"('host=127.0.0.1', 'DELETE FROM t')"},
      {postgres(), "SELECT U&\"pg\\005fread_file\"('/etc/passwd')"},
      {postgres(), "SELECT U&\"\\+000070g_read_file\"('/etc/passwd')"},
      {postgres(), "SELECT U&\"!0070g_read_file\" UESCAPE '!' ('/etc/passwd')"},
      // A query handed over as text would never meet the guard.
      {postgres(), "SELECT query_to_xml('select pg_read_file(''/etc/passwd'')', true, true, '')"},
      {mysql(), "SELECT `load_file`('/etc/passwd')"},
      {mysql(), "SELECT `LOAD_FILE` ('/etc/passwd')"},
      {mysql(), "SELECT \"load_file\"('/etc/passwd')"},
      {sqlite(), "SELECT [load_extension]('/tmp/x')"},
      {sqlite(), "SELECT `writefile`('/tmp/x', 'y')"},
      {mssql(), "SELECT * FROM [OPENROWSET]('SQLNCLI', 'Server=x;', 'SELECT 1')"},
      {mssql(), "SELECT * FROM sys.[fn_xe_file_target_read_file]('c:\\x*.xel', NULL, NULL, NULL)"},
      {mssql(), "SELECT * FROM [master].[dbo].[xp_dirtree]('\\\\127.0.0.1\\x')"},
  };
  for (const auto& c : refused) {
    EXPECT_NE(refusal(c.sql, c.lexicon), "") << c.sql;
  }
  // Names that are not calls, and a case PostgreSQL would not resolve to the function.
  EXPECT_EQ(refusal("SELECT \"pg_read_file\" FROM \"dblink\"", postgres()), "");
  EXPECT_EQ(refusal("SELECT \"PG_READ_FILE\"('/etc/passwd')", postgres()), "");
  EXPECT_EQ(refusal("SELECT \"dblink\".\"name\" FROM \"dblink\"", postgres()), "");
  EXPECT_EQ(refusal("SELECT `load_file` FROM t", mysql()), "");
  EXPECT_EQ(refusal("SELECT [a]]; DROP TABLE x] FROM t", mssql()), "");
}

// SQL Server runs a batch of statements without ";" and has no read-only session mode.
TEST(StatementGuard, SqlServerBatchesHoldOneStatementAndNoServerControl) {
  for (const char* sql : {
           "SELECT 1 SHUTDOWN",
           "SELECT 1 KILL 53",
           "SELECT 1 BACKUP DATABASE Chinook TO DISK = 'c:\\x.bak'",
           "SELECT 1 RESTORE DATABASE Chinook FROM DISK = 'c:\\x.bak'",
           "SELECT 1 DBCC FREEPROCCACHE",
           "SELECT 1 DENY SELECT ON Artist TO public",
           "SELECT * FROM Artist WAITFOR DELAY '00:00:10'",
           "SELECT 1 DISABLE TRIGGER ALL ON Artist",
           "SELECT 1 ENABLE TRIGGER ALL ON Artist",
           "SELECT 1 RECONFIGURE",
           "SELECT * FROM OPENQUERY(srv, 'DELETE FROM Artist')",
           "SELECT 1 DECLARE @x int",
           "SELECT 1 BEGIN TRAN",
           "SELECT 1 COMMIT",
           "SELECT 1 USE master",
           "SELECT 1 IF 1 = 1 SELECT 2",
           "SELECT 1 SELECT 2",
           "SELECT 1 /* x */ select Name FROM Artist",
           "WITH t AS (SELECT 1 AS x) SELECT x FROM t SELECT 2",
           "(SELECT 1) SELECT 2",
       }) {
    const std::string why = refusal(sql, mssql());
    EXPECT_NE(why, "") << sql;
  }
  EXPECT_NE(refusal("SELECT 1 SELECT 2", mssql()).find("only one statement"), std::string::npos);
  for (const char* sql : {
           "WITH t AS (SELECT 1 AS x), u AS (SELECT 2 AS y) SELECT x FROM t, u",
           "SELECT 1 UNION ALL SELECT 2 EXCEPT SELECT 3 INTERSECT SELECT 1",
           "(SELECT 1) UNION (SELECT 2)",
           "SELECT Name FROM Artist ORDER BY Name OFFSET 0 ROWS FETCH NEXT 5 ROWS ONLY",
           "SELECT Name FROM Artist WHERE ArtistId IN (SELECT ArtistId FROM Album)",
           "SELECT Name FROM Artist WITH (NOLOCK)",
           "SELECT Name FROM Artist OPTION (USE HINT ('DISABLE_OPTIMIZER_ROWGOAL'))",
           "SELECT [select], [if] FROM [begin]",
       }) {
    EXPECT_EQ(refusal(sql, mssql()), "") << sql;
  }
  // The other engines keep their own words: "enable" is a plain column name there.
  EXPECT_EQ(refusal("SELECT enable, kill FROM t", postgres()), "");
}

// The table of cases in data/guard_cases.tsv: engine readings, and functions refused.
TEST(StatementGuard, CasesOfTheDataFile) {
  std::ifstream in(std::string(NORVEX_SQL_TEST_DATA) + "/guard_cases.tsv");
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto a = line.find('\t'), b = line.find('\t', a + 1);
    ASSERT_NE(b, std::string::npos) << line;
    const std::string dialect = line.substr(0, a), expect = line.substr(a + 1, b - a - 1);
    const std::string sql = test::unescape_data(line.substr(b + 1));
    const std::string why = refusal(sql, lexicon_for_dialect(dialect));
    ++cases;
    if (expect == "pass") {
      EXPECT_EQ(why, "") << dialect << ": " << testing::PrintToString(sql);
    } else {
      const std::string says = expect.size() > 7 ? expect.substr(7) : "";
      EXPECT_NE(why, "") << dialect << ": " << testing::PrintToString(sql);
      EXPECT_NE(why.find(says), std::string::npos)
          << dialect << ": " << testing::PrintToString(sql) << " -> " << why;
    }
  }
  EXPECT_GT(cases, 40);
}

}  // namespace
}  // namespace norvex::sql
