// The pipeline state's field table, the entry node and the two repair loops' conditions and
// handlers, driven through merged states as the graph would drive them.

#include <gtest/gtest.h>

#include <algorithm>

#include "norvex/error.hpp"
#include "stage_test_support.hpp"

namespace norvex::flow_stages {
namespace {

using graph::Json;
using graph::MergeRule;
using testing::make_state;
using testing::merged;

TEST(PipelineState, DeclaresTwentyFiveFieldsWithTheirMergeRules) {
  const auto schema = sql_state_schema();
  ASSERT_EQ(schema->size(), 25u);
  EXPECT_EQ(schema->name(0), "user_question");
  EXPECT_EQ(schema->name(24), "pandas_generation_prompt_type");
  EXPECT_EQ(schema, sql_state_schema()) << "one shared schema";
  std::vector<std::string> appending, adding;
  for (std::size_t i = 0; i < schema->size(); ++i) {
    if (schema->rule(i) == MergeRule::append) appending.push_back(schema->name(i));
    if (schema->rule(i) == MergeRule::add) adding.push_back(schema->name(i));
  }
  EXPECT_EQ(appending, (std::vector<std::string>{"follow_up_question", "generated_sql_query",
                                                 "execution_error", "sql_execution_result"}));
  EXPECT_EQ(adding, (std::vector<std::string>{"iteration_count", "iteration_count_pandas"}));
}

TEST(PipelineState, AccessorsNameTheAbsentFieldAndRejectWrongTypes) {
  const auto state = make_state({{"user_question", 3}, {"rewrite_count", "one"}});
  try {
    (void)text_field(state, field::save_path);
    FAIL() << "expected MissingFieldError";
  } catch (const MissingFieldError& error) {
    EXPECT_EQ(error.field(), "save_path");
  }
  EXPECT_THROW((void)text_field(state, field::user_question), ValueError);
  EXPECT_THROW((void)integer_field(state, field::rewrite_count), ValueError);
  EXPECT_THROW((void)flag_field(state, field::execution_success), MissingFieldError);
  EXPECT_THROW((void)last_text(state, field::generated_sql_query), ValueError) << "empty list";
  EXPECT_EQ(
      names_text(make_state({{"relevant_tables", {"Album", "Artist"}}}), field::relevant_tables),
      "Album,Artist");
  EXPECT_EQ(names_text(make_state({{"relevant_tables", "Album, Artist"}}), field::relevant_tables),
            "Album, Artist");
}

TEST(Initialisation, StartsARunWithTheCountersLimitsAndEmptyLists) {
  auto state = make_state({{"user_question", "q"}, {"save_path", "/tmp/m"}});
  state = merged(state, initialisation(state));
  EXPECT_EQ(state.to_json(), (Json{{"user_question", "q"},
                                   {"follow_up_question", Json::array()},
                                   {"generated_sql_query", Json::array()},
                                   {"execution_error", Json::array()},
                                   {"sql_execution_result", Json::array()},
                                   {"save_path", "/tmp/m"},
                                   {"iteration_count", 0},
                                   {"iteration_count_pandas", 0},
                                   {"rewrite_count", 0},
                                   {"rewritten_question", ""},
                                   {"max_iterations", 5},
                                   {"max_iterations_pandas", 3}}));
}

TEST(Initialisation, ResetsTheSqlLimitsButReappliesEveryOtherField) {
  auto state = make_state({{"iteration_count", 3},
                           {"iteration_count_pandas", 2},
                           {"follow_up_question", {"a"}},
                           {"generated_sql_query", {"SELECT 1"}},
                           {"max_iterations", 2},
                           {"rewrite_count", 1},
                           {"rewritten_question", "old"},
                           {"max_iterations_pandas", 0},
                           {"pandas_code", "print(1)"}});
  state = merged(state, initialisation(state));
  EXPECT_EQ(state.at("iteration_count"), 3) << "an add field plus 0 stays";
  EXPECT_EQ(state.at("max_iterations"), 5);
  EXPECT_EQ(state.at("rewrite_count"), 0);
  EXPECT_EQ(state.at("rewritten_question"), "");
  EXPECT_EQ(state.at("generated_sql_query"), Json::array({"SELECT 1"}));
  EXPECT_EQ(state.at("max_iterations_pandas"), 0) << "a caller's limit stands, even 0";
  EXPECT_EQ(state.at("pandas_code"), "print(1)");
  // The whole state goes back as the update, so these are applied to themselves.
  EXPECT_EQ(state.at("follow_up_question"), Json::array({"a", "a"}));
  EXPECT_EQ(state.at("iteration_count_pandas"), 4);
}

TEST(ExecutionConditions, RouteOnTheSuccessFlags) {
  EXPECT_EQ(sql_execution_condition(make_state({{"execution_success", true}})),
            "pandas_generation");
  EXPECT_EQ(sql_execution_condition(make_state({{"execution_success", false}})),
            "sql_execution_error");
  EXPECT_EQ(pandas_execution_condition(make_state({{"python_execution_success", true}})),
            "final_response");
  EXPECT_EQ(pandas_execution_condition(make_state({{"python_execution_success", false}})),
            "pandas_execution_error");
  EXPECT_THROW((void)sql_execution_condition(make_state()), MissingFieldError);
}

// One failed query as the graph handles it: the handler's update merged, then its condition.
std::string fail_sql(graph::State& state) {
  state.merge(handle_sql_error(state));
  return sql_error_handler_condition(state);
}

TEST(SqlRepairLoop, RepairsFourTimesThenRewritesOnceThenGivesUp) {
  auto state = make_state({{"user_question", "q"}});
  state = merged(state, initialisation(state));
  const std::vector<std::string> expected = {"regenerate_sql_query", "regenerate_sql_query",
                                             "regenerate_sql_query", "regenerate_sql_query",
                                             "rewrite_query",        "terminal_failure_response"};
  const std::vector<std::pair<int, int>> counters = {{1, 0}, {2, 0}, {3, 0},
                                                     {4, 0}, {5, 0}, {5, 1}};
  for (std::size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE("failed query " + std::to_string(k + 1));
    EXPECT_EQ(fail_sql(state), expected[k]);
    EXPECT_EQ(state.at("iteration_count"), counters[k].first);
    EXPECT_EQ(state.at("rewrite_count"), counters[k].second);
    if (k < 5) {
      EXPECT_EQ(state.at("sql_generation_prompt_type"), "correction");
    }
  }
  EXPECT_EQ(state.at("sql_execution_result"), Json::array()) << "no terminal message";
}

TEST(SqlRepairLoop, ACounterAboveTheLimitTakesTheTerminalUpdate) {
  auto state = make_state({{"iteration_count", 7}, {"sql_execution_result", {"no such table"}}});
  state = merged(state, initialisation(state));
  EXPECT_EQ(fail_sql(state), "terminal_failure_response");
  EXPECT_EQ(state.at("iteration_count"), 7);
  EXPECT_EQ(state.at("sql_execution_result"),
            Json::array({"no such table", "SQL generation failed after max iterations"}));
}

TEST(PandasRepairLoop, AllowsMaxIterationsPandasAttempts) {
  for (int limit : {0, 1, 2, 3}) {
    SCOPED_TRACE("max_iterations_pandas " + std::to_string(limit));
    auto state = make_state({{"max_iterations_pandas", limit}, {"python_executed_output", "old"}});
    int attempts = 1;
    for (;;) {
      state.merge(handle_pandas_error(state));
      if (pandas_error_handler_condition(state) != "regenerate_pandas_code") break;
      EXPECT_EQ(state.at("pandas_generation_prompt_type"), "correction");
      ++attempts;
      ASSERT_LE(attempts, 10);
    }
    EXPECT_EQ(attempts, std::max(limit, 1));
    EXPECT_EQ(state.at("iteration_count_pandas"), limit);
    // Only a handler that runs with the counter already at the limit writes the message.
    EXPECT_EQ(state.at("python_executed_output"),
              limit == 0 ? "Python generation failed after max iterations" : "old");
  }
}

TEST(PandasRepairLoop, WithoutALimitTheHandlerFailsNamingTheField) {
  try {
    (void)handle_pandas_error(make_state());
    FAIL() << "expected MissingFieldError";
  } catch (const MissingFieldError& error) {
    EXPECT_EQ(error.field(), "max_iterations_pandas");
  }
}

}  // namespace
}  // namespace norvex::flow_stages
