// Evaluation over the sample shop: what judging a question costs on top of answering it (the
// gold query through an uncapped facade, reading both results back, the comparison and the
// record line), a whole evaluated question with a model that answers at once, and a hundred
// questions with a model that takes 200 ms per call, on one worker and on eight.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "norvex/eval/eval.hpp"
#include "norvex/flow_stages/log.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"

#include "scripted_chat.hpp"

namespace {

namespace fs = std::filesystem;
using norvex::eval::Json;
using Clock = std::chrono::steady_clock;

using norvex::bench::kShopQuery;
constexpr const char* kGold =
    "SELECT p.name, SUM(oi.quantity) FROM order_items oi JOIN orders o USING (order_id) JOIN "
    "products p USING (product_id) WHERE o.status <> 'cancelled' GROUP BY p.name ORDER BY 2 "
    "DESC LIMIT 5";

// The shop's model, answering every step after a set delay; the analysis only prints.
class ShopModelServer : public norvex::bench::ScriptedChatServer {
 public:
  ShopModelServer()
      : ScriptedChatServer([](const std::string& record, const std::string&) {
          return norvex::bench::shop_answer(record, "print(21 * 2)");
        }) {}
  [[nodiscard]] norvex::eval::Target target(const std::string& uri) const {
    return {uri, small(), large()};
  }
};

const norvex::bench::SampleShop& shop() {
  return norvex::bench::sample_shop(NORVEX_SAMPLE_STORE_SCRIPT);
}

std::vector<norvex::eval::Question> questions(int count) {
  std::vector<norvex::eval::Question> out;
  for (int i = 1; i <= count; ++i) {
    out.push_back(
        {std::to_string(i),
         "What are the five best-selling products by quantity? (variant " + std::to_string(i) + ")",
         kGold});
  }
  return out;
}

// Evaluates `count` questions into a fresh folder; returns the elapsed time.
std::chrono::duration<double> evaluate_once(const ShopModelServer& server, int count,
                                            unsigned concurrency) {
  static int run = 0;
  norvex::eval::RunOptions options;
  options.out_dir = shop().dir / ("run" + std::to_string(++run));
  options.concurrency = concurrency;
  const auto start = Clock::now();
  const auto summary = norvex::eval::evaluate(questions(count), server.target(shop().uri), options);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  if (summary.matched != static_cast<std::size_t>(count)) {
    throw std::runtime_error("the benchmark's questions did not all match");
  }
  fs::remove_all(options.out_dir);
  return elapsed;
}

void BM_EvalOverheadPerQuestion(benchmark::State& state) {
  auto compare_db =
      norvex::sql::CustomSQLDatabase::from_uri(shop().uri, {.max_rows = 0, .max_bytes = 0});
  const std::string rendered =
      norvex::sql::CustomSQLDatabase::from_uri(shop().uri)->run(kShopQuery);
  for (auto _ : state) {
    norvex::eval::QuestionResult r;
    r.question = {"1", "question", kGold};
    const auto gold = norvex::eval::read_rows(compare_db->run(kGold));
    const auto predicted = norvex::eval::read_rows(rendered);
    const auto c = norvex::eval::compare_rows(
        gold, predicted, {.ordered = norvex::eval::has_top_level_order_by(kGold)});
    r.match = c.match;
    r.reason = std::string(c.reason);
    benchmark::DoNotOptimize(r.to_json().dump());
  }
}
BENCHMARK(BM_EvalOverheadPerQuestion)->Unit(benchmark::kMicrosecond);

// A whole evaluated question with a model that answers at once, next to the same question
// through the pipeline alone: the difference is the evaluation's overhead.
void BM_EvalQuestionZeroLatencyModel(benchmark::State& state) {
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  static ShopModelServer server;
  server.delay_ms = 0;
  constexpr int kQuestions = 20;
  const auto target = server.target(shop().uri);
  const norvex::query_flow::QueryFlow flow(norvex::sql::CustomSQLDatabase::from_uri(shop().uri),
                                           target.config_35, target.config_4);
  const fs::path media = shop().dir / "media";
  fs::create_directories(media);
  static_cast<void>(flow.invoke(Json{{"user_question", "warm up"}, {"save_path", media.string()}}));
  double pipeline = 0;
  double evaluated = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (const auto& q : questions(kQuestions)) {
      benchmark::DoNotOptimize(
          flow.invoke(Json{{"user_question", q.question}, {"save_path", media.string()}}));
    }
    pipeline += std::chrono::duration<double>(Clock::now() - start).count();
    const double e = evaluate_once(server, kQuestions, 1).count();
    evaluated += e;
    state.SetIterationTime(e / kQuestions);
  }
  const double n = static_cast<double>(state.iterations()) * kQuestions;
  state.counters["pipeline_ms"] = 1e3 * pipeline / n;
  state.counters["overhead_ms"] = 1e3 * (evaluated - pipeline) / n;
}
BENCHMARK(BM_EvalQuestionZeroLatencyModel)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_EvalHundredQuestions200msModel(benchmark::State& state) {
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  static ShopModelServer server;
  server.delay_ms = 200;
  for (auto _ : state) {
    state.SetIterationTime(
        evaluate_once(server, 100, static_cast<unsigned>(state.range(0))).count());
  }
}
BENCHMARK(BM_EvalHundredQuestions200msModel)
    ->ArgName("concurrency")
    ->Arg(1)
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
