// The "MsSQL" connection test without a server: its ODBC connection string, the engine
// names, and a machine without the ODBC driver manager.
#include <gtest/gtest.h>

#include "dbkit/odbc.hpp"
#include "norvex/dbkit/connection.hpp"
#include "scratch.hpp"

namespace norvex::dbkit {
namespace {

using test::printed_by;

TEST(MssqlConnectionString, OrdinaryValuesFollowTheLayoutUnchanged) {
  EXPECT_EQ(mssql_connection_string("sa", "Secret-1", "dbhost", 1433, "sales"),
            "DRIVER={SQL Server};SERVER=dbhost,1433;DATABASE=sales;UID=sa;PWD=Secret-1");
  EXPECT_EQ(mssql_connection_string("a b", "p=w@rd:x", "10.0.0.5", std::string("1433"), "my db"),
            "DRIVER={SQL Server};SERVER=10.0.0.5,1433;DATABASE=my db;UID=a b;PWD=p=w@rd:x");
  EXPECT_EQ(mssql_connection_string("", "", "", std::string(""), ""),
            "DRIVER={SQL Server};SERVER=,;DATABASE=;UID=;PWD=");
}

TEST(MssqlConnectionString, ValuesThatCouldSplitTheAttributesAreBraced) {
  // A ';' in the password must not start a new attribute (here: a second DATABASE).
  EXPECT_EQ(mssql_connection_string("sa", "pw;DATABASE=master", "dbhost", 1433, "sales"),
            "DRIVER={SQL Server};SERVER=dbhost,1433;DATABASE=sales;UID=sa;"
            "PWD={pw;DATABASE=master}");
  EXPECT_EQ(mssql_connection_string("sa", "a}b{c", "dbhost", 1433, "sales"),
            "DRIVER={SQL Server};SERVER=dbhost,1433;DATABASE=sales;UID=sa;PWD={a}}b{c}");
  EXPECT_EQ(mssql_connection_string(" sa", "pw ", "dbhost", 1433, "\tsales"),
            "DRIVER={SQL Server};SERVER=dbhost,1433;DATABASE={\tsales};UID={ sa};PWD={pw }");
  // The SERVER value is braced whole, host and port together.
  EXPECT_EQ(mssql_connection_string("sa", "pw", "h;x", std::string("1433;y"), "sales"),
            "DRIVER={SQL Server};SERVER={h;x,1433;y};DATABASE=sales;UID=sa;PWD=pw");
}

TEST(GetDbConnection, OtherEngineNamesAreUnsupportedAndPrintNothing) {
  for (const char* engine : {"mysql", "MYSQL", "Postgres", "MSSQL", "", "SQLite"}) {
    std::string answer;
    EXPECT_EQ(
        printed_by([&] { answer = get_db_connection(engine, "u", "p", "127.0.0.1", 1, "d"); }), "");
    EXPECT_EQ(answer, "Unsupported SQL engine specified.") << engine;
  }
}

TEST(GetDbConnection, MissingOdbcDriverManagerIsThatCallsFailureText) {
  detail::set_odbc_library_for_testing("libnorvex-no-such-odbc.so.2");
  const std::string answer = get_db_connection("MsSQL", "sa", "pw", "127.0.0.1", 1433, "sales");
  detail::set_odbc_library_for_testing(std::string(kOdbcLibrary));
  EXPECT_EQ(answer,
            "Failed to connect to MsSQL database: libnorvex-no-such-odbc.so.2: cannot open shared "
            "object file: No such file or directory");
}

}  // namespace
}  // namespace norvex::dbkit
