// The engine's own cost per step: trivial nodes over the pipeline's 25-field state, so what
// is measured is snapshotting, merging, routing and bookkeeping, not the nodes' work.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "norvex/graph/state_graph.hpp"

namespace {

using norvex::graph::CompiledGraph;
using norvex::graph::Json;
using norvex::graph::MergeRule;
using norvex::graph::State;
using norvex::graph::StateGraph;
using norvex::graph::StateSchema;
using norvex::graph::Update;

constexpr int kChainLength = 13;

StateSchema pipeline_schema() {
  return StateSchema{{"user_question", MergeRule::overwrite},
                     {"follow_up_question", MergeRule::append},
                     {"schemas_from_relevant_tables", MergeRule::overwrite},
                     {"table_names_from_db", MergeRule::overwrite},
                     {"relevant_tables", MergeRule::overwrite},
                     {"generated_sql_query", MergeRule::append},
                     {"sql_generation_prompt_type", MergeRule::overwrite},
                     {"execution_success", MergeRule::overwrite},
                     {"execution_error", MergeRule::append},
                     {"sql_execution_result", MergeRule::append},
                     {"pandas_code", MergeRule::overwrite},
                     {"use_pandas_ai_flag", MergeRule::overwrite},
                     {"image_path", MergeRule::overwrite},
                     {"python_executed_output", MergeRule::overwrite},
                     {"save_path", MergeRule::overwrite},
                     {"final_response", MergeRule::overwrite},
                     {"iteration_count", MergeRule::add},
                     {"iteration_count_pandas", MergeRule::add},
                     {"rewrite_count", MergeRule::overwrite},
                     {"rewritten_question", MergeRule::overwrite},
                     {"max_iterations", MergeRule::overwrite},
                     {"max_iterations_pandas", MergeRule::overwrite},
                     {"python_execution_success", MergeRule::overwrite},
                     {"python_error_message", MergeRule::overwrite},
                     {"pandas_generation_prompt_type", MergeRule::overwrite}};
}

// A chain of 13 nodes, each writing one small value (alternating overwrite, append and add
// fields) and reading one field, the last one leading to END.
CompiledGraph chain_graph(bool conditional_routing) {
  StateGraph builder(pipeline_schema());
  for (int i = 0; i < kChainLength; ++i) {
    const std::string name = "node_" + std::to_string(i);
    builder.add_node(name, [i](const State& state) {
      benchmark::DoNotOptimize(state.find("user_question"));
      switch (i % 3) {
        case 0:
          return Update().set("final_response", "step " + std::to_string(i));
        case 1:
          return Update().set("generated_sql_query", Json::array({"SELECT 1"}));
        default:
          return Update().set("iteration_count", 1);
      }
    });
    const std::string next =
        i + 1 < kChainLength ? "node_" + std::to_string(i + 1) : std::string(norvex::graph::END);
    if (conditional_routing) {
      builder.add_conditional_edges(
          name,
          [](const State& state) {
            return std::string(state.at("iteration_count") >= 0 ? "next" : "stop");
          },
          {{"next", next}, {"stop", std::string(norvex::graph::END)}});
    } else {
      builder.add_edge(name, next);
    }
  }
  builder.set_entry_point("node_0");
  return builder.compile();
}

void report_per_step(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kChainLength);
  state.counters["time_per_step"] = benchmark::Counter(
      kChainLength, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ChainOfThirteenFixedEdges(benchmark::State& state) {
  const CompiledGraph graph = chain_graph(false);
  const Json input = {{"user_question", "How many albums per artist?"}, {"save_path", "/tmp"}};
  for (auto _ : state) benchmark::DoNotOptimize(graph.invoke(input));
  report_per_step(state);
}
BENCHMARK(BM_ChainOfThirteenFixedEdges);

void BM_ChainOfThirteenConditionalEdges(benchmark::State& state) {
  const CompiledGraph graph = chain_graph(true);
  const Json input = {{"user_question", "How many albums per artist?"}, {"save_path", "/tmp"}};
  for (auto _ : state) benchmark::DoNotOptimize(graph.invoke(input));
  report_per_step(state);
}
BENCHMARK(BM_ChainOfThirteenConditionalEdges);

// A snapshot copies one pointer per field, so its cost does not grow with the texts held.
void BM_SnapshotOfStateWithLargeTexts(benchmark::State& state) {
  const std::string big(static_cast<std::size_t>(state.range(0)), 'x');
  const State full(std::make_shared<const StateSchema>(pipeline_schema()),
                   Json{{"user_question", "q"},
                        {"schemas_from_relevant_tables", big},
                        {"table_names_from_db", big},
                        {"sql_execution_result", Json::array({big, big})},
                        {"pandas_code", big}});
  for (auto _ : state) {
    State snapshot = full;
    benchmark::DoNotOptimize(snapshot);
  }
}
BENCHMARK(BM_SnapshotOfStateWithLargeTexts)->Arg(1 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
