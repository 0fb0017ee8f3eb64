// The step loop of compiled graphs: routing, merging per step, limits, errors, concurrency,
// the observer hook, and the checks of compile().
#include "norvex/graph/state_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "norvex/error.hpp"

namespace norvex::graph {
namespace {

StateSchema test_schema() {
  return StateSchema{{"question", MergeRule::overwrite},
                     {"log", MergeRule::append},
                     {"counter", MergeRule::add},
                     {"mark", MergeRule::overwrite},
                     {"result", MergeRule::overwrite}};
}

// Appends the node's name to "log", so a run's final state shows which nodes ran in order.
Action logging(std::string name) {
  return [name](const State&) { return Update().set("log", Json::array({name})); };
}

std::string what_of(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

bool mentions(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(StateGraphRunTest, EntryToEndRunsOneNodeAndReturnsInputWithItsUpdate) {
  StateGraph builder(test_schema());
  builder.add_node("only", [](const State& state) {
    return Update().set("result", state.at("question").get<std::string>() + "!");
  });
  builder.set_entry_point("only");
  builder.add_edge("only", std::string(END));
  const Json out = builder.compile().invoke(Json::parse(R"({"question": "hi", "ignored": 1})"));
  EXPECT_EQ(out.dump(), R"({"question":"hi","log":[],"counter":0,"result":"hi!"})");
}

TEST(StateGraphRunTest, EmptyUpdateStillTriggersSuccessors) {
  StateGraph builder(test_schema());
  builder.add_node("quiet", [](const State&) { return Update(); });
  builder.add_node("after", logging("after"));
  builder.set_entry_point("quiet");
  builder.add_edge("quiet", "after");
  builder.add_edge("after", std::string(END));
  EXPECT_EQ(builder.compile().invoke(Json::object())["log"], Json::array({"after"}));
}

TEST(StateGraphRunTest, NodeNamedByFixedAndConditionalEdgeRunsOnce) {
  StateGraph builder(test_schema());
  builder.add_node("a", logging("a"));
  builder.add_node("x", logging("x"));
  builder.set_entry_point("a");
  builder.add_edge("a", "x");
  builder.add_conditional_edges("a", [](const State&) { return std::string("go"); }, {{"go", "x"}});
  builder.add_edge("x", std::string(END));
  EXPECT_EQ(builder.compile().invoke(Json::object())["log"], Json::parse(R"(["a", "x"])"));
}

TEST(StateGraphRunTest, ConditionSeesItsOwnNodesUpdateButNotItsStepNeighbours) {
  // a starts x (fixed edge) and y (its condition) in one step; y's condition must see y's
  // own update but not x's, and a's condition must see a's own counter.
  std::int64_t counter_seen_by_a = -1;
  Json log_seen_by_y;
  std::string label_of_y;
  StateGraph builder(test_schema());
  builder.add_node("a", [](const State&) { return Update().set("counter", 1); });
  builder.add_node("x", [](const State&) { return Update().set("mark", "from x"); });
  builder.add_node("y", logging("y"));
  builder.set_entry_point("a");
  builder.add_edge("a", "x");
  builder.add_conditional_edges("a",
                                [&](const State& state) {
                                  counter_seen_by_a = state.at("counter").get<std::int64_t>();
                                  return std::string("to_y");
                                },
                                {{"to_y", "y"}});
  builder.add_conditional_edges("y",
                                [&](const State& state) {
                                  log_seen_by_y = state.at("log");
                                  return label_of_y = state.contains("mark") ? "saw_x" : "blind";
                                },
                                {{"saw_x", std::string(END)}, {"blind", std::string(END)}});
  builder.add_edge("x", std::string(END));
  const Json out = builder.compile().invoke(Json::object());
  EXPECT_EQ(counter_seen_by_a, 1);
  EXPECT_EQ(log_seen_by_y, Json::array({"y"}));
  EXPECT_EQ(label_of_y, "blind");
  EXPECT_EQ(out["mark"], "from x");  // merged after the step all the same
}

TEST(StateGraphRunTest, LoopEndsWhenConditionSeesTheAdvancedCounter) {
  StateGraph builder(test_schema());
  builder.add_node("repair", [](const State&) {
    return Update().set("counter", 1).set("log", Json::array({"repair"}));
  });
  builder.set_entry_point("repair");
  builder.add_conditional_edges(
      "repair",
      [](const State& state) { return std::string(state.at("counter") < 3 ? "again" : "done"); },
      {{"again", "repair"}, {"done", std::string(END)}});
  const Json out = builder.compile().invoke(Json::object());
  EXPECT_EQ(out["counter"], 3);
  EXPECT_EQ(out["log"].size(), 3u);
}

TEST(StateGraphRunTest, EndlessCycleFailsAtTheStepAfterTheLimit) {
  std::atomic<int> runs{0};
  StateGraph builder(test_schema());
  builder.add_node("spin", [&](const State&) {
    ++runs;
    return Update();
  });
  builder.set_entry_point("spin");
  builder.add_conditional_edges("spin", [](const State&) { return std::string("more"); },
                                {{"more", "spin"}});
  RunnableConfig config;
  config.recursion_limit = 50;
  try {
    (void)builder.compile().invoke(Json::object(), config);
    FAIL() << "an endless cycle must hit the recursion limit";
  } catch (const RecursionLimitError& error) {
    EXPECT_EQ(error.limit(), 50);
    EXPECT_TRUE(mentions(error.what(), "50"));
  }
  EXPECT_EQ(runs, 50);  // step 51 fails before running
}

TEST(StateGraphRunTest, RouteLabelMissingFromPathMapNamesLabelAndNode) {
  StateGraph builder(test_schema());
  builder.add_node("router", [](const State&) { return Update(); });
  builder.set_entry_point("router");
  builder.add_conditional_edges("router", [](const State&) { return std::string("nowhere"); },
                                {{"somewhere", std::string(END)}});
  const auto graph = builder.compile();
  const std::string message = what_of([&] { (void)graph.invoke(Json::object()); });
  EXPECT_TRUE(mentions(message, "nowhere")) << message;
  EXPECT_TRUE(mentions(message, "router")) << message;
  EXPECT_THROW((void)graph.invoke(Json::object()), ValueError);
}

struct CustomFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(StateGraphRunTest, NodeErrorPropagatesUnchangedAndStopsTheRun) {
  for (const bool concurrent : {false, true}) {
    std::atomic<bool> successor_ran{false};
    StateGraph builder(test_schema());
    builder.add_node("start", [](const State&) { return Update(); });
    builder.add_node("fails", [](const State&) -> Update { throw CustomFailure("disk on fire"); });
    builder.add_node("fine", logging("fine"));
    builder.add_node("next", [&](const State&) {
      successor_ran = true;
      return Update();
    });
    builder.set_entry_point("start");
    builder.add_edge("start", "fails");
    if (concurrent) builder.add_edge("start", "fine");
    builder.add_edge("fails", "next");
    builder.add_edge("fine", "next");
    try {
      (void)builder.compile().invoke(Json::object());
      FAIL() << "the node's error must reach the caller";
    } catch (const CustomFailure& error) {
      EXPECT_STREQ(error.what(), "disk on fire");
    }
    EXPECT_FALSE(successor_ran);
  }
}

TEST(StateGraphRunTest, ConditionErrorPropagatesUnchanged) {
  StateGraph builder(test_schema());
  builder.add_node("a", [](const State&) { return Update(); });
  builder.set_entry_point("a");
  builder.add_conditional_edges(
      "a", [](const State& state) -> std::string { return state.at("mark").get<std::string>(); },
      {{"x", std::string(END)}});
  EXPECT_THROW((void)builder.compile().invoke(Json::object()), MissingFieldError);
}

TEST(StateGraphRunTest, StepUpdatesMergeInTriggerOrderAndOverwriteConflictsFail) {
  StateGraph fan(test_schema());
  fan.add_node("start", [](const State&) { return Update(); });
  fan.add_node("b", [](const State&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // finishes last
    return Update().set("log", Json::array({"b"})).set("counter", 1);
  });
  fan.add_node(
      "c", [](const State&) { return Update().set("log", Json::array({"c"})).set("counter", 2); });
  fan.set_entry_point("start");
  fan.add_edge("start", "b");
  fan.add_edge("start", "c");
  const Json out = fan.compile().invoke(Json::object());
  EXPECT_EQ(out["log"], Json::parse(R"(["b", "c"])"));
  EXPECT_EQ(out["counter"], 3);

  fan.add_node("d", [](const State&) { return Update().set("mark", "d"); });
  fan.add_node("e", [](const State&) { return Update().set("mark", "e"); });
  fan.add_edge("start", "d");
  fan.add_edge("start", "e");
  const auto graph = fan.compile();
  const std::string message = what_of([&] { (void)graph.invoke(Json::object()); });
  EXPECT_TRUE(mentions(message, "'mark'")) << message;
  EXPECT_TRUE(mentions(message, "'d'") && mentions(message, "'e'")) << message;
}

TEST(StateGraphRunTest, ReplaceLastIsVisibleToTheConditionAndTheNextStep) {
  StateGraph builder(test_schema());
  builder.add_node("check", [](const State&) { return Update().replace_last("log", "fixed"); });
  builder.add_node(
      "read", [](const State& state) { return Update().set("result", state.at("log").back()); });
  builder.set_entry_point("check");
  builder.add_conditional_edges(
      "check", [](const State& state) { return state.at("log").back().get<std::string>(); },
      {{"fixed", "read"}});
  builder.add_edge("read", std::string(END));
  const Json out = builder.compile().invoke(Json::parse(R"({"log": ["a", "broken"]})"));
  EXPECT_EQ(out["log"], Json::parse(R"(["a", "fixed"])"));
  EXPECT_EQ(out["result"], "fixed");
}

TEST(StateGraphRunTest, InputMustBeAnObjectAndConcurrencyCapPositive) {
  StateGraph builder(test_schema());
  builder.add_node("a", [](const State&) { return Update(); });
  builder.set_entry_point("a");
  const auto graph = builder.compile();
  EXPECT_THROW((void)graph.invoke(Json::array()), ArgumentError);
  RunnableConfig config;
  config.max_concurrency = 0;
  EXPECT_THROW((void)graph.invoke(Json::object(), config), ArgumentError);
  EXPECT_THROW((void)CompiledGraph().invoke(Json::object()), ValueError);
}

// Counts how many nodes run at once. Each node waits (bounded) until `expected` nodes have
// been inside together, so the highest count reached is deterministic when the engine is
// right, and a wrong engine fails after the bound instead of hanging.
class ConcurrencyProbe {
 public:
  explicit ConcurrencyProbe(int expected) : expected_(expected) {}

  Action node() {
    return [this](const State&) {
      std::unique_lock lock(mutex_);
      highest_ = std::max(highest_, ++active_);
      changed_.notify_all();
      changed_.wait_for(lock, std::chrono::seconds(5), [&] { return highest_ >= expected_; });
      --active_;
      return Update();
    };
  }
  int highest() {
    std::lock_guard lock(mutex_);
    return highest_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int expected_;
  int active_ = 0;
  int highest_ = 0;
};

CompiledGraph fan_out(int width, ConcurrencyProbe& probe) {
  StateGraph builder(test_schema());
  builder.add_node("start", [](const State&) { return Update(); });
  builder.set_entry_point("start");
  for (int i = 0; i < width; ++i) {
    const std::string name = "worker" + std::to_string(i);
    builder.add_node(name, probe.node());
    builder.add_edge("start", name);
  }
  return builder.compile();
}

TEST(StateGraphConcurrencyTest, CapLimitsNodesRunningAtOnce) {
  ConcurrencyProbe probe(2);
  RunnableConfig config;
  config.max_concurrency = 2;
  (void)fan_out(6, probe).invoke(Json::object(), config);
  EXPECT_EQ(probe.highest(), 2);
}

TEST(StateGraphConcurrencyTest, WithoutCapAllNodesOfAStepRunAtOnce) {
  ConcurrencyProbe probe(6);
  (void)fan_out(6, probe).invoke(Json::object());
  EXPECT_EQ(probe.highest(), 6);
}

TEST(StateGraphConcurrencyTest, SingleNodeStepsRunOnTheCallingThread) {
  std::vector<std::thread::id> threads;
  StateGraph builder(test_schema());
  builder.add_node("a", [&](const State&) {
    threads.push_back(std::this_thread::get_id());
    return Update();
  });
  builder.add_node("b", [&](const State&) {
    threads.push_back(std::this_thread::get_id());
    return Update();
  });
  builder.set_entry_point("a");
  builder.add_edge("a", "b");
  (void)builder.compile().invoke(Json::object());
  EXPECT_EQ(threads, std::vector<std::thread::id>(2, std::this_thread::get_id()));
}

TEST(StateGraphConcurrencyTest, ConcurrentRunsOfOneGraphAreIndependent) {
  StateGraph builder(test_schema());
  builder.add_node("echo", [](const State& state) {
    std::this_thread::yield();
    return Update()
        .set("result", state.at("question"))
        .set("log", Json::array({state.at("question")}))
        .set("counter", 1);
  });
  builder.set_entry_point("echo");
  builder.add_conditional_edges(
      "echo",
      [](const State& state) { return std::string(state.at("counter") < 5 ? "again" : "end"); },
      {{"again", "echo"}, {"end", std::string(END)}});
  const CompiledGraph graph = builder.compile();

  constexpr int kRuns = 8;
  std::vector<Json> results(kRuns);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kRuns; ++i) {
      threads.emplace_back([&, i] {
        results[i] = graph.invoke({{"question", "q" + std::to_string(i)}});
      });
    }
  }
  for (int i = 0; i < kRuns; ++i) {
    const std::string question = "q" + std::to_string(i);
    EXPECT_EQ(results[i]["result"], question);
    EXPECT_EQ(results[i]["log"], Json(std::vector<std::string>(5, question)));
    EXPECT_EQ(results[i]["counter"], 5);
  }
}

TEST(StateGraphObserverTest, ObserverSeesStartAndFinishWithTheUpdateAndCurrentConfig) {
  struct Seen {
    NodeEvent::Kind kind;
    std::string node;
    int step;
    Json update;
  };
  std::vector<Seen> events;
  std::vector<std::string> tags_inside;
  StateGraph builder(test_schema());
  builder.add_node("first", [&](const State&) {
    if (const RunnableConfig* config = current_config()) tags_inside = config->tags;
    return Update().set("mark", "m");
  });
  builder.add_node("second", [](const State&) -> Update { throw CustomFailure("boom"); });
  builder.set_entry_point("first");
  builder.add_edge("first", "second");

  RunnableConfig config;
  config.tags = {"query_flow"};
  config.observer = [&](const NodeEvent& event) {
    EXPECT_EQ(event.config, &config);
    events.push_back({event.kind, std::string(event.node), event.step,
                      event.update != nullptr ? event.update->to_json() : Json()});
  };
  EXPECT_THROW((void)builder.compile().invoke(Json::object(), config), CustomFailure);

  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, NodeEvent::Kind::start);
  EXPECT_EQ(events[0].node, "first");
  EXPECT_EQ(events[1].kind, NodeEvent::Kind::finish);
  EXPECT_EQ(events[1].update, Json::parse(R"({"mark": "m"})"));
  EXPECT_EQ(events[1].step, 1);
  EXPECT_EQ(events[2].kind, NodeEvent::Kind::start);
  EXPECT_EQ(events[3].kind, NodeEvent::Kind::error);
  EXPECT_EQ(events[3].node, "second");
  EXPECT_EQ(events[3].step, 2);
  EXPECT_EQ(tags_inside, std::vector<std::string>{"query_flow"});
  EXPECT_EQ(current_config(), nullptr);
}

class Doubler : public Runnable {
 public:
  Update invoke(const State& state) override {
    return Update().set("counter", state.at("counter").get<int>());
  }
};

TEST(StateGraphBuildTest, RunnableObjectsServeAsNodes) {
  StateGraph builder(test_schema());
  builder.add_node("double", std::make_shared<Doubler>());
  builder.add_edge(std::string(START), "double");
  EXPECT_EQ(builder.compile().invoke({{"counter", 21}})["counter"], 42);
  EXPECT_THROW(builder.add_node("null", std::shared_ptr<Runnable>()), ArgumentError);
}

TEST(StateGraphBuildTest, AddNodeRejectsDuplicatesAndReservedNames) {
  StateGraph builder(test_schema());
  builder.add_node("a", logging("a"));
  EXPECT_THROW(builder.add_node("a", logging("a")), ValueError);
  EXPECT_THROW(builder.add_node(std::string(END), logging("x")), ValueError);
  EXPECT_THROW(builder.add_node(std::string(START), logging("x")), ValueError);
  EXPECT_THROW(builder.add_node("b", Action()), ArgumentError);
}

TEST(StateGraphBuildTest, CompileNamesWhatIsWrong) {
  auto base = [] {
    StateGraph builder(test_schema());
    builder.add_node("a", logging("a"));
    return builder;
  };
  auto compile_error = [](const StateGraph& builder) {
    try {
      (void)builder.compile();
    } catch (const ValueError& error) {
      return std::string(error.what());
    }
    return std::string("(compiled)");
  };

  EXPECT_TRUE(mentions(compile_error(base()), "entry point"));
  EXPECT_TRUE(mentions(compile_error(base().set_entry_point("ghost")), "ghost"));
  EXPECT_TRUE(mentions(compile_error(base().set_entry_point("a").add_edge("src", "a")), "src"));
  EXPECT_TRUE(mentions(compile_error(base().set_entry_point("a").add_edge("a", "dst")), "dst"));
  EXPECT_TRUE(mentions(compile_error(base().set_entry_point("a").add_conditional_edges(
                           "a", [](const State&) { return std::string("r"); }, {{"r", "lost"}})),
                       "lost"));
  EXPECT_TRUE(mentions(compile_error(base().set_entry_point("a").add_conditional_edges(
                           "nobody", [](const State&) { return std::string("r"); }, {{"r", "a"}})),
                       "nobody"));
  EXPECT_EQ(compile_error(base().set_entry_point("a").add_edge("a", std::string(END))),
            "(compiled)");
}

TEST(StateGraphBuildTest, BuilderChangesAfterCompileLeaveCompiledGraphsAlone) {
  StateGraph builder(test_schema());
  builder.add_node("a", logging("a"));
  builder.set_entry_point("a");
  const CompiledGraph first = builder.compile();
  builder.add_node("b", logging("b"));
  builder.add_edge("a", "b");
  const CompiledGraph second = builder.compile();
  EXPECT_EQ(first.invoke(Json::object())["log"], Json::array({"a"}));
  EXPECT_EQ(second.invoke(Json::object())["log"], Json::parse(R"(["a", "b"])"));
  EXPECT_EQ(first.get_graph().nodes().size(), 2u);  // start marker and "a"
}

}  // namespace
}  // namespace norvex::graph
