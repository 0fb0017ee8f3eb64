// What a statement leaves behind and how it ends, below the statement guard (the backends
// run what the guard would refuse): every connection is reset after each statement, and a
// statement its server does not stop at the time-out is stopped from outside.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fstream>
#include <string>
#include <utility>

#include "backend.hpp"
#include "collect_rows.hpp"
#include "norvex/sql/database.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::sql {
namespace {

using Collect = test::CollectRows;

// The first cell of a statement's result, as text ("NULL" for a null).
std::string first_cell(detail::Backend& backend, const std::string& sql) {
  Collect sink;
  backend.execute(sql, sink);
  const Value& v = sink.rows.at(0).at(0);
  if (v.kind == Value::Kind::null) return "NULL";
  return v.kind == Value::Kind::integer ? std::to_string(v.integer) : v.text;
}

std::unique_ptr<detail::Backend> open(const std::string& engine, const Options& options = {}) {
  const auto uri = engine == "postgresql" ? test::pg_uri() : test::mysql_uri();
  if (!uri) return nullptr;
  return engine == "postgresql" ? detail::open_postgres(parse_uri(*uri), options)
                                : detail::open_mysql(parse_uri(*uri), options);
}

TEST(StatementAftermath, PostgresSessionLocksAndPreparedStatementsEndWithTheStatement) {
  auto a = open("postgresql"), other = open("postgresql");
  if (!a) NORVEX_SKIP_OR_FAIL("the PostgreSQL test server is not running");
  EXPECT_EQ(first_cell(*a, "SELECT pg_advisory_lock(4242)::text"), "");
  Collect sink;
  a->execute("PREPARE norvex_left_behind AS SELECT 1", sink);
  // Another session may take the lock: the first holds none any more.
  EXPECT_EQ(first_cell(*other, "SELECT pg_try_advisory_xact_lock(4242)::text"), "true");
  EXPECT_EQ(first_cell(*other, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'"), "0");
  EXPECT_THROW(a->execute("EXECUTE norvex_left_behind", sink), DatabaseError);
  EXPECT_EQ(first_cell(*a, "SELECT current_setting('standard_conforming_strings')"), "on");
  EXPECT_EQ(first_cell(*a, "SELECT 7"), "7");
}

TEST(StatementAftermath, MariaDbNamedLocksAndVariablesEndWithTheStatement) {
  auto a = open("mysql"), other = open("mysql");
  if (!a) NORVEX_SKIP_OR_FAIL("the MariaDB test server is not running");
  EXPECT_EQ(first_cell(*a, "SELECT GET_LOCK('norvex_left_behind', 0)"), "1");
  EXPECT_EQ(first_cell(*other, "SELECT IS_FREE_LOCK('norvex_left_behind')"), "1");
  // Through the facade, as a question would: what one statement sets, the next never sees.
  auto db = CustomSQLDatabase::from_uri(*test::mysql_uri());
  EXPECT_EQ(db->run("SELECT @v := 41"), "[(41,)]");
  EXPECT_EQ(db->run("SELECT @v"), "[(None,)]");
  EXPECT_EQ(db->run("SELECT LAST_INSERT_ID(777)"), "[(777,)]");
  EXPECT_EQ(db->run("SELECT LAST_INSERT_ID()"), "[(0,)]");
  // The session settings come back after each reset.
  EXPECT_EQ(db->run("SELECT @@tx_read_only, @@character_set_client"), "[(1, 'utf8mb4')]");
}

// A value SQLite would build in one step, far beyond any answer's size, is not built: one
// step of its machine cannot be interrupted, so it must not be able to take long or take
// the process's memory.
TEST(StatementAftermath, SqliteRefusesHugeValuesWithinOneStep) {
  Options options;
  options.statement_timeout = std::chrono::milliseconds(1000);
  auto db = CustomSQLDatabase::from_uri("sqlite:///" + test::chinook_sqlite().string(), options);
  std::string outcome;
  try {
    outcome = db->run("SELECT length(printf('%.*c', 300000000, 'x'))");
  } catch (const DatabaseError& e) {
    outcome = e.what();
  }
  EXPECT_NE(outcome.find("printf(): width or precision too large"), std::string::npos) << outcome;
  // Text searches whose work grows with the product of two lengths: each of these took
  // seconds to minutes in one uninterruptible step.
  for (const char* search : {"trim(h, replace(hex(zeroblob(20000)), '0', 'b') || 'a')",
                             "instr(h, replace(hex(zeroblob(20000)), '0', 'a') || 'b')",
                             "replace(h, replace(hex(zeroblob(20000)), '0', 'a') || 'b', '')",
                             "h LIKE '%' || replace(hex(zeroblob(20000)), '0', 'a') || 'b'"}) {
    try {
      outcome = db->run(std::string("WITH t(h) AS (SELECT replace(hex(zeroblob(40000)), '0', "
                                    "'a')) SELECT length(") +
                        search + ") FROM t");
    } catch (const DatabaseError& e) {
      outcome = e.what();
    }
    EXPECT_NE(outcome.find("arguments too long for each other"), std::string::npos)
        << search << ": " << outcome;
  }
  EXPECT_EQ(db->run("SELECT instr('hello', 'l'), replace('abcabc', 'b', 'XX'), trim('xxaxx', 'x'), "
                    "'Hello' LIKE 'h%', 'a_c' LIKE 'a\\_c' ESCAPE '\\', 'abc' GLOB 'a*'"),
            "[(3, 'aXXcaXXc', 'a', 1, 1, 1)]");
  EXPECT_EQ(db->run("SELECT printf('%5.2f|%-3s|%c|%d%%', 3.14159, 'ab', 'xyz', 7), "
                    "format('%.*c', 3, 'y')"),
            "[(' 3.14|ab |x|7%', 'yyy')]");
  // Values far beyond the answer's size are neither rendered nor copied to be left out.
  EXPECT_EQ(db->run("SELECT zeroblob(60000000), zeroblob(60000000)"),
            "[]  # 1 more row was left out: the output stops at 262144 bytes");
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 200L * 1024) << "peak resident memory in KiB";
  EXPECT_EQ(db->run("SELECT 9"), "[(9,)]");
  // The terms of one row are computed with no check in between (forty of these would take
  // about 5 GB): the process's SQLite heap limit stops it instead.
  std::string many = "SELECT 1";
  for (int i = 0; i < 40; ++i) many += ", length(upper(hex(zeroblob(30000000))))";
  try {
    outcome = db->run(many);
  } catch (const DatabaseError& e) {
    outcome = e.what();
  }
  EXPECT_NE(outcome.find("out of memory"), std::string::npos) << outcome.substr(0, 200);
  ::getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 1400L * 1024) << "peak resident memory in KiB";
  EXPECT_EQ(db->run("SELECT 9"), "[(9,)]");
}

// The process's resident memory now and at its peak since the peak was last reset, in MiB.
std::pair<long, long> resident_mib() {
  std::ifstream status("/proc/self/status");
  long now = 0, peak = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) now = std::stol(line.substr(6)) / 1024;
    if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6)) / 1024;
  }
  return {now, peak};
}

