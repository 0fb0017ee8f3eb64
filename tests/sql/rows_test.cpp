// Rendered rows are Python literals: Python itself must read them back and print the same
// text (repr(eval(text)) == text), and the caps must leave a text that still parses.
#include <gtest/gtest.h>

#include <limits>

#include "norvex/sql/rows.hpp"
#include "sql_test_support.hpp"

namespace norvex::sql {
namespace {

using K = Value::Kind;
using test::python_round_trip;

Row every_type_family() {
  return {
      Value::null_value(),
      Value::of_bool(true),
      Value::of_bool(false),
      Value::of_int(0),
      Value::of_int(std::numeric_limits<std::int64_t>::min()),
      Value::of(K::integer, "18446744073709551615"),
      Value::of_real(0.1),
      Value::of_real(1e16),
      Value::of_real(1234567890123456.0),
      Value::of_real(1e-5),
      Value::of_real(0.0001),
      Value::of_real(-0.0),
      Value::of_real(123456789.125),
      Value::of_real(1.5e300),
      Value::of_real(5e-324),
      Value::of_real(2328.59999999996),
      Value::of(K::decimal, "0.99"),
      Value::of(K::decimal, "-12.50"),
      Value::of(K::text, "it's"),
      Value::of(K::text, "say \"hi\""),
      Value::of(K::text, "both ' and \""),
      Value::of(K::text, "tab\tnew\nline\r back\\slash"),
      Value::of(K::text, std::string("\x01\x1f\x7f nul:\0.", 11)),
      Value::of(K::text, "h\xc3\xa9llo w\xc3\xb6rld \xe2\x9c\x93 \xf0\x9f\x98\x80"),
      Value::of(K::text, "nbsp\xc2\xa0 zwsp\xe2\x80\x8b c1\xc2\x85 ls\xe2\x80\xa8"),
      Value::of(K::text, ""),
      Value::of(K::bytes, std::string("\x00\xff'\"\\\n a", 9)),
      Value::of(K::bytes, "only ' single"),
      Value::of(K::date, "2021-01-31"),
      Value::of(K::time, "13:05:07.25"),
      Value::of(K::time, "13:05:00"),
      Value::of(K::time, "00:00:00.000001"),
      Value::of(K::timestamp, "2021-01-31 13:05:07.250"),
      Value::of(K::timestamp, "2021-01-31 00:00:00"),
      Value::of(K::timestamp, "2021-01-31T13:05:07Z"),
      Value::of(K::timestamp, "2021-01-31 13:05:07+00"),
      Value::of(K::timestamp, "2021-01-31 13:05:07+05:30"),
      Value::of(K::timestamp, "2021-01-31 13:05:07.5-08"),
      Value::of(K::date, "0000-00-00"),  // MySQL's zero date is no Python date: a str
      Value::of(K::timestamp, "infinity"),
  };
}

TEST(RowRendering, EveryTypeFamilyReadsBackAsPythonWritesIt) {
  const Row row = every_type_family();
  std::vector<std::string> columns(row.size(), "c");
  const std::string text = render_rows(columns, {row, row}, false, {0, 0});
  EXPECT_EQ(python_round_trip(text), text);
  EXPECT_NE(text.find("Decimal('0.99')"), std::string::npos);
  EXPECT_NE(text.find("datetime.date(2021, 1, 31)"), std::string::npos);
  EXPECT_NE(text.find("datetime.time(13, 5, 7, 250000)"), std::string::npos);
  EXPECT_NE(text.find("tzinfo=datetime.timezone(datetime.timedelta(days=-1, seconds=57600))"),
            std::string::npos);
}

TEST(RowRendering, DictRowsAreKeyedByColumnLabel) {
  const std::vector<std::string> columns = {"ArtistId", "it's", "Name"};
  const std::string text = render_rows(
      columns, {{Value::of_int(1), Value::null_value(), Value::of(K::text, "AC/DC")}}, true);
  EXPECT_EQ(text, "[{'ArtistId': 1, \"it's\": None, 'Name': 'AC/DC'}]");
  EXPECT_EQ(python_round_trip(text), text);
}

TEST(RowRendering, OneColumnRowsAreOneElementTuples) {
  EXPECT_EQ(render_rows({"n"}, {{Value::of_int(3)}, {Value::of_int(4)}}, false), "[(3,), (4,)]");
}

TEST(RowRendering, NoRowsGiveTheEmptyText) {
  EXPECT_EQ(render_rows({"a", "b"}, {}, false), "");
  EXPECT_EQ(render_rows({"a", "b"}, {}, true), "");
}

TEST(RowRendering, RowCapEndsWithACommentAndStillParses) {
  std::vector<Row> rows;
  for (int i = 0; i < 5; ++i) rows.push_back({Value::of_int(i)});
  const std::string text = render_rows({"n"}, rows, false, {2, 0});
  EXPECT_EQ(text, "[(0,), (1,)]  # 3 more rows were left out: the output stops at 2 rows");
  EXPECT_EQ(python_round_trip(text), "[(0,), (1,)]");
}

TEST(RowRendering, ByteCapKeepsWholeRowsOnly) {
  std::vector<Row> rows;
  for (int i = 0; i < 100; ++i) rows.push_back({Value::of(K::text, std::string(20, 'x'))});
  const std::string text = render_rows({"s"}, rows, false, {0, 100});
  const std::string literal = text.substr(0, text.find("  #"));
  EXPECT_LE(literal.size(), 100u);
  EXPECT_NE(text.find("more rows were left out: the output stops at 100 bytes"), std::string::npos);
  const std::string back = python_round_trip(text);
  EXPECT_EQ(back, literal);
}

TEST(RowRendering, AFirstRowLargerThanTheCapLeavesAnEmptyList) {
  const std::string text =
      render_rows({"s"}, {{Value::of(K::text, std::string(500, 'x'))}}, false, {0, 100});
  EXPECT_EQ(text, "[]  # 1 more row was left out: the output stops at 100 bytes");
}

TEST(RowRendering, NonFiniteFloatsAreWrittenAsExpressionsPythonAccepts) {
  const std::string text = render_rows({"a", "b", "c"},
                                       {{Value::of_real(std::numeric_limits<double>::quiet_NaN()),
                                         Value::of_real(std::numeric_limits<double>::infinity()),
                                         Value::of_real(-std::numeric_limits<double>::infinity())}},
                                       false);
  EXPECT_EQ(text, "[(float('nan'), float('inf'), float('-inf'))]");
  EXPECT_EQ(python_round_trip(text), "[(nan, inf, -inf)]");
}

TEST(RowRendering, PlainTextIsPythonStr) {
  EXPECT_EQ(plain_text(Value::null_value()), "None");
  EXPECT_EQ(plain_text(Value::of_bool(true)), "True");
  EXPECT_EQ(plain_text(Value::of_real(2.0)), "2.0");
  EXPECT_EQ(plain_text(Value::of(K::decimal, "0.99")), "0.99");
  EXPECT_EQ(plain_text(Value::of(K::text, "it's")), "it's");
}

}  // namespace
}  // namespace norvex::sql
