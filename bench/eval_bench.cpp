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

namespace {

namespace fs = std::filesystem;
using norvex::eval::Json;
using Clock = std::chrono::steady_clock;

constexpr const char* kQuery =
    "SELECT p.name AS product, SUM(oi.quantity) AS units_sold FROM order_items AS oi JOIN orders "
    "AS o ON o.order_id = oi.order_id JOIN products AS p ON p.product_id = oi.product_id WHERE "
    "o.status <> 'cancelled' GROUP BY p.product_id, p.name ORDER BY units_sold DESC LIMIT 5";
constexpr const char* kGold =
    "SELECT p.name, SUM(oi.quantity) FROM order_items oi JOIN orders o USING (order_id) JOIN "
    "products p USING (product_id) WHERE o.status <> 'cancelled' GROUP BY p.name ORDER BY 2 "
    "DESC LIMIT 5";

// A chat service on 127.0.0.1 that answers every step of the pipeline after a set delay.
class ShopModelServer {
 public:
  ShopModelServer() {
    server_.new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_.Post(R"(.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
      const Json body = Json::parse(req.body);
      std::string record;
      if (body.contains("tool_choice") && body["tool_choice"].is_object()) {
        record = body["tool_choice"]["function"].value("name", "");
      }
      Json message = {{"role", "assistant"}};
      if (record.empty()) {  // the query checker: nothing to change
        message["content"] = kQuery;
      } else {
        Json fields;
        if (record == "RelevantTablesOutput") {
          fields = {{"relevant_tables", {"order_items", "orders", "products"}}};
        }
        if (record == "SQLQueryInput") fields = {{"sql_query", kQuery}};
        if (record == "PythonCodeInput") fields = {{"code", "print(21 * 2)"}};
        if (record == "GenerationOutput") {
          fields = {{"image_path", ""}, {"final_response", "House Blend Coffee leads."}};
        }
        message["content"] = nullptr;
        message["tool_calls"] =
            Json::array({{{"id", "call_1"},
                          {"type", "function"},
                          {"function", {{"name", record}, {"arguments", fields.dump()}}}}});
      }
      const Json answer = {
          {"id", "chatcmpl-bench"},
          {"object", "chat.completion"},
          {"choices", Json::array({{{"index", 0},
                                    {"message", message},
                                    {"finish_reason", record.empty() ? "stop" : "tool_calls"}}})},
          {"usage", {{"prompt_tokens", 100}, {"completion_tokens", 10}}}};
      res.set_content(answer.dump(), "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // cpp-httplib 0.11 has no wait_until_ready().
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ShopModelServer() {
    server_.stop();
    thread_.join();
  }
  [[nodiscard]] norvex::eval::Target target(const std::string& uri) const {
    norvex::llm::AzureOpenAIChat35 small;
    small.provider = norvex::llm::Provider::openai;
    small.azure_endpoint = "http://127.0.0.1:" + std::to_string(port_) + "/v1";
    small.azure_deployment = "small";
    small.api_key = "none";
    norvex::llm::AzureOpenAIChat4 big;
    static_cast<norvex::llm::ModelSettings&>(big) = small;
    return {uri, small, big};
  }

  std::atomic<int> delay_ms{0};

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

struct Shop {
  fs::path dir;
  std::string uri;
  ~Shop() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

const Shop& shop() {
  static const Shop s = [] {
    std::string pattern = (fs::temp_directory_path() / "norvex-eval-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const fs::path db = fs::path(pattern) / "shop.db";
    const std::string command =
        std::string(NORVEX_SAMPLE_STORE_SCRIPT) + " '" + db.string() + "' > /dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make the sample shop");
    return Shop{pattern, "sqlite:///" + db.string()};
  }();
  return s;
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
  const std::string rendered = norvex::sql::CustomSQLDatabase::from_uri(shop().uri)->run(kQuery);
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
