// The layers beneath the statement guard, tested with the guard out of the way: a role that
// may write (the admin role on a scratch database, a writable SQLite file) still cannot
// change anything through a backend, because each engine's read-only mode is re-asserted
// before every statement and multi-statement text is never accepted.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "backend.hpp"
#include "collect_rows.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::sql {
namespace {

constexpr const char* kScratch = "norvex_scratch_sql";

using Collect = test::CollectRows;

std::int64_t count_rows(detail::Backend& backend, const std::string& table) {
  Collect sink;
  backend.execute("SELECT COUNT(*) FROM " + table, sink);
  return sink.rows.at(0).at(0).integer;
}

std::string failure(detail::Backend& backend, const std::string& sql) {
  Collect sink;
  try {
    backend.execute(sql, sink);
  } catch (const DatabaseError& e) {
    return e.what();
  }
  return "";
}

bool pipe_sql(const std::string& command, const std::string& sql) {
  FILE* pipe = ::popen((command + " >/dev/null 2>&1").c_str(), "w");
  if (pipe == nullptr) return false;
  std::fwrite(sql.data(), 1, sql.size(), pipe);
  return ::pclose(pipe) == 0;
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

const char* kProbeTable =
    "CREATE TABLE probe (id INTEGER PRIMARY KEY, v VARCHAR(20));\n"
    "INSERT INTO probe VALUES (1, 'a'), (2, 'b'), (3, 'c');\n";

TEST(ReadOnlyLayers, SqliteRefusesWritesEvenOnAWritableFile) {
  const auto file = test::temp_dir() / "writable.db";
  std::filesystem::copy_file(test::chinook_sqlite(), file);
  Options options;
  auto backend = detail::open_sqlite(parse_uri("sqlite:///" + file.string()), options);
  for (const char* sql :
       {"DELETE FROM Track", "UPDATE Artist SET Name = 'x'", "PRAGMA query_only=0",
        "ATTACH DATABASE ':memory:' AS other", "VACUUM INTO '/tmp/norvex-probe-vacuum.db'",
        "SELECT 1; DELETE FROM Track", "CREATE TEMP TABLE t (x)", "SELECT load_extension('x')"}) {
    EXPECT_NE(failure(*backend, sql), "") << sql;
  }
  EXPECT_EQ(count_rows(*backend, "Track"), 3503);
  EXPECT_FALSE(std::filesystem::exists("/tmp/norvex-probe-vacuum.db"));
}

TEST(ReadOnlyLayers, PostgresAdminRoleCannotWriteThroughTheBackend) {
  const std::string port = env("NORVEX_TEST_PG_PORT"), user = env("NORVEX_TEST_PG_ADMIN_USER"),
                    password = env("NORVEX_TEST_PG_ADMIN_PASSWORD");
  if (port.empty() || user.empty())
    NORVEX_SKIP_OR_FAIL("the PostgreSQL test server is not running");
  const std::string client = "PGPASSWORD='" + password +
                             "' psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " + port + " -U " +
                             user;
  ASSERT_TRUE(pipe_sql(client + " -d postgres", std::string("DROP DATABASE IF EXISTS ") + kScratch +
                                                    ";\nCREATE DATABASE " + kScratch + ";\n"));
  ASSERT_TRUE(pipe_sql(client + " -d " + kScratch, kProbeTable));
  const std::string uri =
      "postgresql://" + user + ":" + password + "@127.0.0.1:" + port + "/" + kScratch;
  auto backend = detail::open_postgres(parse_uri(uri), Options{});
  EXPECT_NE(failure(*backend, "DELETE FROM probe").find("read-only transaction"),
            std::string::npos);
  // A statement that switches the session to read-write changes nothing for the next one.
  failure(*backend, "SET SESSION CHARACTERISTICS AS TRANSACTION READ WRITE");
  EXPECT_NE(failure(*backend, "UPDATE probe SET v = 'x'").find("read-only transaction"),
            std::string::npos);
  EXPECT_NE(failure(*backend, "SELECT 1; DELETE FROM probe"), "");
  EXPECT_NE(failure(*backend, "CREATE TABLE other (x int)"), "");

  if (std::getenv("ODBCSYSINI") == nullptr) {
    if (norvex::test::in_ci()) ADD_FAILURE() << "ODBCSYSINI is not set: start scripts/servers.sh";
  } else {
    const std::string raw = "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" + port +
                            ";DATABASE=" + kScratch + ";UID=" + user + ";PWD=" + password;
    auto odbc = detail::open_odbc(
        parse_uri("mssql+pyodbc:///?odbc_connect=" + test::url_encode(raw)), Options{});
    EXPECT_NE(failure(*odbc, "DELETE FROM probe"), "");
    EXPECT_EQ(count_rows(*odbc, "probe"), 3);
  }
  EXPECT_EQ(count_rows(*backend, "probe"), 3);
  backend.reset();
  pipe_sql(client + " -d postgres", std::string("DROP DATABASE IF EXISTS ") + kScratch + ";\n");
}

TEST(ReadOnlyLayers, MariaDbAdminRoleCannotWriteThroughTheBackend) {
  const std::string port = env("NORVEX_TEST_MYSQL_PORT"),
                    user = env("NORVEX_TEST_MYSQL_ADMIN_USER"),
                    password = env("NORVEX_TEST_MYSQL_ADMIN_PASSWORD");
  if (port.empty() || user.empty()) NORVEX_SKIP_OR_FAIL("the MariaDB test server is not running");
  const std::string client =
      "MYSQL_PWD='" + password + "' mariadb --no-defaults -h 127.0.0.1 -P " + port + " -u " + user;
  ASSERT_TRUE(pipe_sql(client, std::string("DROP DATABASE IF EXISTS ") + kScratch +
                                   "; CREATE DATABASE " + kScratch + "; USE " + kScratch + ";\n" +
                                   kProbeTable));
  const std::string uri =
      "mysql://" + user + ":" + password + "@127.0.0.1:" + port + "/" + kScratch;
  auto backend = detail::open_mysql(parse_uri(uri), Options{});
  EXPECT_NE(failure(*backend, "DELETE FROM probe").find("READ ONLY"), std::string::npos);
  failure(*backend, "SET SESSION TRANSACTION READ WRITE");
  EXPECT_NE(failure(*backend, "UPDATE probe SET v = 'x'"), "");
  EXPECT_NE(failure(*backend, "SELECT 1; DELETE FROM probe"), "");
  EXPECT_NE(failure(*backend, "LOAD DATA LOCAL INFILE '/etc/hostname' INTO TABLE probe"), "");
  EXPECT_EQ(count_rows(*backend, "probe"), 3);
  backend.reset();
  pipe_sql(client, std::string("DROP DATABASE IF EXISTS ") + kScratch + ";\n");
}

}  // namespace
}  // namespace norvex::sql
