// Table listing and table information on a small SQLite schema with the cases Chinook lacks:
// views, composite keys, names a model may quote or re-case, and long or multi-line values.
#include <gtest/gtest.h>

#include "norvex/error.hpp"
#include "norvex/sql/database.hpp"
#include "sql_test_support.hpp"

namespace norvex::sql {
namespace {

std::shared_ptr<CustomSQLDatabase> small_database() {
  static const auto file = [] {
    const auto path = test::temp_dir() / "small.db";
    test::build_sqlite(path, R"(
      CREATE TABLE "order" (id INTEGER PRIMARY KEY, note TEXT);
      CREATE TABLE line (order_id INTEGER NOT NULL REFERENCES "order",
                         pos INTEGER NOT NULL, item TEXT, PRIMARY KEY (order_id, pos));
      CREATE VIEW big_orders AS SELECT id FROM "order" WHERE id > 1;
      INSERT INTO "order" VALUES (1, 'first' || char(10) || 'line	tab'), (2, printf('%.300c', 'x'));
      INSERT INTO line VALUES (1, 1, 'a'), (1, 2, 'b'), (2, 1, NULL);
    )");
    return path;
  }();
  return CustomSQLDatabase::from_uri("sqlite:///" + file.string());
}

TEST(TableInformation, ListingHoldsTablesAndViewsSorted) {
  EXPECT_EQ(small_database()->table_listing(), "big_orders, line, order");
}

TEST(TableInformation, CompositeKeysAndKeysToAPrimaryKeyWithoutColumns) {
  const std::string info = small_database()->get_table_info("line");
  EXPECT_NE(info.find("PRIMARY KEY (\"order_id\", \"pos\")"), std::string::npos) << info;
  EXPECT_NE(info.find("FOREIGN KEY (\"order_id\") REFERENCES \"order\"\n"), std::string::npos)
      << info;
  EXPECT_NE(info.find("3 rows from line table:\norder_id\tpos\titem\n1\t1\ta\n"), std::string::npos)
      << info;
  EXPECT_NE(info.find("2\t1\tNone"), std::string::npos) << info;
}

TEST(TableInformation, QuotedRecasedAndRepeatedNamesResolveOnce) {
  const std::string info = small_database()->get_table_info(" \"order\" , BIG_ORDERS, order ");
  EXPECT_EQ(info.find("CREATE TABLE \"order\""), 0u) << info;
  EXPECT_NE(info.find("CREATE TABLE \"big_orders\""), std::string::npos) << info;
  EXPECT_EQ(info.find("CREATE TABLE \"order\"", 1), std::string::npos) << info;
}

TEST(TableInformation, SampleValuesStayOnOneLineAndAreShortened) {
  const std::string info = small_database()->get_table_info("order");
  EXPECT_NE(info.find("1\tfirst line tab\n"), std::string::npos) << info;
  EXPECT_NE(info.find("2\t" + std::string(100, 'x') + "...\n"), std::string::npos) << info;
}

}  // namespace
}  // namespace norvex::sql
