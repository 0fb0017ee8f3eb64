// Opening the facade: refused connections and credentials give clear database errors without
// the password, "localhost" with a port means TCP, and a server restart is survived
// transparently (on private server instances, never the shared ones).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "norvex/error.hpp"
#include "norvex/sql/database.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::sql {
namespace {

constexpr const char* kSecret = "Very-Secret-pw";

std::string open_error(const std::string& uri) {
  try {
    (void)CustomSQLDatabase::from_uri(uri);
  } catch (const DatabaseError& e) {
    return e.what();
  }
  return "";
}

TEST(FacadeConnect, RefusedConnectionsAreClearErrorsWithoutThePassword) {
  const std::string port = std::to_string(norvex::test::closed_local_port());
  const std::string credentials = std::string("sa:") + kSecret + "@127.0.0.1:" + port;
  const std::string mysql = open_error("mysql+mysqlconnector://" + credentials + "/Chinook");
  EXPECT_NE(mysql.find("Cannot connect to MySQL"), std::string::npos) << mysql;
  const std::string pg = open_error("postgresql+psycopg2://" + credentials + "/chinook");
  EXPECT_NE(pg.find("Connection refused"), std::string::npos) << pg;
  for (const auto& what : {mysql, pg}) EXPECT_EQ(what.find(kSecret), std::string::npos) << what;
}

TEST(FacadeConnect, SqlServerThroughFreeTdsUpToARefusedConnection) {
  if (std::getenv("ODBCSYSINI") == nullptr)
    NORVEX_SKIP_OR_FAIL("ODBCSYSINI is not set: start scripts/servers.sh");
  const std::string port = std::to_string(norvex::test::closed_local_port());
  const std::string what =
      open_error(std::string("mssql+pyodbc://sa:") + kSecret + "@127.0.0.1:" + port + "/master");
  EXPECT_NE(what.find("Cannot connect through ODBC"), std::string::npos) << what;
  EXPECT_NE(what.find("DRIVER={SQL Server};SERVER=127.0.0.1," + port), std::string::npos) << what;
  EXPECT_NE(what.find("FreeTDS"), std::string::npos) << what;
  EXPECT_EQ(what.find(kSecret), std::string::npos) << what;
  // A raw string is masked too.
  const std::string raw = open_error(
      "mssql+pyodbc:///?odbc_connect=" +
      test::url_encode("DRIVER={SQL Server};SERVER=127.0.0.1," + port + ";UID=sa;PWD=" + kSecret));
  EXPECT_NE(raw.find("PWD=***"), std::string::npos) << raw;
  EXPECT_EQ(raw.find(kSecret), std::string::npos) << raw;
}

TEST(FacadeConnect, UnknownOdbcDriverIsNamed) {
  if (std::getenv("ODBCSYSINI") == nullptr)
    NORVEX_SKIP_OR_FAIL("ODBCSYSINI is not set: start scripts/servers.sh");
  const std::string what = open_error("mssql+pyodbc://u:p@127.0.0.1:1/db?driver=No+Such+Driver");
  EXPECT_NE(what.find("No Such Driver"), std::string::npos) << what;
  // Without a driver parameter, NORVEX_ODBC_DRIVER names the driver.
  ::setenv("NORVEX_ODBC_DRIVER", "Another Missing Driver", 1);
  const std::string from_env = open_error("mssql+pyodbc://u:p@127.0.0.1:1/db");
  ::unsetenv("NORVEX_ODBC_DRIVER");
  EXPECT_NE(from_env.find("DRIVER={Another Missing Driver};SERVER=127.0.0.1;PORT=1"),
            std::string::npos)
      << from_env;
}

TEST(FacadeConnect, MissingSqliteFileAndInMemoryDatabase) {
  const std::string what = open_error("sqlite:///no/such/folder/chinook.db");
  EXPECT_NE(what.find("no/such/folder/chinook.db"), std::string::npos) << what;
  auto memory = CustomSQLDatabase::from_uri("sqlite:///:memory:");
  EXPECT_EQ(memory->table_listing(), "");
  EXPECT_EQ(memory->run("SELECT 1 AS one", "all", true), "[{'one': 1}]");
}

using MysqlConnect = norvex::test::MysqlTest;
using PgConnect = norvex::test::PgTest;

TEST_F(MysqlConnect, RefusedCredentialsAndLocalhostMeaningTcp) {
  const std::string base = "mysql+mysqlconnector://" + server_.user + ":";
  const std::string where = "@127.0.0.1:" + std::to_string(server_.port) + "/" + server_.database;
  const std::string what = open_error(base + kSecret + where);
  EXPECT_NE(what.find("Access denied"), std::string::npos) << what;
  EXPECT_EQ(what.find(kSecret), std::string::npos) << what;
  // The connector would take "localhost" for the Unix socket and ignore the port.
  auto db = CustomSQLDatabase::from_uri(base + server_.password + "@localhost:" +
                                        std::to_string(server_.port) + "/" + server_.database);
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
}

TEST_F(PgConnect, RefusedCredentials) {
  const std::string what =
      open_error("postgresql+psycopg2://" + server_.user + ":" + kSecret +
                 "@127.0.0.1:" + std::to_string(server_.port) + "/" + server_.database);
  EXPECT_NE(what.find("password authentication failed"), std::string::npos) << what;
  EXPECT_EQ(what.find(kSecret), std::string::npos) << what;
}

using test::PrivateServer;

void expect_survives_restart(PrivateServer& server, CustomSQLDatabase& db) {
  ASSERT_EQ(db.run("SELECT 1"), "[(1,)]");
  ASSERT_TRUE(server.control("restart"));
  EXPECT_EQ(db.run("SELECT 2"), "[(2,)]");  // re-opened once, transparently
  // Down for good: a database error, then the next call after the restart works again.
  ASSERT_TRUE(server.control("stop"));
  EXPECT_THROW(db.run("SELECT 3"), DatabaseError);
  EXPECT_THROW(db.table_listing(), DatabaseError);
  ASSERT_TRUE(server.control("start"));
  EXPECT_EQ(db.run("SELECT 4"), "[(4,)]");
}

TEST(FacadeReconnect, PostgresRestartIsSurvived) {
  PrivateServer server("pg");
  if (!server.ok()) NORVEX_SKIP_OR_FAIL("cannot start a private PostgreSQL server");
  auto db = CustomSQLDatabase::from_uri(server.uri("postgres"));
  expect_survives_restart(server, *db);
}

TEST(FacadeReconnect, MariaDbRestartIsSurvived) {
  PrivateServer server("mariadb");
  if (!server.ok()) NORVEX_SKIP_OR_FAIL("cannot start a private MariaDB server");
  auto db = CustomSQLDatabase::from_uri(server.uri(""));
  expect_survives_restart(server, *db);
}

TEST(FacadeReconnect, OdbcRestartIsSurvived) {
  if (std::getenv("ODBCSYSINI") == nullptr)
    NORVEX_SKIP_OR_FAIL("ODBCSYSINI is not set: start scripts/servers.sh");
  PrivateServer server("pg");
  if (!server.ok()) NORVEX_SKIP_OR_FAIL("cannot start a private PostgreSQL server");
  const std::string raw =
      "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" + std::to_string(server.port()) +
      ";DATABASE=postgres;UID=" + PrivateServer::kProbeUser +
      ";PWD=" + PrivateServer::kProbePassword;
  auto db = CustomSQLDatabase::from_uri("mssql+pyodbc:///?odbc_connect=" + test::url_encode(raw));
  expect_survives_restart(server, *db);
}

}  // namespace
}  // namespace norvex::sql
