// Cells and rows: the printable forms and the typed accessors a caller relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "norvex/dbkit/cell.hpp"
#include "norvex/error.hpp"

namespace norvex::dbkit {
namespace {

TEST(Cell, PrintsEachKindReadably) {
  EXPECT_EQ(Cell().to_string(), "NULL");
  EXPECT_EQ(Cell::boolean(false).to_string(), "false");
  EXPECT_EQ(Cell::integer(-42).to_string(), "-42");
  EXPECT_EQ(Cell::floating(2.0).to_string(), "2.0");
  EXPECT_EQ(Cell::floating(0.1).to_string(), "0.1");
  EXPECT_EQ(Cell::floating(1e300).to_string(), "1e+300");
  EXPECT_EQ(Cell::floating(-INFINITY).to_string(), "-inf");
  EXPECT_EQ(Cell::decimal("0.99").to_string(), "0.99");
  EXPECT_EQ(Cell::bytes(std::string("\x00\xff", 2)).to_string(), "\\x00ff");
  EXPECT_EQ(Cell::timestamp("2021-01-02 03:04:05").to_string(), "2021-01-02 03:04:05");
  std::ostringstream out;
  out << Row{{"id", Cell::integer(1)}, {"name", Cell::text("AC/DC")}, {"x", Cell()}};
  EXPECT_EQ(out.str(), "{id: 1, name: AC/DC, x: NULL}");
}

TEST(Cell, AccessorsRefuseOtherKinds) {
  EXPECT_EQ(Cell::integer(7).as_integer(), 7);
  EXPECT_DOUBLE_EQ(Cell::decimal("1.25").as_double(), 1.25);
  EXPECT_DOUBLE_EQ(Cell::integer(3).as_double(), 3.0);
  EXPECT_EQ(Cell::date("2021-01-02").as_text(), "2021-01-02");
  EXPECT_THROW((void)Cell().as_text(), ValueError);
  EXPECT_THROW((void)Cell::text("7").as_integer(), ValueError);
  EXPECT_TRUE(std::isnan(Cell::decimal("NaN").as_double()));  // PostgreSQL numeric NaN
  EXPECT_THROW((void)Cell::integer(1).as_bool(), ValueError);
  // Same text, different kind: not equal.
  EXPECT_NE(Cell::text("2021-01-02"), Cell::date("2021-01-02"));
}

TEST(Row, LooksUpByLabelAndKeepsColumnOrder) {
  Row row{{"b", Cell::integer(1)}, {"a", Cell::integer(2)}};
  row.set("b", Cell::integer(3));  // replaced in place
  row.set("c", Cell());
  EXPECT_EQ(row.labels(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(row["b"], Cell::integer(3));
  EXPECT_EQ(row.find("nope"), nullptr);
  try {
    (void)row.at("nope");
    ADD_FAILURE() << "no error";
  } catch (const ArgumentError& error) {
    EXPECT_STREQ(error.what(), "the row has no column 'nope'");
  }
}

}  // namespace
}  // namespace norvex::dbkit
