// Isolated analysis runs in the worker process: the execution rules, charts in the
// caller's directory, and every way the code can end the worker — each followed by a run
// that works.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "norvex/error.hpp"
#include "norvex/python/analysis.hpp"
#include "support/python_scratch.hpp"

namespace norvex::python {
namespace {

using test::ScratchDir;

void expect_worker_healthy() {
  auto result = run_analysis("print(datetime.date(2024, 2, 29) + datetime.timedelta(days=1))");
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "2024-03-01\n");
}

TEST(AnalysisWorker, FollowsTheExecutionRules) {
  auto printed = run_analysis("print('a')\nprint('b')");
  ASSERT_TRUE(printed.success) << printed.error;
  EXPECT_EQ(printed.output, "a\nb\n");

  auto defined = run_analysis("leftover = 1");
  ASSERT_TRUE(defined.success);
  auto fresh = run_analysis("print(leftover)");
  EXPECT_FALSE(fresh.success);
  EXPECT_EQ(fresh.error, "NameError: name 'leftover' is not defined");

  auto failed = run_analysis("print('lost')\n{}['missing']");
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(failed.output, "");
  EXPECT_EQ(failed.error, "KeyError: 'missing'");

  auto syntax = run_analysis("def broken(:\n  pass");
  EXPECT_EQ(syntax.error.rfind("SyntaxError: ", 0), 0u) << syntax.error;

  auto traceback = run_analysis(
      "import traceback\ntry:\n    undefined\nexcept NameError:\n    "
      "print(traceback.format_exc())");
  EXPECT_NE(traceback.output.find("File \"<ast>\", line 3"), std::string::npos);

  // Text that is not valid UTF-8 on either side must not break the channel.
  auto odd = run_analysis("print('\\udc80 ok')  # \xff");
  EXPECT_TRUE(odd.success) << odd.error;
  EXPECT_NE(odd.output.find("ok"), std::string::npos);
}

TEST(AnalysisWorker, PandasAndMatplotlibChartLandsInTheMediaFolderBeneathTheCallersDirectory) {
  ScratchDir dir;
  const std::string code = R"(
import pandas as pd
import matplotlib.pyplot as plt
frame = pd.DataFrame({"genre": ["Rock", "Jazz", "Rock", "Metal"], "sales": [3, 1, 2, 5]})
totals = frame.groupby("genre")["sales"].sum()
print(totals.to_dict())
totals.plot(kind="bar")
plt.savefig("chart.png", dpi=50)
)";
  // The media folder is named relative to the working directory, as the caller sees it.
  auto result = run_analysis(
      code.substr(0, code.find("plt.savefig")) + "plt.savefig(\"media/chart.png\", dpi=50)\n",
      {.working_directory = dir.path(), .media_directory = "media"});
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "{'Jazz': 1, 'Metal': 5, 'Rock': 5}\n");

  int width = 0, height = 0, channels = 0;
  unsigned char* pixels =
      stbi_load((dir / "media" / "chart.png").c_str(), &width, &height, &channels, 0);
  ASSERT_NE(pixels, nullptr) << "chart.png is not a decodable PNG";
  stbi_image_free(pixels);
  EXPECT_EQ(width, 320);  // matplotlib's default 6.4 x 4.8 inches at 50 dpi
  EXPECT_EQ(height, 240);

  // A second chart starts on an empty figure, not on top of the first run's.
  auto count = run_analysis("import matplotlib.pyplot as plt\nprint(len(plt.get_fignums()))",
                            {.working_directory = dir.path()});
  EXPECT_EQ(count.output, "0\n");
}

TEST(AnalysisWorker, ExitRequestIsTheExitErrorAndTheWorkerGoesOn) {
  try {
    (void)run_analysis("import sys\nsys.exit('stopping here')");
    FAIL() << "expected PythonExit";
  } catch (const PythonExit& exit) {
    EXPECT_STREQ(exit.what(), "SystemExit: stopping here");
    EXPECT_FALSE(exit.exit_code().has_value());
  }
  try {
    (void)run_analysis("raise KeyboardInterrupt()");
    FAIL() << "expected PythonExit";
  } catch (const PythonExit& exit) {
    EXPECT_EQ(exit.type_name(), "KeyboardInterrupt");
  }
  expect_worker_healthy();
}