// A value far larger than any answer is neither rendered nor copied again only to be left
// out, and the connection that read it does not keep that memory idle in the pool.
TEST(StatementAftermath, PostgresHugeValueLeavesNoMemoryBehind) {
  const auto uri = test::pg_uri();
  if (!uri) NORVEX_SKIP_OR_FAIL("the PostgreSQL test server is not running");
  auto db = CustomSQLDatabase::from_uri(*uri);
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
  const auto before = resident_mib();
  EXPECT_EQ(db->run("SELECT repeat('x', 100000000), 2"),
            "[]  # 1 more row was left out: the output stops at 262144 bytes");
  const auto after = resident_mib();
  // libpq's buffer and its result hold the value twice (rendered and copied again, 480 MiB).
  EXPECT_LT(after.second - before.first, 300) << "peak MiB above the start";
  EXPECT_LT(after.first - before.first, 40) << "MiB still held after the statement";
  EXPECT_EQ(db->run("SELECT 3"), "[(3,)]");
}

// XPath evaluation that neither server interrupts at its time-out (the guard refuses these
// functions; here they stand for any statement a server will not stop).
class StoppedFromOutside : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(StoppedFromOutside, WhenTheServerDoesNotStopItInTime) {
  Options options;
  options.statement_timeout = std::chrono::milliseconds(300);
  options.timeout_grace = std::chrono::milliseconds(400);
  auto backend = open(GetParam().first, options);
  if (!backend) NORVEX_SKIP_OR_FAIL(GetParam().first + " test server is not running");
  Collect sink;
  try {
    backend->execute(GetParam().second, sink);
    ADD_FAILURE() << "ran to the end";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("timed out after 300 ms and was stopped"),
              std::string::npos)
        << e.what();
    EXPECT_EQ(e.sqlstate(), "57014");
  }
  EXPECT_FALSE(backend->healthy());
  backend->reconnect();
  EXPECT_EQ(first_cell(*backend, "SELECT 8"), "8");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, StoppedFromOutside,
    ::testing::Values(
        std::pair<std::string, std::string>{
            "postgresql",
            "SELECT xpath('count(//b[count(following::b) > 0])', ('<a>' || repeat('<b/>', "
            "12000) || '</a>')::xml)::text"},
        std::pair<std::string, std::string>{
            "mysql",
            "SELECT ExtractValue(CONCAT('<a>', REPEAT('<b/>', 8000), '</a>'), "
            "'count(//b[count(//b) > 0])')"}),
    [](const auto& info) { return info.param.first; });

}  // namespace
}  // namespace norvex::sql
