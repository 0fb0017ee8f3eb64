// Comparing results as execution accuracy does, spotting a final ORDER BY, and reading
// question sets: each case is a way a wrong verdict or a lost question could slip in.

#include <gtest/gtest.h>

#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"

namespace norvex::eval {
namespace {

Comparison compare(std::string_view gold, std::string_view predicted, bool ordered = false,
                   double tolerance = 1e-6) {
  return compare_rows(read_rows(gold), read_rows(predicted),
                      {.tolerance = tolerance, .ordered = ordered});
}

TEST(CompareRows, NumbersMatchAcrossTypesWithinTheToleranceAndNullOnlyMatchesNull) {
  EXPECT_TRUE(compare("[(Decimal('0.990'), 3)]", "[(0.99, 3.0)]").match);
  EXPECT_TRUE(compare("[(0.30000000000000004,)]", "[(0.3,)]").match);
  EXPECT_FALSE(compare("[(0.30000000000000004,)]", "[(0.3,)]", false, 0).match);
  EXPECT_TRUE(compare("[(1.0,)]", "[(1.0000009,)]").match);
  EXPECT_EQ(compare("[(1.0,)]", "[(1.00001,)]").reason, kReasonValuesDiffer);
  EXPECT_TRUE(compare("[(True, None)]", "[(1, None)]").match);
  EXPECT_FALSE(compare("[(None,)]", "[('None',)]").match);
  EXPECT_FALSE(compare("[(1,)]", "[('1',)]").match);
  EXPECT_FALSE(compare("[(0,)]", "[(None,)]").match);
  // A date an engine returns as text equals the same date returned as a date.
  EXPECT_TRUE(compare("[(datetime.date(2024, 1, 31),)]", "[('2024-01-31',)]").match);
}

TEST(CompareRows, RowsAreAMultisetUnlessTheGoldIsOrdered) {
  const char* gold = "[(1, 'a'), (2, 'b'), (2, 'b')]";
  EXPECT_TRUE(compare(gold, "[(2, 'b'), (1, 'a'), (2, 'b')]").match);
  EXPECT_EQ(compare(gold, "[(2, 'b'), (1, 'a'), (2, 'b')]", true).reason, kReasonOrderDiffers);
  EXPECT_TRUE(compare(gold, gold, true).match);
  // Duplicates count: the same distinct rows in other numbers differ.
  EXPECT_EQ(compare(gold, "[(1, 'a'), (1, 'a'), (2, 'b')]").reason, kReasonValuesDiffer);
  EXPECT_EQ(compare(gold, "[(1, 'a'), (2, 'b')]").reason, kReasonRowCountDiffers);
  EXPECT_EQ(compare(gold, "[(1, 'a', 0), (2, 'b', 0), (2, 'b', 0)]").reason, kReasonColumnsDiffer);
  EXPECT_TRUE(compare("", "").match);
  EXPECT_EQ(compare("", "[(1,)]").reason, kReasonRowCountDiffers);
}

TEST(CompareRows, ColumnsPairByTheirValuesAndEqualColumnsAreNeverSwapped) {
  EXPECT_TRUE(compare("[(1, 'a'), (2, 'b')]", "[('b', 2), ('a', 1)]").match);
  EXPECT_TRUE(compare("[(1, 'a'), (2, 'b')]", "[('a', 1), ('b', 2)]", true).match);
  // Swapped columns still have to keep each row together.
  EXPECT_FALSE(compare("[(1, 'a'), (2, 'b')]", "[('b', 1), ('a', 2)]").match);
  // Two columns with the same values pair in order: crossed pairs are not forgiven.
  EXPECT_FALSE(compare("[(1, 2), (2, 1)]", "[(1, 1), (2, 2)]").match);
  EXPECT_TRUE(compare("[(1, 2), (2, 1)]", "[(2, 1), (1, 2)]").match);
  const auto missing = compare("[(1, 'a')]", "[(1, 'z')]");
  EXPECT_EQ(missing.reason, kReasonValuesDiffer);
  EXPECT_NE(missing.detail.find("column 2"), std::string::npos) << missing.detail;
}

TEST(ReadRows, RefusesCappedResultsAndErrorTexts) {
  EXPECT_THROW(static_cast<void>(read_rows("[(1,), (2,)]\n# 3 more rows were left out")),
               ValueError);
  EXPECT_THROW(static_cast<void>(read_rows("no such column: nme")), ValueError);
  EXPECT_EQ(read_rows(" ").cells.size(), 0u);
}

TEST(TopLevelOrderBy, OnlyAnOrderingOfTheFinalResultCounts) {
  EXPECT_TRUE(has_top_level_order_by("select a from t order by a"));
  EXPECT_TRUE(has_top_level_order_by("SELECT a FROM t UNION SELECT b FROM u ORDER\n  BY 1"));
  EXPECT_TRUE(has_top_level_order_by("WITH x AS (SELECT 1) SELECT * FROM x ORDER BY 1"));
  for (const char* sql : {
           "SELECT * FROM (SELECT a FROM t ORDER BY a LIMIT 3)",
           "SELECT a, RANK() OVER (ORDER BY b) FROM t",
           "SELECT 'order by' FROM t",
           "SELECT \"ORDER\" BY_x FROM t -- order by a",
           "SELECT a FROM t /* ORDER BY a */",
           "SELECT [order] FROM t",
           "SELECT a AS sort_order FROM t GROUP BY a",
       }) {
    EXPECT_FALSE(has_top_level_order_by(sql)) << sql;
  }
}

TEST(ParseQuestions, ReadsLinesAndArraysWithTheGoldUnderAnyOfItsNames) {
  const auto set = parse_questions(
      "{\"question\": \"q1\", \"sql\": \"SELECT 1\", \"evidence\": \"e\"}\n"
      "\n"
      "{\"id\": 7, \"question\": \"q2\", \"query\": \"SELECT 2\", \"hint\": \"h\"}\n"
      "{\"id\": \"x\", \"question\": \"q3\", \"gold_sql\": \"SELECT 3\", \"db_id\": \"other\"}\n",
      {.db_id = "shop"});
  ASSERT_EQ(set.questions.size(), 2u);
  EXPECT_EQ(set.skipped, 1u);
  EXPECT_EQ(set.questions[0].id, "1");
  EXPECT_EQ(set.questions[0].evidence, "e");
  EXPECT_EQ(set.questions[1].id, "7");
  EXPECT_EQ(set.questions[1].gold_sql, "SELECT 2");
  EXPECT_EQ(set.questions[1].evidence, "h");

  const auto array =
      parse_questions("[{\"question\": \"q\", \"SQL\": \"SELECT 9\", \"sql\": \"SELECT 1\"}]",
                      {.gold_field = "SQL"});
  ASSERT_EQ(array.questions.size(), 1u);
  EXPECT_EQ(array.questions[0].gold_sql, "SELECT 9");
}

TEST(ParseQuestions, BadInputNamesTheLineAndRunsNothing) {
  const auto error_of = [](std::string_view text) {
    try {
      static_cast<void>(parse_questions(text, {}, "set.jsonl"));
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("(no error)");
  };
  const std::string ok = "{\"question\": \"q\", \"sql\": \"SELECT 1\"}\n";
  EXPECT_NE(error_of(ok + "{\"question\": \"q\"\n").find("set.jsonl line 2"), std::string::npos);
  EXPECT_NE(error_of(ok + "{\"question\": \"q\"}\n").find("no gold SQL"), std::string::npos);
  EXPECT_NE(error_of("{\"sql\": \"SELECT 1\"}").find("no \"question\""), std::string::npos);
  EXPECT_NE(error_of("{\"question\": \"q\", \"sql\": 5}").find("must be a text"),
            std::string::npos);
  EXPECT_NE(error_of("{\"id\": \"a\", \"question\": \"q\", \"sql\": \"SELECT 1\"}\n"
                     "{\"id\": \"a\", \"question\": \"r\", \"sql\": \"SELECT 2\"}")
                .find("repeats"),
            std::string::npos);
  EXPECT_NE(error_of("[1]").find("set.jsonl item 1"), std::string::npos);
}

}  // namespace
}  // namespace norvex::eval