TEST(AnalysisWorker, HardExitIsAFailureAndTheNextRunWorks) {
  auto result = run_analysis("import os\nprint('gone')\nos._exit(7)");
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error.rfind("ChildProcessError: ", 0), 0u) << result.error;
  EXPECT_NE(result.error.find("exited with status 7"), std::string::npos) << result.error;
  expect_worker_healthy();
}

TEST(AnalysisWorker, CodeThatBreaksTheResultChannelIsAFailureAndTheNextRunWorks) {
  // Garbage on the channel, then a worker that lives on: it must be stopped, not awaited.
  auto garbled = run_analysis(
      "import os, time\nos.write(3, b'\\x00\\x00\\x00\\x02{x')\n"
      "os.close(3)\ntime.sleep(600)");
  EXPECT_FALSE(garbled.success);
  EXPECT_EQ(garbled.error.rfind("ChildProcessError: ", 0), 0u) << garbled.error;
  expect_worker_healthy();

  EXPECT_THROW((void)run_analysis("print(1)", {.time_limit = std::chrono::seconds(0)}),
               ArgumentError);
}

TEST(AnalysisWorker, SegfaultIsAFailureAndTheNextRunWorks) {
  auto result = run_analysis("import ctypes\nctypes.string_at(0)");
  EXPECT_FALSE(result.success);
  EXPECT_NE(result.error.find("signal 11"), std::string::npos) << result.error;
  expect_worker_healthy();
}

TEST(AnalysisWorker, EndlessLoopIsStoppedAtTheTimeLimitAndTheNextRunWorks) {
  auto result = run_analysis("while True:\n    pass", {.time_limit = std::chrono::seconds(1)});
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error.rfind("TimeoutError: ", 0), 0u) << result.error;
  expect_worker_healthy();
}

TEST(AnalysisWorker, HugeAllocationIsAFailureAndTheNextRunWorks) {
  auto result = run_analysis("block = bytearray(64 * 1024 ** 3)\nprint(len(block))");
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error.rfind("MemoryError", 0), 0u) << result.error;
  // Far below the default limit but above a small one: the limit is the worker's.
  auto limited = run_analysis("block = bytearray(1536 * 1024 ** 2)\nprint(len(block) > 0)",
                              {.memory_limit = std::size_t{1} << 30});
  EXPECT_FALSE(limited.success);
  EXPECT_EQ(limited.error.rfind("MemoryError", 0), 0u) << limited.error;
  expect_worker_healthy();
}

TEST(AnalysisWorker, SecretsAreAbsentFromTheWorkersEnvironment) {
  ::setenv("NORVEX_TEST_API_KEY", "k-123", 1);
  ::setenv("db_password", "p-456", 1);
  ::setenv("SOME_SECRET", "s", 1);
  ::setenv("github_token", "t", 1);
  ::setenv("NORVEX_TEST_PLAIN", "visible", 1);
  shutdown_analysis_worker();  // the next worker starts with this environment

  // An allow-list: variables it does not name stay out too, secret-looking or not.
  auto result = run_analysis(
      "import os\n"
      "names = ['NORVEX_TEST_API_KEY', 'db_password', 'SOME_SECRET', 'github_token']\n"
      "print([n for n in names if n in os.environ], os.environ.get('NORVEX_TEST_PLAIN'))\n"
      "print(os.environ.get('MPLBACKEND'), 'PATH' in os.environ)");
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "[] None\nagg True\n");
  // Our own process keeps its variables.
  EXPECT_STREQ(std::getenv("db_password"), "p-456");
}

TEST(AnalysisWorker, DirectWritesToFileDescriptorOneStayOutOfTheResult) {
  auto result = run_analysis(
      "import os, sys\nos.write(1, b'written to fd 1\\n')\nsys.__stdout__.write('raw\\n')\n"
      "sys.__stdout__.flush()\nprint('captured')");
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "captured\n");
}

TEST(AnalysisWorker, ConcurrentCallersNeverMixOutput) {
  constexpr int kThreads = 4;
  std::vector<std::string> outputs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &outputs] {
      for (int round = 0; round < 3; ++round) {
        auto result = run_analysis("import time\nfor i in range(50):\n    print('caller " +
                                   std::to_string(t) + "')\n    time.sleep(0.001)");
        ASSERT_TRUE(result.success) << result.error;
        outputs[t] += result.output;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    std::string expected;
    for (int i = 0; i < 150; ++i) expected += "caller " + std::to_string(t) + "\n";
    EXPECT_EQ(outputs[t], expected);
  }
}

