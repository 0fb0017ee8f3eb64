// Statement limits of the database facade: (a) the cost of one short statement, now that
// every statement is followed by a rollback and a reset of the session, on PostgreSQL and
// MariaDB (the test servers, ordinary role); (b) statements that run long in functions their
// server does not interrupt, run below the statement guard with a 1 s time-out and a 2 s
// grace: each must come back within time-out + grace (the figure is the wall time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "backend.hpp"
#include "norvex/sql/database.hpp"

namespace {

using namespace norvex::sql;
using Clock = std::chrono::steady_clock;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string server_uri(const std::string& engine) {
  const std::string prefix = engine == "postgresql" ? "NORVEX_TEST_PG_" : "NORVEX_TEST_MYSQL_";
  const std::string port = env((prefix + "PORT").c_str());
  if (port.empty()) return "";
  return (engine == "postgresql" ? "postgresql://" : "mysql://") + env((prefix + "USER").c_str()) +
         ":" + env((prefix + "PASSWORD").c_str()) + "@127.0.0.1:" + port + "/" +
         env((prefix + "DATABASE").c_str());
}

void BM_ShortStatementWithReset(benchmark::State& state, const std::string& engine) {
  const std::string uri = server_uri(engine);
  if (uri.empty()) {
    state.SkipWithError("the test server is not running (scripts/servers.sh start)");
    return;
  }
  auto db = CustomSQLDatabase::from_uri(uri);
  for (auto _ : state) benchmark::DoNotOptimize(db->run("SELECT 1"));
}
BENCHMARK_CAPTURE(BM_ShortStatementWithReset, postgresql, std::string("postgresql"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ShortStatementWithReset, mariadb, std::string("mysql"))
    ->Unit(benchmark::kMicrosecond);

struct Discard : detail::RowSink {
  void columns(const std::vector<std::string>&) override {}
  bool row(const Row&) override { return true; }
};

void BM_SlowStatementStopped(benchmark::State& state, const std::string& engine,
                             const std::string& sql) {
  Options options;
  options.statement_timeout = std::chrono::milliseconds(1000);
  options.timeout_grace = std::chrono::milliseconds(2000);
  std::unique_ptr<detail::Backend> backend;
  if (engine == "sqlite") {
    backend = detail::open_sqlite(parse_uri("sqlite:///:memory:"), options);
  } else {
    const std::string uri = server_uri(engine);
    if (uri.empty()) {
      state.SkipWithError("the test server is not running (scripts/servers.sh start)");
      return;
    }
    backend = engine == "postgresql" ? detail::open_postgres(parse_uri(uri), options)
                                     : detail::open_mysql(parse_uri(uri), options);
  }
  std::string outcome = "ran to the end";
  for (auto _ : state) {
    const auto start = Clock::now();
    Discard sink;
    try {
      backend->execute(sql, sink);
    } catch (const norvex::DatabaseError& e) {
      outcome = e.what();
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    state.SetIterationTime(took.count());
    state.counters["over_time_out_ms"] = took.count() * 1000 - 1000;
  }
  state.SetLabel(outcome.substr(0, 60));
}

#define SLOW(name, engine, sql)                                                           \
  BENCHMARK_CAPTURE(BM_SlowStatementStopped, name, std::string(engine), std::string(sql)) \
      ->UseManualTime()                                                                   \
      ->Iterations(1)                                                                     \
      ->Unit(benchmark::kMillisecond)

SLOW(pg_xpath_20000_nodes, "postgresql",
     "SELECT xpath('count(//b[count(following::b) > 0])', ('<a>' || repeat('<b/>', 20000) || "
     "'</a>')::xml)::text");
SLOW(pg_sleep, "postgresql", "SELECT pg_sleep(30)");
SLOW(mariadb_extractvalue_12000_nodes, "mysql",
     "SELECT ExtractValue(CONCAT('<a>', REPEAT('<b/>', 12000), '</a>'), "
     "'count(//b[count(//b) > 0])')");
SLOW(mariadb_sleep, "mysql", "SELECT SLEEP(30)");
SLOW(sqlite_four_huge_printf, "sqlite",
     "SELECT length(printf('%.*c', 900000000, 'x')) + length(printf('%.*c', 900000000, 'y')) + "
     "length(printf('%.*c', 900000000, 'z')) + length(printf('%.*c', 900000000, 'w'))");
SLOW(sqlite_trim_by_a_long_set, "sqlite",
     "WITH t(h, n) AS (SELECT replace(hex(zeroblob(100000)), '0', 'a'), "
     "replace(hex(zeroblob(50000)), '0', 'b') || 'a') SELECT length(trim(h, n)) FROM t");
SLOW(sqlite_endless_cte, "sqlite",
     "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c");

}  // namespace

BENCHMARK_MAIN();
