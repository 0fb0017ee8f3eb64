// The Python runtime's costs, each beside the same code in a fresh `python3` process
// measured in the same run: warm isolated analysis runs (fork + confinement + run) back to
// back and one at a time, a chart saved as PNG, warm in-process execute_code, and the fork
// server's cold start. The speedup counters give the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "norvex/coderun/coderun.hpp"
#include "norvex/python/analysis.hpp"

extern char** environ;

namespace {

constexpr const char* kTrivial = "x = 1";
constexpr const char* kGroupBy =
    "import pandas as pd\n"
    "frame = pd.DataFrame({'k': [i % 10 for i in range(10000)], 'v': range(10000)})\n"
    "print(frame.groupby('k')['v'].sum().sum())\n";

// Runs `code` in a fresh python3 process with its output discarded, and waits for it.
void run_fresh_python(const std::string& code) {
  const std::string program = norvex::python::python_program().string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {program.c_str(), "-c", code.c_str(), nullptr};
  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  int status = 0;
  waitpid(pid, &status, 0);
}

// Seconds per run of `code` in a fresh python3 process, measured once per text in this run.
double fresh_python_seconds(const std::string& code) {
  static std::map<std::string, double> measured;
  if (auto found = measured.find(code); found != measured.end()) return found->second;
  constexpr int kRuns = 5;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRuns; ++i) run_fresh_python(code);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRuns;
  measured[code] = seconds;
  return seconds;
}

void report_speedup(benchmark::State& state, const std::string& code, double seconds_per_run) {
  const double fresh = fresh_python_seconds(code);
  state.counters["fresh_python3_ms"] = fresh * 1e3;
  state.counters["speedup"] = fresh / seconds_per_run;
}

template <typename Run>
double timed_loop(benchmark::State& state, Run run) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) run();
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return total / static_cast<double>(state.iterations());
}

void BM_RunAnalysisTrivial(benchmark::State& state) {
  (void)norvex::python::run_analysis(kTrivial);  // warm: the worker is running
  const double per_run =
      timed_loop(state, [] { benchmark::DoNotOptimize(norvex::python::run_analysis(kTrivial)); });
  report_speedup(state, kTrivial, per_run);
}
BENCHMARK(BM_RunAnalysisTrivial)->Unit(benchmark::kMicrosecond);

// The same run when runs come one at a time, as in a question, where the model works between
// them: the fork server has forked the next run's process and the machine is idle, so this is
// the wait a question sees. The pauses are not timed.
void BM_IsolatedRunAfterAPause(benchmark::State& state) {
  (void)norvex::python::run_analysis(kTrivial);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(norvex::python::run_analysis(kTrivial));
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_IsolatedRunAfterAPause)->UseManualTime()->Unit(benchmark::kMicrosecond);

// What each sandbox layer costs a run: the run after a pause with one layer off (the
// argument, a SandboxLayer bit; 0 is every layer on), beside the same with every layer on.
void BM_IsolatedRunWithoutLayer(benchmark::State& state) {
  norvex::python::AnalysisOptions options;
  options.disabled_sandbox_layers = static_cast<unsigned>(state.range(0));
  (void)norvex::python::run_analysis(kTrivial, options);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(norvex::python::run_analysis(kTrivial, options));
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_IsolatedRunWithoutLayer)
    ->Arg(0)
    ->RangeMultiplier(2)
    ->Range(1, 1 << 7)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_RunAnalysisPandasGroupBy(benchmark::State& state) {
  auto warm = norvex::python::run_analysis(kGroupBy);
  if (!warm.success) state.SkipWithError(warm.error.c_str());
  const double per_run =
      timed_loop(state, [] { benchmark::DoNotOptimize(norvex::python::run_analysis(kGroupBy)); });
  report_speedup(state, kGroupBy, per_run);
}
BENCHMARK(BM_RunAnalysisPandasGroupBy)->Unit(benchmark::kMillisecond);

void BM_RunAnalysisBarChartPng(benchmark::State& state) {
  const auto media = std::filesystem::temp_directory_path() / "norvex-bench-media";
  const norvex::python::AnalysisOptions options{.media_directory = media};
  const std::string code =
      "import matplotlib.pyplot as plt\n"
      "plt.bar(['Rock', 'Jazz', 'Metal'], [5, 1, 3])\n"
      "plt.savefig('" +
      (media / "bars.png").string() + "')\n";
  auto warm = norvex::python::run_analysis(code, options);
  if (!warm.success) state.SkipWithError(warm.error.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(norvex::python::run_analysis(code, options));
  std::filesystem::remove_all(media);
}
BENCHMARK(BM_RunAnalysisBarChartPng)->Unit(benchmark::kMillisecond);

void BM_ExecuteCodeTrivial(benchmark::State& state) {
  (void)norvex::coderun::execute_code(kTrivial);  // warm: the interpreter is running
  const double per_run =
      timed_loop(state, [] { benchmark::DoNotOptimize(norvex::coderun::execute_code(kTrivial)); });
  report_speedup(state, kTrivial, per_run);
}
BENCHMARK(BM_ExecuteCodeTrivial)->Unit(benchmark::kMicrosecond);

// The fresh processes themselves, so the table shows both sides of each ratio.
void BM_FreshPython3(benchmark::State& state, const char* code) {
  for (auto _ : state) run_fresh_python(code);
}
BENCHMARK_CAPTURE(BM_FreshPython3, Trivial, kTrivial)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FreshPython3, PandasGroupBy, kGroupBy)->Unit(benchmark::kMillisecond);

// Start of the fork server (spawn, import pandas and matplotlib) and a first run.
void BM_ForkServerColdStart(benchmark::State& state) {
  for (auto _ : state) {
    norvex::python::shutdown_analysis_worker();
    benchmark::DoNotOptimize(norvex::python::run_analysis(kTrivial));
  }
}
BENCHMARK(BM_ForkServerColdStart)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