// Code that writes `mine` in the shared media folder, then waits for `theirs` (or the time
// limit) before printing `name`.
std::string meet_at_barrier(const std::string& mine, const std::string& theirs,
                            const std::string& name) {
  return "import os, time\nopen('media/" + mine + "', 'w').close()\n" +
         "while not os.path.exists('media/" + theirs + "'):\n    time.sleep(0.01)\n" + "print('" +
         name + "')";
}

TEST(AnalysisWorker, ConcurrentRunsOverlapAndATimeOutStopsOnlyItsOwnRun) {
  configure_analysis_pool({.max_runs = 3});
  ScratchDir dir;
  const AnalysisOptions shared{.time_limit = std::chrono::seconds(60),
                               .working_directory = dir.path(),
                               .media_directory = "media"};
  // Each run waits for the other's file: both finish only when they run at the same time.
  AnalysisResult first;
  std::thread other([&] { first = run_analysis(meet_at_barrier("a", "b", "first"), shared); });
  const auto second = run_analysis(meet_at_barrier("b", "a", "second"), shared);
  other.join();
  EXPECT_EQ(first.output, "first\n") << first.error;
  EXPECT_EQ(second.output, "second\n") << second.error;

  // A run that outlives its limit is killed; one running beside it goes on.
  AnalysisResult survivor;
  std::thread waiting(
      [&] { survivor = run_analysis(meet_at_barrier("waiting", "go", "survived"), shared); });
  AnalysisOptions short_limit = shared;
  short_limit.time_limit = std::chrono::seconds(1);
  const auto stopped = run_analysis(
      "import os, time\nwhile not os.path.exists('media/waiting'):\n    time.sleep(0.01)\n"
      "while True:\n    pass",
      short_limit);
  EXPECT_EQ(stopped.error.rfind("TimeoutError: ", 0), 0u) << stopped.error;
  test::write_text(dir / "media" / "go", "");
  waiting.join();
  EXPECT_EQ(survivor.output, "survived\n") << survivor.error;
  configure_analysis_pool({});
}

TEST(AnalysisWorker, RunsAboveThePoolLimitWaitThenGetAClearError) {
  ScratchDir dir;
  const AnalysisOptions options{.working_directory = dir.path(), .media_directory = "media"};
  configure_analysis_pool(
      {.max_runs = 1, .max_waiting = 1, .max_wait = std::chrono::milliseconds(50)});
  AnalysisResult holder;
  std::thread holding(
      [&] { holder = run_analysis(meet_at_barrier("held", "release", "held"), options); });
  while (!std::filesystem::exists(dir / "media" / "held")) std::this_thread::yield();
  EXPECT_EQ(analysis_pool_status().running, 1u);
  try {
    (void)run_analysis("print(1)", options);
    ADD_FAILURE() << "a run above the limit ran";
  } catch (const Error& error) {
    EXPECT_TRUE(error.retryable());
    EXPECT_NE(std::string(error.what()).find("analysis slots stayed busy"), std::string::npos)
        << error.what();
  }
  // With no room in the queue either, a run is refused without waiting.
  configure_analysis_pool({.max_runs = 1, .max_waiting = 0});
  EXPECT_THROW((void)run_analysis("print(1)", options), Error);
  EXPECT_EQ(analysis_pool_status().waiting, 0u);

  test::write_text(dir / "media" / "release", "");
  holding.join();
  EXPECT_EQ(holder.output, "held\n") << holder.error;
  EXPECT_THROW(configure_analysis_pool({.max_wait = std::chrono::milliseconds(-1)}), ArgumentError);
  configure_analysis_pool({});
  expect_worker_healthy();
}

TEST(AnalysisWorker, MissingInterpreterIsAnErrorNotAFailedRun) {
  shutdown_analysis_worker();
  ::setenv("NORVEX_PYTHON", "/nonexistent/norvex/python3", 1);
  start_analysis_server();  // a start in the background reports nothing: the run does
  EXPECT_THROW((void)run_analysis("print(1)"), Error);
  ::unsetenv("NORVEX_PYTHON");
  expect_worker_healthy();
}

}  // namespace
}  // namespace norvex::python
