// Merging updates into a state by the field rules, and what a node can read from it.
#include "norvex/graph/state.hpp"

#include <gtest/gtest.h>

#include "norvex/error.hpp"

namespace norvex::graph {
namespace {

std::shared_ptr<const StateSchema> test_schema() {
  return std::make_shared<const StateSchema>(StateSchema{{"question", MergeRule::overwrite},
                                                         {"queries", MergeRule::append},
                                                         {"attempts", MergeRule::add},
                                                         {"answer", MergeRule::overwrite}});
}

TEST(StateTest, FreshStateHoldsOnlyTheAccumulatingFields) {
  const State state(test_schema());
  EXPECT_EQ(state.to_json(), Json::parse(R"({"queries": [], "attempts": 0})"));
  EXPECT_FALSE(state.contains("question"));
  EXPECT_EQ(state.find("question"), nullptr);
  try {
    (void)state.at("question");
    FAIL() << "an absent field must not be readable";
  } catch (const MissingFieldError& error) {
    EXPECT_EQ(error.field(), "question");
  }
  EXPECT_THROW((void)state.at("not_a_field"), MissingFieldError);
}

TEST(StateTest, NullIsAPresentValueNotAbsence) {
  State state(test_schema());
  state.merge(Update().set("answer", nullptr));
  EXPECT_TRUE(state.contains("answer"));
  EXPECT_TRUE(state.at("answer").is_null());
  EXPECT_TRUE(state.to_json().contains("answer"));
}

TEST(StateTest, MergeFollowsEachFieldsRuleAndIgnoresUnknownKeys) {
  State state(test_schema(), Json::parse(R"({"question": "q1", "queries": ["a"], "bogus": 1})"));
  state.merge(Update()
                  .set("queries", Json::array({"b", "c"}))
                  .set("attempts", 1)
                  .set("question", "q2")
                  .set("unknown", "ignored"));
  state.merge(Update().set("attempts", 0).set("queries", Json::array()));
  state.merge(Update().set("attempts", 2));
  // Fields come out in declared order whatever order the updates used.
  EXPECT_EQ(state.to_json().dump(), R"({"question":"q2","queries":["a","b","c"],"attempts":3})");
}

TEST(StateTest, RuleBreakingValuesFailNamingTheField) {
  State state(test_schema());
  for (const Json& bad : {Json("text"), Json(1), Json::object()}) {
    try {
      state.merge(Update().set("queries", bad));
      FAIL() << "append accepted " << bad.dump();
    } catch (const ValueError& error) {
      EXPECT_NE(std::string(error.what()).find("queries"), std::string::npos);
    }
  }
  for (const Json& bad : {Json(1.5), Json(true), Json("1"), Json(nullptr)}) {
    EXPECT_THROW(state.merge(Update().set("attempts", bad)), ValueError) << bad.dump();
  }
  EXPECT_EQ(state.at("attempts"), 0);
}

TEST(StateTest, ReplaceLastHitsTheListBeforeTheUpdatesValuesAreMerged) {
  State state(test_schema(), Json::parse(R"({"queries": ["a", "b"]})"));
  state.merge(Update().replace_last("queries", "B").set("queries", Json::array({"c"})));
  EXPECT_EQ(state.at("queries"), Json::parse(R"(["a", "B", "c"])"));

  EXPECT_THROW(State(test_schema()).merge(Update().replace_last("queries", "x")), ValueError);
  EXPECT_THROW(state.merge(Update().replace_last("question", "x")), ValueError);
  EXPECT_THROW(state.merge(Update().replace_last("attempts", 1)), ValueError);
}

TEST(StateTest, CopiesAreIndependentSnapshots) {
  State original(test_schema(), Json::parse(R"({"queries": ["a"], "question": "q"})"));
  const State snapshot = original;
  original.merge(
      Update().set("queries", Json::array({"b"})).set("attempts", 1).set("question", "changed"));
  original.merge(Update().replace_last("queries", "B"));
  EXPECT_EQ(snapshot.to_json(),
            Json::parse(R"({"question": "q", "queries": ["a"], "attempts": 0})"));

  State copy = snapshot;
  copy.merge(Update().set("queries", Json::array({"z"})));
  EXPECT_EQ(snapshot.at("queries"), Json::array({"a"}));
  EXPECT_EQ(original.at("queries"), Json::parse(R"(["a", "B"])"));
}

TEST(StateTest, UpdateKeepsOneValuePerFieldAndRejectsNonObjects) {
  Update update;
  update.set("question", "first").set("question", "second");
  EXPECT_EQ(update.to_json(), Json::parse(R"({"question": "second"})"));
  EXPECT_FALSE(update.empty());
  EXPECT_TRUE(Update::from_json(Json::object()).empty());
  EXPECT_THROW(Update::from_json(Json::array()), ArgumentError);
  EXPECT_THROW(State(test_schema(), Json("text")), ArgumentError);
}

TEST(StateTest, SchemaRejectsDuplicateFields) {
  EXPECT_THROW((StateSchema{{"a", MergeRule::overwrite}, {"a", MergeRule::append}}), ValueError);
  StateSchema schema;
  schema.add("a", MergeRule::add).add("b", MergeRule::overwrite);
  EXPECT_EQ(schema.find("b"), 1u);
  EXPECT_EQ(schema.find("c"), std::nullopt);
  EXPECT_THROW(schema.add("b", MergeRule::append), ValueError);
}

}  // namespace
}  // namespace norvex::graph
