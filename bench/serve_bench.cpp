// The question service over HTTP on 127.0.0.1: what it adds per question to the pipeline
// alone (a model answering at once, the same question alternating between the two paths),
// and 64 concurrent clients with a model taking 200 ms per call and every question drawing
// a chart (questions per second, latency percentiles, errors, peak memory).
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "norvex/flow_stages/log.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/serve/serve.hpp"
#include "norvex/sql/database.hpp"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kQuery =
    "SELECT p.name AS product, SUM(oi.quantity) AS units_sold FROM order_items AS oi JOIN orders "
    "AS o ON o.order_id = oi.order_id JOIN products AS p ON p.product_id = oi.product_id WHERE "
    "o.status <> 'cancelled' GROUP BY p.product_id, p.name ORDER BY units_sold DESC LIMIT 5";
constexpr const char* kChartCode =
    "import matplotlib.pyplot as plt\nfig, ax = plt.subplots()\n"
    "ax.bar(['a', 'b', 'c'], [3, 1, 2])\nfig.savefig(r'SAVE/chart.png')\nprint('drawn')";

// A chat service on 127.0.0.1 answering every step after a set delay; with `chart` the
// analysis code draws a chart into the question's folder (named in the request).
class ShopModelServer {
 public:
  ShopModelServer() {
    server_.new_task_queue = [] { return new httplib::ThreadPool(400); };
    server_.Post(R"(.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
      const Json body = Json::parse(req.body);
      std::string record;
      if (body.contains("tool_choice") && body["tool_choice"].is_object()) {
        record = body["tool_choice"]["function"].value("name", "");
      }
      Json message = {{"role", "assistant"}};
      if (record.empty()) {
        message["content"] = kQuery;
      } else {
        Json fields;
        if (record == "RelevantTablesOutput") {
          fields = {{"relevant_tables", {"order_items", "orders", "products"}}};
        }
        if (record == "SQLQueryInput") fields = {{"sql_query", kQuery}};
        if (record == "PythonCodeInput") {
          std::string code = "print(21 * 2)";
          static const std::regex folder("(/[^ \"'\\\\]*/q-[0-9a-f]+)");
          std::smatch m;
          if (chart && std::regex_search(req.body, m, folder)) {
            code = std::regex_replace(std::string(kChartCode), std::regex("SAVE"), m[1].str());
          }
          fields = {{"code", code}};
        }
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
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ShopModelServer() {
    server_.stop();
    thread_.join();
  }
  [[nodiscard]] std::shared_ptr<norvex::query_flow::QueryFlow> flow(
      const std::shared_ptr<norvex::sql::CustomSQLDatabase>& db) const {
    norvex::llm::AzureOpenAIChat35 small;
    small.provider = norvex::llm::Provider::openai;
    small.azure_endpoint = "http://127.0.0.1:" + std::to_string(port_) + "/v1";
    small.azure_deployment = "small";
    small.api_key = "none";
    small.options.request_timeout = std::chrono::minutes(5);
    norvex::llm::AzureOpenAIChat4 big;
    static_cast<norvex::llm::ModelSettings&>(big) = small;
    return std::make_shared<norvex::query_flow::QueryFlow>(db, small, big);
  }
  std::atomic<int> delay_ms{0};
  std::atomic<bool> chart{false};

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
    std::string pattern = (fs::temp_directory_path() / "norvex-serve-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const fs::path db = fs::path(pattern) / "shop.db";
    const std::string command =
        std::string(NORVEX_SAMPLE_STORE_SCRIPT) + " '" + db.string() + "' > /dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make the sample shop");
    return Shop{pattern, "sqlite:///" + db.string()};
  }();
  return s;
}

// A service over the shop with `flow`, quiet, on a free port.
std::unique_ptr<norvex::serve::Server> start_service(
    const std::shared_ptr<norvex::query_flow::QueryFlow>& flow, std::size_t workers) {
  norvex::serve::Database d;
  d.name = "shop";
  d.db = flow->db();
  d.flow = flow;
  norvex::serve::Options options;
  options.port = 0;
  options.workers = workers;
  options.queue_limit = 64;
  options.per_token_limit = 128;
  options.media_dir = shop().dir / "media";
  options.log = [](std::string_view) {};
  auto server =
      std::make_unique<norvex::serve::Server>(std::vector<norvex::serve::Database>{d}, options);
  server->start();
  return server;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

long peak_rss_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Per question: the service (HTTP round trip, admission, result record) and the pipeline
// alone, alternating so both see the same machine. The iteration time is the service's; the
// overhead is each round trip minus the pipeline time measured inside that same request (the
// analysis run dominates a question and varies more than the service adds).
void BM_ServeOverheadZeroLatencyModel(benchmark::State& state) {
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  static ShopModelServer model;
  model.delay_ms = 0;
  model.chart = false;
  const auto flow = model.flow(norvex::sql::CustomSQLDatabase::from_uri(shop().uri));
  const auto server = start_service(flow, 4);
  httplib::Client client("127.0.0.1", server->port());
  client.set_read_timeout(std::chrono::minutes(5));
  const fs::path media = shop().dir / "library";
  fs::create_directories(media);
  const std::string body = Json{{"question", "Five best sellers?"}}.dump();
  const Json inputs = {{"user_question", "Five best sellers?"}, {"save_path", media.string()}};
  benchmark::DoNotOptimize(flow->invoke(inputs));  // the analysis worker is warm
  std::vector<double> service, library, added;
  for (auto _ : state) {
    auto start = Clock::now();
    benchmark::DoNotOptimize(flow->invoke(inputs));
    library.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    start = Clock::now();
    const auto res = client.Post("/v1/questions", body, "application/json");
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (!res || res->status != 200) {
      state.SkipWithError("the service did not answer");
      break;
    }
    service.push_back(us);
    // The pipeline's own time inside this request, so the difference is only the service's.
    added.push_back(us - 1e6 * Json::parse(res->body)["seconds"].get<double>());
    state.SetIterationTime(us / 1e6);
  }
  state.counters["library_p50_us"] = percentile(library, 0.5);
  state.counters["library_p99_us"] = percentile(library, 0.99);
  state.counters["service_p50_us"] = percentile(service, 0.5);
  state.counters["service_p99_us"] = percentile(service, 0.99);
  state.counters["overhead_p50_us"] = percentile(added, 0.5);
  state.counters["overhead_p99_us"] = percentile(added, 0.99);
}
BENCHMARK(BM_ServeOverheadZeroLatencyModel)
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMicrosecond);

// 64 clients asking at once, two questions each, every question drawing a chart.
void BM_Serve64Clients200msModel(benchmark::State& state) {
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  static ShopModelServer model;
  model.delay_ms = 200;
  model.chart = true;
  constexpr int kClients = 64;
  constexpr int kEach = 2;
  const auto flow = model.flow(norvex::sql::CustomSQLDatabase::from_uri(shop().uri));
  const auto server = start_service(flow, kClients);
  std::vector<double> latencies;
  std::mutex mutex;
  std::atomic<int> errors{0};
  std::atomic<int> charts{0};
  double seconds = 0;
  for (auto _ : state) {
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        httplib::Client client("127.0.0.1", server->port());
        client.set_read_timeout(std::chrono::minutes(10));
        for (int q = 0; q < kEach; ++q) {
          const std::string body =
              Json{{"question", "Best sellers as a chart, client " + std::to_string(c)}}.dump();
          const auto t = Clock::now();
          const auto res = client.Post("/v1/questions", body, "application/json");
          const double s = std::chrono::duration<double>(Clock::now() - t).count();
          if (!res || res->status != 200) {
            if (errors++ < 3) {
              std::fprintf(stderr, "failed question %d after %.2f s: %s\n", q, s,
                           res ? (std::to_string(res->status) + " " + res->body).c_str()
                               : httplib::to_string(res.error()).c_str());
            }
            continue;
          }
          if (Json::parse(res->body)["chart_url"].is_string()) ++charts;
          std::lock_guard lock(mutex);
          latencies.push_back(s);
        }
      });
    }
    for (auto& t : clients) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    seconds += elapsed;
    state.SetIterationTime(elapsed);
  }
  const double questions = static_cast<double>(state.iterations()) * kClients * kEach;
  state.counters["questions_per_s"] = questions / seconds;
  state.counters["p50_s"] = percentile(latencies, 0.5);
  state.counters["p99_s"] = percentile(latencies, 0.99);
  state.counters["errors"] = errors.load();
  state.counters["charts"] = charts.load();
  state.counters["peak_rss_mib"] = static_cast<double>(peak_rss_kb()) / 1024.0;
}
BENCHMARK(BM_Serve64Clients200msModel)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
