// The first safety layer: what must pass, what must be refused, and the quoting and comment
// tricks that could hide a second statement from a naive splitter.
#include <gtest/gtest.h>

#include "norvex/error.hpp"
#include "norvex/sql/statement_guard.hpp"

namespace norvex::sql {
namespace {

SqlLexicon mysql() {
  SqlLexicon l;
  l.hash_comments = l.backslash_escapes = l.backtick_quotes = true;
  return l;
}
SqlLexicon postgres() {
  SqlLexicon l;
  l.dollar_quotes = true;
  return l;
}
SqlLexicon sqlite() {
  SqlLexicon l;
  l.backtick_quotes = l.bracket_quotes = true;
  return l;
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

}  // namespace
}  // namespace norvex::sql
