// The question service over HTTP on 127.0.0.1: what it adds per question to the pipeline
// alone (a model answering at once, the same question alternating between the two paths),
// and 64 concurrent clients with a model taking 200 ms per call and every question drawing
// a chart (questions per second, latency percentiles, errors, peak memory).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

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

#include "scripted_chat.hpp"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kChartCode =
    "import matplotlib.pyplot as plt\nfig, ax = plt.subplots()\n"
    "ax.bar(['a', 'b', 'c'], [3, 1, 2])\nfig.savefig(r'SAVE/chart.png')\nprint('drawn')";

// The shop's model, answering every step after a set delay; with `chart` the analysis code
// draws a chart into the question's folder (named in the request).
class ShopModelServer : public norvex::bench::ScriptedChatServer {
 public:
  ShopModelServer()
      : ScriptedChatServer(
            [this](const std::string& record, const std::string& request) {
              std::string code = "print(21 * 2)";
              static const std::regex folder("(/[^ \"'\\\\]*/q-[0-9a-f]+)");
              std::smatch m;
              if (record == "PythonCodeInput" && chart && std::regex_search(request, m, folder)) {
                code = std::regex_replace(std::string(kChartCode), std::regex("SAVE"), m[1].str());
              }
              return norvex::bench::shop_answer(record, code);
            },
            {.threads = 400}) {}
  [[nodiscard]] std::shared_ptr<norvex::query_flow::QueryFlow> flow(
      const std::shared_ptr<norvex::sql::CustomSQLDatabase>& db) const {
    return std::make_shared<norvex::query_flow::QueryFlow>(db, small(), large());
  }
  std::atomic<bool> chart{false};
};

const norvex::bench::SampleShop& shop() {
  return norvex::bench::sample_shop(NORVEX_SAMPLE_STORE_SCRIPT);
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

// /healthz answered one after another while 200 clients each trickle a header byte every
// 100 ms (they never finish a request): slow clients must not hold what answers.
void BM_ServeHealthzWhile200SlowClients(benchmark::State& state) {
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  static ShopModelServer model;
  const auto flow = model.flow(norvex::sql::CustomSQLDatabase::from_uri(shop().uri));
  const auto server = start_service(flow, 8);
  std::vector<int> slow;
  for (int i = 0; i < 200; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      slow.push_back(fd);
    } else {
      ::close(fd);
    }
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    static constexpr std::string_view kStart = "GET /healthz HTTP/1.1\r\nX-Slow: ";
    std::size_t at = 0;
    while (trickling) {
      const char c = at < kStart.size() ? kStart[at] : 'x';
      for (const int fd : slow) (void)::send(fd, &c, 1, MSG_NOSIGNAL);
      ++at;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  httplib::Client client("127.0.0.1", server->port());
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = Clock::now();
    const auto res = client.Get("/healthz");
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!res || res->status != 200) {
      state.SkipWithError("/healthz did not answer");
      break;
    }
    ms.push_back(elapsed * 1000);
    state.SetIterationTime(elapsed);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  trickling = false;
  trickle.join();
  for (const int fd : slow) ::close(fd);
  state.counters["slow_clients"] = static_cast<double>(slow.size());
  state.counters["p50_ms"] = percentile(ms, 0.5);
  state.counters["p99_ms"] = percentile(ms, 0.99);
}
BENCHMARK(BM_ServeHealthzWhile200SlowClients)
    ->UseManualTime()
    ->Iterations(400)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
