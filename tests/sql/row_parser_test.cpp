// Reading rendered results back: every literal the renderer writes round-trips to the text
// Python's str() prints, and anything else is refused rather than misread.

#include <gtest/gtest.h>

#include "norvex/sql/row_parser.hpp"
#include "norvex/sql/rows.hpp"

namespace norvex::sql {
namespace {

TEST(ParsePythonRows, ReadsBackWhatTheRendererWrites) {
  const std::vector<Row> rows = {
      {Value::of_int(1), Value::of(Value::Kind::text, "it's \"AC/DC\"\n\u00e9"),
       Value::of(Value::Kind::decimal, "0.99"), Value::of(Value::Kind::date, "2021-01-31"),
       Value::null_value(), Value::of_bool(true), Value::of_real(2.5),
       Value::of(Value::Kind::timestamp, "2021-01-31 13:05:07+01:00"),
       Value::of(Value::Kind::time, "13:05:07.25")},
      {Value::of_int(-2), Value::of(Value::Kind::text, "\\x"),
       Value::of(Value::Kind::decimal, "10"), Value::of(Value::Kind::date, "1999-12-01"),
       Value::of(Value::Kind::bytes, std::string("\0a", 2)), Value::of_bool(false),
       Value::of_real(-1e-07), Value::of(Value::Kind::timestamp, "2021-01-31 13:05:07-05:30"),
       Value::of(Value::Kind::time, "00:00:00")}};
  const std::vector<std::string> columns = {"a", "b", "c", "d", "e", "f", "g", "h", "i"};
  for (const bool labelled : {false, true}) {
    const auto parsed = parse_python_rows(render_rows(columns, rows, labelled));
    ASSERT_TRUE(parsed) << render_rows(columns, rows, labelled);
    EXPECT_EQ(parsed->columns, labelled ? columns : std::vector<std::string>{});
    ASSERT_EQ(parsed->rows.size(), 2u);
    EXPECT_EQ(parsed->rows[0], (std::vector<std::string>{
                                   "1", "it's \"AC/DC\"\n\u00e9", "0.99", "2021-01-31", "None",
                                   "True", "2.5", "2021-01-31 13:05:07+01:00", "13:05:07.250000"}));
    EXPECT_EQ(parsed->rows[1][1], "\\x");
    EXPECT_EQ(parsed->rows[1][4], "b'\\x00a'");
    EXPECT_EQ(parsed->rows[1][7], "2021-01-31 13:05:07-05:30");
    EXPECT_EQ(parsed->rows[1][8], "00:00:00");
    EXPECT_EQ(parsed->rows_left_out, 0u);
    using K = CellKind;
    EXPECT_EQ(parsed->kinds[1],
              (std::vector<K>{K::number, K::text, K::number, K::temporal, K::bytes, K::boolean,
                              K::number, K::temporal, K::temporal}));
    EXPECT_EQ(parsed->kinds[0][4], K::null);
  }
  // The text 'None' and the number written as text stay apart from None and 1.
  const auto texts = parse_python_rows("[('None', '1')]");
  ASSERT_TRUE(texts);
  EXPECT_EQ(texts->kinds[0], (std::vector<CellKind>{CellKind::text, CellKind::text}));
}

TEST(ParsePythonRows, CountsRowsLeftOutAndRefusesOtherText) {
  std::vector<Row> rows;
  for (int i = 0; i < 5; ++i) rows.push_back({Value::of_int(i)});
  const auto parsed = parse_python_rows(render_rows({"n"}, rows, false, {.max_rows = 2}));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->rows.size(), 2u);
  EXPECT_EQ(parsed->rows_left_out, 3u);

  EXPECT_TRUE(parse_python_rows("[]"));
  for (const char* text : {"", "Error: no such column: x", "[(1, 2), (3,)]", "[(1, 'open)]",
                           "[(1,)] trailing", "[{'a': 1}, {'b': 2}]", "[(foo,)]"}) {
    EXPECT_FALSE(parse_python_rows(text)) << text;
  }
}

TEST(FormatTable, AlignsColumnsByCodePointsUnderAHeader) {
  ParsedRows rows{{"name", "n"}, {{"Caf\u00e9", "1"}, {"a\nb", "22"}}, 4};
  EXPECT_EQ(format_table(rows),
            "name  n\n"
            "----  --\n"
            "Caf\u00e9  1\n"
            "a b   22\n"
            "(4 more rows not shown)\n");
  EXPECT_EQ(format_table({{}, {{"x", "1"}, {"long", "2"}}, 0}), "x     1\nlong  2\n");
}

}  // namespace
}  // namespace norvex::sql
