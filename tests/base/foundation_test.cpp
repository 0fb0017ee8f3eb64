// The foundation shared by every module: where printed lines go (per process, per run on a
// thread, and into the threads a run uses), the one secret-scrubbing rule, and child
// processes.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "norvex/base/output.hpp"
#include "norvex/base/process.hpp"
#include "norvex/base/secrets.hpp"
#include "norvex/error.hpp"
#include "norvex/graph/state_graph.hpp"

namespace norvex::base {
namespace {

// Collects lines thread-safely.
struct Lines {
  std::mutex mutex;
  std::vector<std::string> seen;
  OutputSink sink() {
    return [this](Stream stream, std::string_view line) {
      std::lock_guard lock(mutex);
      seen.push_back((stream == Stream::err ? "err: " : "") + std::string(line));
    };
  }
};

TEST(Output, LinesGoToStandardStreamsUnlessASinkTakesThem) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  print_line("to out");
  print_line("to err", Stream::err);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "to out\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to err\n");

  Lines process;
  const OutputSink previous = set_output(process.sink());
  print_line("one");
  {
    Lines run;
    const ScopedOutput scope(run.sink());
    print_line("two", Stream::err);
    EXPECT_EQ(run.seen, (std::vector<std::string>{"err: two"}));
  }
  print_line("three");
  set_output(previous);
  EXPECT_EQ(process.seen, (std::vector<std::string>{"one", "three"}));
}

// Two runs on two threads: each sees its own lines only, also those printed by the
// parallel nodes of its graph on the engine's helper threads.
TEST(Output, EachRunSeesItsOwnLinesIncludingThoseOfItsGraphsHelperThreads) {
  graph::StateGraph fan(graph::StateSchema{{"mark", graph::MergeRule::overwrite}});
  fan.add_node("start", [](const graph::State&) { return graph::Update(); });
  for (const char* name : {"left", "right"}) {
    fan.add_node(name, [name](const graph::State&) {
      print_line(name);
      return graph::Update();
    });
    fan.add_edge("start", name);
  }
  fan.set_entry_point("start");
  const graph::CompiledGraph compiled = fan.compile();

  Lines first, second;
  auto run = [&compiled](Lines& lines) {
    const ScopedOutput scope(lines.sink());
    for (int i = 0; i < 20; ++i) (void)compiled.invoke(graph::Json::object());
  };
  std::thread a(run, std::ref(first));
  std::thread b(run, std::ref(second));
  a.join();
  b.join();
  EXPECT_EQ(first.seen.size(), 40u);
  EXPECT_EQ(second.seen.size(), 40u);
}

TEST(Secrets, EveryNonEmptySecretIsMaskedHoweverShort) {
  EXPECT_EQ(scrub("user pw failed: pw", "pw"), "user *** failed: ***");
  EXPECT_EQ(scrub("key none rejected", "none"), "key *** rejected");
  EXPECT_EQ(scrub("aaaa", "aa"), "******");
  EXPECT_EQ(scrub("nothing to hide", ""), "nothing to hide");
}

TEST(ChildProcess, StartsWithTheGivenEnvironmentAndSaysHowItEnded) {
  SpawnOptions options;
  options.environment = {"NORVEX_CHILD_PROBE=seen"};
  const int ok = wait_for(spawn({"/bin/sh", "-c", "test \"$NORVEX_CHILD_PROBE\" = seen"}, options));
  EXPECT_EQ(describe_status(ok), "exited with status 0");
  const int killed = wait_for(spawn({"/bin/sh", "-c", "kill -9 $$"}, options));
  EXPECT_EQ(describe_status(killed).rfind("was killed by signal 9", 0), 0u);
  EXPECT_THROW((void)spawn({"/nonexistent/program"}, options), norvex::Error);
}

}  // namespace
}  // namespace norvex::base
