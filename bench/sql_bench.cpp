// Database facade costs: (a) rendering 100,000 rows x 10 mixed columns as a Python literal,
// beside CPython's repr() of the same rows as tuples, measured in the same run by
// /usr/bin/python3; (b) table listing plus table information for 50 tables of a generated
// 1,000-table database, per engine (SQLite always; MariaDB and PostgreSQL scratch databases
// through the admin role when scripts/servers.sh runs).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "norvex/sql/database.hpp"
#include "norvex/sql/rows.hpp"

namespace {

using norvex::sql::Row;
using norvex::sql::Value;
using K = Value::Kind;

constexpr int kRows = 100000;
constexpr int kTables = 1000;
constexpr int kDescribed = 50;

// Two digits, zero-padded.
std::string two(int v) {
  return {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
}

// The same values as the Python script below builds.
std::vector<Row> mixed_rows() {
  std::vector<Row> rows;
  rows.reserve(kRows);
  for (int i = 0; i < kRows; ++i) {
    const std::string date = "2021-" + two(1 + i % 12) + "-" + two(1 + i % 28);
    rows.push_back(
        {Value::of_int(i), Value::of(K::text, "Track " + std::to_string(i) + " it's"),
         Value::of(K::decimal, std::to_string(i % 100) + ".99"), Value::of_real(i * 0.25),
         Value::of(K::date, date),
         Value::of(K::timestamp, date + " " + two(i % 24) + ":" + two(i % 60) + ":" + two(i % 60)),
         i % 3 == 0 ? Value::null_value() : Value::of_int(i * 7L), Value::of_bool(i % 2 == 0),
         Value::of(K::text, "Lorem ipsum dolor sit amet, consectetur"),
         Value::of(K::bytes, std::string("\x00\x01"
                                         "ab",
                                         4))});
  }
  return rows;
}

constexpr const char* kPythonRepr = R"(
import datetime, time
from decimal import Decimal
rows = [(i, "Track %d it's" % i, Decimal("%d.99" % (i % 100)), i * 0.25,
         datetime.date(2021, 1 + i % 12, 1 + i % 28),
         datetime.datetime(2021, 1 + i % 12, 1 + i % 28, i % 24, i % 60, i % 60),
         None if i % 3 == 0 else i * 7, i % 2 == 0, "Lorem ipsum dolor sit amet, consectetur",
         b"\x00\x01ab") for i in range(100000)]
best = float("inf")
for _ in range(5):
    start = time.perf_counter()
    text = repr(rows)
    best = min(best, time.perf_counter() - start)
print(best)
)";

double python_repr_seconds() {
  const auto script = std::filesystem::temp_directory_path() / "norvex_sql_bench_repr.py";
  std::ofstream(script) << kPythonRepr;
  FILE* pipe = ::popen(("/usr/bin/python3 " + script.string()).c_str(), "r");
  if (pipe == nullptr) return 0;
  std::array<char, 128> out{};
  const std::size_t n = std::fread(out.data(), 1, out.size() - 1, pipe);
  ::pclose(pipe);
  std::filesystem::remove(script);
  return n > 0 ? std::atof(out.data()) : 0;
}

void BM_RenderRows100kMixed(benchmark::State& state) {
  const std::vector<Row> rows = mixed_rows();
  const std::vector<std::string> columns(10, "c");
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = norvex::sql::render_rows(columns, rows, false, {0, 0});
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RenderRows100kMixed)->Unit(benchmark::kMillisecond);

// CPython's repr() of the same rows, timed inside Python (building the rows excluded); the
// ratio to BM_RenderRows100kMixed is the speed-up (target: at least 3x).
void BM_PythonReprSameRows(benchmark::State& state) {
  for (auto _ : state) {
    const double seconds = python_repr_seconds();
    if (seconds <= 0) {
      state.SkipWithError("/usr/bin/python3 did not answer");
      return;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_PythonReprSameRows)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// The generated 1,000-table database: table tNNNN has six columns, a primary key, a foreign
// key to the table before it and three rows.

// "t0000" .. "t0999".
std::string table_name(int t) {
  std::string name = "t";
  name += std::to_string(10000 + t).substr(1);
  return name;
}

std::string generated_schema(bool postgres) {
  std::string sql;
  for (int t = 0; t < kTables; ++t) {
    const std::string name = table_name(t);
    const std::string parent = t == 0 ? std::string() : table_name(t - 1);
    sql += "CREATE TABLE " + name + " (id INTEGER NOT NULL PRIMARY KEY, parent_id INTEGER" +
           (parent.empty() ? "" : " REFERENCES " + parent + " (id)") +
           ", label VARCHAR(80) NOT NULL, amount DECIMAL(10,2), created " +
           (postgres ? "TIMESTAMP" : "DATETIME") + ", note TEXT);\n";
    sql += "INSERT INTO " + name +
           " VALUES (1, NULL, 'first', 1.50, '2021-01-01 10:00:00', "
           "'a'), (2, NULL, 'second', 2.50, '2021-01-02 11:00:00', NULL), (3, NULL, 'third', "
           "3.50, '2021-01-03 12:00:00', 'it''s');\n";
  }
  return sql;
}

std::string described_names() {
  std::string names;
  for (int i = 0; i < kDescribed; ++i) {
    if (!names.empty()) names += ", ";
    names += table_name(i * (kTables / kDescribed));
  }
  return names;
}

void run_catalogue(benchmark::State& state, const std::string& uri) {
  std::shared_ptr<norvex::sql::CustomSQLDatabase> db;
  try {
    db = norvex::sql::CustomSQLDatabase::from_uri(uri);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const std::string names = described_names();
  for (auto _ : state) {
    std::string listing = db->table_listing();
    std::string info = db->get_table_info(names);
    benchmark::DoNotOptimize(listing);
    benchmark::DoNotOptimize(info);
  }
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs SQL through a command-line client; false when it fails.
bool pipe_sql(const std::string& command, const std::string& sql) {
  FILE* pipe = ::popen(command.c_str(), "w");
  if (pipe == nullptr) return false;
  std::fwrite(sql.data(), 1, sql.size(), pipe);
  return ::pclose(pipe) == 0;
}

void BM_CatalogueSqlite1000Tables(benchmark::State& state) {
  static const std::filesystem::path file = [] {
    const auto path = std::filesystem::temp_directory_path() / "norvex_sql_bench_1000.db";
    if (!std::filesystem::exists(path)) {
      pipe_sql("sqlite3 -bail " + path.string(),
               "BEGIN;\n" + generated_schema(false) + "COMMIT;\n");
    }
    return path;
  }();
  run_catalogue(state, "sqlite:///" + file.string());
}
BENCHMARK(BM_CatalogueSqlite1000Tables)->Unit(benchmark::kMillisecond);

constexpr const char* kScratch = "norvex_scratch_bench";

void BM_CatalogueMariaDb1000Tables(benchmark::State& state) {
  const std::string port = env("NORVEX_TEST_MYSQL_PORT");
  const std::string user = env("NORVEX_TEST_MYSQL_ADMIN_USER");
  const std::string password = env("NORVEX_TEST_MYSQL_ADMIN_PASSWORD");
  if (port.empty() || user.empty()) {
    state.SkipWithError("the MariaDB test server is not running (scripts/servers.sh start)");
    return;
  }
  static bool ready = false;
  if (!ready) {
    const std::string client = "MYSQL_PWD='" + password +
                               "' mariadb --no-defaults -h 127.0.0.1 -P " + port + " -u " + user +
                               " -N -B";
    // Generated once; a database that already holds the last table is reused.
    const std::string probe = client +
                              " -e \"SELECT 1 FROM information_schema.TABLES WHERE "
                              "TABLE_SCHEMA='" +
                              kScratch + "' AND TABLE_NAME='t0999'\"";
    FILE* check = ::popen(probe.c_str(), "r");
    char buf[8] = {0};
    const bool exists = check != nullptr && std::fread(buf, 1, 1, check) == 1;
    if (check != nullptr) ::pclose(check);
    if (!exists) {
      ready = pipe_sql(client, std::string("DROP DATABASE IF EXISTS ") + kScratch +
                                   "; CREATE DATABASE " + kScratch + "; USE " + kScratch +
                                   ";\nSET foreign_key_checks = 0;\n" + generated_schema(false));
    } else {
      ready = true;
    }
  }
  run_catalogue(state, "mysql+mysqlconnector://" + user + ":" + password + "@127.0.0.1:" + port +
                           "/" + kScratch);
}
BENCHMARK(BM_CatalogueMariaDb1000Tables)->Unit(benchmark::kMillisecond);

void BM_CataloguePostgres1000Tables(benchmark::State& state) {
  const std::string port = env("NORVEX_TEST_PG_PORT");
  const std::string user = env("NORVEX_TEST_PG_ADMIN_USER");
  const std::string password = env("NORVEX_TEST_PG_ADMIN_PASSWORD");
  if (port.empty() || user.empty()) {
    state.SkipWithError("the PostgreSQL test server is not running (scripts/servers.sh start)");
    return;
  }
  static bool ready = false;
  if (!ready) {
    const std::string client = "PGPASSWORD='" + password +
                               "' psql -X -q -v ON_ERROR_STOP=1 -h "
                               "127.0.0.1 -p " +
                               port + " -U " + user;
    const std::string probe = client + " -d " + kScratch +
                              " -At -c \"SELECT to_regclass('t0999') "
                              "IS NOT NULL\" 2>/dev/null";
    FILE* check = ::popen(probe.c_str(), "r");
    char buf[8] = {0};
    const bool exists = check != nullptr && std::fread(buf, 1, 1, check) == 1 && buf[0] == 't';
    if (check != nullptr) ::pclose(check);
    if (!exists) {
      ready =
          pipe_sql(client + " -d postgres", std::string("DROP DATABASE IF EXISTS ") + kScratch +
                                                ";\nCREATE DATABASE " + kScratch + ";\n") &&
          pipe_sql(client + " -d " + kScratch, "BEGIN;\n" + generated_schema(true) + "COMMIT;\n");
    } else {
      ready = true;
    }
  }
  run_catalogue(state, "postgresql+psycopg2://" + user + ":" + password + "@127.0.0.1:" + port +
                           "/" + kScratch);
}
BENCHMARK(BM_CataloguePostgres1000Tables)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
