// The facade's connection pool on each engine: concurrent calls run on connections of their
// own, a full pool makes a caller wait and then fail clearly, and a connection that the
// server kills while it sits in the pool is replaced before the next call uses it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "norvex/error.hpp"
#include "norvex/sql/database.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::sql {
namespace {

struct PoolEngine {
  std::string name;
  std::function<std::optional<std::string>()> uri;
  std::string slow_sql;       // runs for seconds
  std::string connection_id;  // the server's id of the connection running it
  // A shell command that ends connection {ID} from outside, as an administrator would.
  std::function<std::string(const std::string& id)> kill_command;
};

void PrintTo(const PoolEngine& engine, std::ostream* out) {
  *out << engine.name;
}

std::vector<PoolEngine> engines() {
  std::vector<PoolEngine> list = {
      {"sqlite", [] { return std::optional("sqlite:///" + test::chinook_sqlite().string()); },
       "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c", "",
       nullptr}};
  if (const auto server = norvex::test::mysql_server()) {
    list.push_back({"mariadb", test::mysql_uri, "SELECT SLEEP(3)", "SELECT CONNECTION_ID()",
                    [server](const std::string& id) {
                      return "mariadb --no-defaults -h " + server->host + " -P " +
                             std::to_string(server->port) + " -u " + server->user + " -p'" +
                             server->password + "' -e 'KILL " + id + "'";
                    }});
  } else {
    list.push_back({"mariadb", test::mysql_uri, "", "", nullptr});
  }
  if (const auto server = norvex::test::pg_server()) {
    list.push_back({"postgresql", test::pg_uri, "SELECT pg_sleep(3)", "SELECT pg_backend_pid()",
                    [server](const std::string& id) {
                      return "PGPASSWORD='" + server->password + "' psql -X -q -h " + server->host +
                             " -p " + std::to_string(server->port) + " -U " + server->user +
                             " -d " + server->database + " -c 'SELECT pg_terminate_backend(" + id +
                             ")'";
                    }});
  } else {
    list.push_back({"postgresql", test::pg_uri, "", "", nullptr});
  }
  return list;
}

class ConnectionPool : public ::testing::TestWithParam<PoolEngine> {
 protected:
  void SetUp() override {
    uri_ = GetParam().uri();
    if (!uri_)
      NORVEX_SKIP_OR_FAIL(GetParam().name + " is not available (start scripts/servers.sh)");
  }

  // Starts the slow statement on its own thread and returns once it holds its connection.
  std::thread hold_a_connection(CustomSQLDatabase& db, std::atomic<bool>& done) {
    const auto before = db.pool_status().in_use;
    std::thread holder([&db, &done, sql = GetParam().slow_sql] {
      try {
        (void)db.run(sql);
      } catch (const DatabaseError&) {  // SQLite's endless count ends at the time-out
      }
      done = true;
    });
    while (db.pool_status().in_use == before && !done) std::this_thread::yield();
    return holder;
  }

  std::optional<std::string> uri_;
};

TEST_P(ConnectionPool, ACallRunsWhileAnotherHoldsAConnection) {
  Options options;
  options.pool_size = 2;
  options.statement_timeout = std::chrono::milliseconds(3000);
  auto db = CustomSQLDatabase::from_uri(*uri_, options);
  std::atomic<bool> done = false;
  std::thread holder = hold_a_connection(*db, done);
  EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
  EXPECT_FALSE(done) << "the second call waited for the first";
  EXPECT_EQ(db->pool_status().open, 2u);
  holder.join();
  EXPECT_EQ(db->pool_status().in_use, 0u);
}

TEST_P(ConnectionPool, AFullPoolFailsAfterItsWaitWithARetryableError) {
  Options options;
  options.pool_size = 1;
  options.pool_wait = std::chrono::milliseconds(200);
  options.statement_timeout = std::chrono::milliseconds(3000);
  auto db = CustomSQLDatabase::from_uri(*uri_, options);
  std::atomic<bool> done = false;
  std::thread holder = hold_a_connection(*db, done);
  try {
    (void)db->get_usable_table_names();
    if (!done) ADD_FAILURE() << "a second connection was opened beyond the pool's size";
  } catch (const DatabaseError& e) {
    EXPECT_TRUE(e.retryable());
    EXPECT_NE(std::string(e.what()).find("all 1 connections to the database are busy"),
              std::string::npos)
        << e.what();
  }
  holder.join();
  EXPECT_EQ(db->run("SELECT 2"), "[(2,)]");  // free again
  // A refused statement is refused at once, without waiting for a connection.
  EXPECT_THROW((void)db->run("DELETE FROM x"), DatabaseError);
}

// Only engines with a server that can end a connection.
class KilledConnection : public ConnectionPool {};

TEST_P(KilledConnection, IsReplacedBeforeItsNextUse) {
  auto db = CustomSQLDatabase::from_uri(*uri_);
  const std::string first = db->run(GetParam().connection_id);
  const std::string id = first.substr(2, first.find(',') - 2);  // "[(1234,)]"
  ASSERT_EQ(std::system((GetParam().kill_command(id) + " >/dev/null 2>&1").c_str()), 0);
  const std::string second = db->run(GetParam().connection_id);
  EXPECT_NE(second, first);
  EXPECT_EQ(db->pool_status().open, 1u);
  EXPECT_EQ(db->run("SELECT 3"), "[(3,)]");
}

TEST(ConnectionPoolOfMemoryDatabase, HoldsExactlyOneConnection) {
  Options options;
  options.pool_size = 8;
  auto db = CustomSQLDatabase::from_uri("sqlite:///:memory:", options);
  EXPECT_EQ(db->pool_status().capacity, 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, ConnectionPool, ::testing::ValuesIn(engines()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Servers, KilledConnection, ::testing::ValuesIn([] {
                           auto list = engines();
                           list.erase(list.begin());  // SQLite has no server
                           return list;
                         }()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norvex::sql
