// Many questions at once on one agent, each drawing a small chart: questions per second and
// latency percentiles with a model that takes 200 ms per call (model-bound) and with one that
// answers at once (bound by our own work on this machine's cores), the peak resident memory
// of the whole process tree; and one `norvex ask` as a whole process against a model taking
// 500 ms per call, where what is not the model's time is our overhead.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "norvex/flow_stages/log.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"

#include "scripted_chat.hpp"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// A small chart, as the analysis step of a typical question draws one.
constexpr const char* kChartCode =
    "import matplotlib.pyplot as plt\nimport os, uuid\n"
    "plt.figure(figsize=(3, 2))\nplt.bar(['a', 'b', 'c'], [3, 1, 2])\n"
    "plt.savefig(os.path.join(SAVE, uuid.uuid4().hex + '.png'), dpi=50)\nprint('drawn')";

// The shop's model, answering every step after a set delay; the analysis draws a small chart
// into `media`.
class ShopModelServer : public norvex::bench::ScriptedChatServer {
 public:
  explicit ShopModelServer(const fs::path& media)
      : ScriptedChatServer(
            [code = std::string("SAVE = '") + media.string() + "'\n" + kChartCode](
                const std::string& record, const std::string&) {
              return norvex::bench::shop_answer(record, code);
            },
            {.threads = 400}) {
    fs::create_directories(media);
  }
};

const norvex::bench::SampleShop& shop() {
  return norvex::bench::sample_shop(NORVEX_SAMPLE_STORE_SCRIPT);
}

// Resident memory (kB) of this process and all its descendants: the analysis fork server,
// its managers and their runs. Pages shared after a fork count once per process, so this
// is an upper bound.
long tree_resident_kb() {
  std::map<int, std::vector<int>> children;
  std::map<int, long> resident;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::ifstream status(entry.path() / "status");
    std::string line;
    int ppid = -1;
    long rss = 0;
    while (std::getline(status, line)) {
      if (line.starts_with("PPid:")) ppid = std::stoi(line.substr(5));
      if (line.starts_with("VmRSS:")) rss = std::stol(line.substr(6));
    }
    const int pid = std::stoi(name);
    children[ppid].push_back(pid);
    resident[pid] = rss;
  }
  long total = 0;
  std::vector<int> pending = {::getpid()};
  while (!pending.empty()) {
    const int pid = pending.back();
    pending.pop_back();
    total += resident[pid];
    for (int child : children[pid]) pending.push_back(child);
  }
  return total;
}

// Runs `at_once` questions concurrently on `flow`, `rounds` times; fills the counters.
void questions_at_once(benchmark::State& state, int delay_ms, int rounds) {
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  const fs::path media = shop().dir / "media";
  static ShopModelServer server(media);
  server.delay_ms = delay_ms;
  const norvex::query_flow::QueryFlow flow(norvex::sql::CustomSQLDatabase::from_uri(shop().uri),
                                           server.small(), server.large());
  const Json input = {{"user_question", "Which products sell best?"},
                      {"save_path", media.string()}};
  static_cast<void>(flow.invoke(input));  // warm: the fork server, the connection pool
  const int at_once = static_cast<int>(state.range(0));

  std::atomic<bool> sampling{true};
  long peak_kb = 0;
  std::thread sampler([&] {
    while (sampling.load()) {
      peak_kb = std::max(peak_kb, tree_resident_kb());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  std::vector<double> latencies;
  std::atomic<int> failures{0};
  double elapsed = 0;
  const long calls_before = server.calls.load();
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int round = 0; round < rounds; ++round) {
      std::vector<double> took(static_cast<std::size_t>(at_once));
      std::vector<std::thread> threads;
      for (int q = 0; q < at_once; ++q) {
        threads.emplace_back([&, q] {
          const auto begin = Clock::now();
          const Json state_out = flow.invoke(input);
          if (!state_out.value("python_execution_success", false)) ++failures;
          took[static_cast<std::size_t>(q)] =
              std::chrono::duration<double>(Clock::now() - begin).count();
        });
      }
      for (auto& thread : threads) thread.join();
      latencies.insert(latencies.end(), took.begin(), took.end());
    }
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
  }
  sampling = false;
  sampler.join();
  if (failures.load() != 0) state.SkipWithError("an analysis run failed");
  std::sort(latencies.begin(), latencies.end());
  const auto percentile = [&](double p) {
    return latencies[std::min(latencies.size() - 1,
                              static_cast<std::size_t>(p * static_cast<double>(latencies.size())))];
  };
  const double questions = static_cast<double>(latencies.size());
  const double calls_per_question =
      static_cast<double>(server.calls.load() - calls_before) / questions;
  state.counters["questions_per_s"] = questions / elapsed;
  state.counters["p50_ms"] = 1e3 * percentile(0.50);
  state.counters["p99_ms"] = 1e3 * percentile(0.99);
  state.counters["model_calls_per_question"] = calls_per_question;
  if (delay_ms > 0) {
    // Every question waiting only for its own model calls, none for another's work.
    const double ideal = at_once / (calls_per_question * delay_ms / 1e3);
    state.counters["share_of_model_bound_ideal"] = questions / elapsed / ideal;
  }
  state.counters["peak_tree_rss_mb"] = static_cast<double>(peak_kb) / 1024.0;
}

void BM_QuestionsAtOnce200msModel(benchmark::State& state) {
  questions_at_once(state, 200, 2);
}
BENCHMARK(BM_QuestionsAtOnce200msModel)
    ->ArgName("at_once")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_QuestionsAtOnceZeroLatencyModel(benchmark::State& state) {
  questions_at_once(state, 0, 8);
}
BENCHMARK(BM_QuestionsAtOnceZeroLatencyModel)
    ->ArgName("at_once")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// `norvex ask` as a user runs it (NORVEX_BENCH_NORVEX names another build of the program to
// compare). What is left after the model's 500 ms per call is ours.
void BM_AskWholeProcess500msModel(benchmark::State& state) {
  const fs::path media = shop().dir / "ask_media";
  static ShopModelServer server(media);
  server.delay_ms = 500;
  const fs::path config = shop().dir / "models.json";
  Json records = Json::array();
  for (const char* tier : {"GPT-3.5", "GPT-4o"}) {
    records.push_back({{"model", tier},
                       {"deployment_name", "d"},
                       {"azure_endpoint", server.endpoint()},
                       {"api_key", "none"},
                       {"api_version", "2024-06-01"}});
  }
  std::ofstream(config) << Json{{"models", records}}.dump();
  const char* other = std::getenv("NORVEX_BENCH_NORVEX");
  const std::string program = other != nullptr ? other : NORVEX_PROGRAM;
  const std::string command = "cd '" + shop().dir.string() + "' && NORVEX_MODEL_CONFIG='" +
                              config.string() + "' '" + program +
                              "' ask 'Which products sell best?' --db '" + shop().uri +
                              "' --media '" + media.string() + "' --quiet > /dev/null";
  double overhead = 0;
  double wall = 0;
  for (auto _ : state) {
    const long before = server.calls.load();
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("norvex ask failed");
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    const double model = static_cast<double>(server.calls.load() - before) * 0.5;
    wall += took;
    overhead += took - model;
    state.SetIterationTime(took - model);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["wall_s"] = wall / n;
  state.counters["not_model_s"] = overhead / n;
}
BENCHMARK(BM_AskWholeProcess500msModel)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
