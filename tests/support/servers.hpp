#pragma once
// The real database servers that scripts/servers.sh starts on 127.0.0.1, described by the
// NORVEX_TEST_MYSQL_* and NORVEX_TEST_PG_* variables it exports. Fixtures skip with a clear
// message when a server is not running, except under CI=true, where that is a failure.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace norvex::test {

struct ServerConfig {
  std::string host;  // always 127.0.0.1
  int port = 0;
  std::string user;  // an ordinary (non-superuser) role that owns nothing
  std::string password;
  std::string database;    // holds Chinook
  std::string admin_user;  // may create and drop databases named norvex_scratch*
  std::string admin_password;
  std::string files_user;  // PostgreSQL: may read the server's files (pg_read_server_files)
  std::string files_password;
};

/// MariaDB loaded with Chinook, when scripts/servers.sh started it.
std::optional<ServerConfig> mysql_server();
/// PostgreSQL 15 loaded with Chinook, when scripts/servers.sh started it.
std::optional<ServerConfig> pg_server();

/// True when running under CI, where a missing server fails instead of skipping.
bool in_ci();

/// The one rule for a test whose outside part (a server, an ODBC driver, a program) is not
/// there: it skips with the reason, except under CI=true, where the same reason fails it.
/// Usable in a test body or a SetUp; it returns from the enclosing void function.
#define NORVEX_SKIP_OR_FAIL(why)                              \
  do {                                                        \
    const std::string norvex_why_ = (why);                    \
    if (::norvex::test::in_ci()) GTEST_FAIL() << norvex_why_; \
    GTEST_SKIP() << norvex_why_;                              \
  } while (false)

/// The folder holding the Chinook scripts (NORVEX_CHINOOK_DIR, else the repository's copy).
std::filesystem::path chinook_dir();

/// A closed TCP port on 127.0.0.1 (bound, then released), for "unreachable" cases.
int closed_local_port();

/// Base fixtures: SetUp skips (or fails under CI) when the server is not running.
class MysqlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  ServerConfig server_;
};

class PgTest : public ::testing::Test {
 protected:
  void SetUp() override;
  ServerConfig server_;
};

}  // namespace norvex::test
