// The facade's connection pool on each engine: concurrent calls run on connections of their
// own, a full pool makes a caller wait and then fail clearly, and a connection that the
// server kills while it sits in the pool is replaced before the next call uses it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

class ConnectionPool : public test::OnChinookEngine {
 protected:
  // Starts the slow statement on its own thread and returns once it holds its connection; it
  // lets go at the pool's statement time-out.
  std::thread hold_a_connection(CustomSQLDatabase& db, std::atomic<bool>& done) {
    const auto before = db.pool_status().in_use;
    std::thread holder([&db, &done, sql = GetParam().slow_sql] {
      try {
        (void)db.run(sql);
      } catch (const DatabaseError&) {  // the time-out ends it
      }
      done = true;
    });
    while (db.pool_status().in_use == before && !done) std::this_thread::yield();
    return holder;
  }
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
  const std::string first = db->run(GetParam().connection_id_sql);
  const std::string id = first.substr(2, first.find(',') - 2);  // "[(1234,)]"
  ASSERT_EQ(std::system((GetParam().kill_command(id) + " >/dev/null 2>&1").c_str()), 0);
  const std::string second = db->run(GetParam().connection_id_sql);
  EXPECT_NE(second, first);
  EXPECT_EQ(db->pool_status().open, 1u);
  EXPECT_EQ(db->run("SELECT 3"), "[(3,)]");
}

// A statement whose connection is lost while it runs may have done its work: it is reported,
// never run a second time on a new connection.
TEST_P(KilledConnection, MidStatementIsReportedAndNotRunAgain) {
  Options options;
  options.statement_timeout = std::chrono::milliseconds(5000);
  auto db = CustomSQLDatabase::from_uri(*uri_, options);
  const std::string first = db->run(GetParam().connection_id_sql);
  const std::string id = first.substr(2, first.find(',') - 2);
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    (void)std::system((GetParam().kill_command(id) + " >/dev/null 2>&1").c_str());
  });
  try {
    const std::string rows = db->run(GetParam().slow_sql);
    ADD_FAILURE() << "ran to the end: " << rows;
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("not run again"), std::string::npos) << e.what();
  }
  killer.join();
  EXPECT_EQ(db->run("SELECT 4"), "[(4,)]");
  EXPECT_EQ(db->pool_status().open, 1u);
}

TEST(ConnectionPoolOfMemoryDatabase, HoldsExactlyOneConnection) {
  Options options;
  options.pool_size = 8;
  auto db = CustomSQLDatabase::from_uri("sqlite:///:memory:", options);
  EXPECT_EQ(db->pool_status().capacity, 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, ConnectionPool,
                         ::testing::ValuesIn(test::chinook_engines({"sqlite", "mariadb",
                                                                    "postgresql"})),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Servers, KilledConnection,
                         ::testing::ValuesIn(test::chinook_engines({"mariadb", "postgresql"})),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace norvex::sql
