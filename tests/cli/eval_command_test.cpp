// `norvex eval` as a user runs it: the demo's cassette answers the demo question over the
// sample shop (a replayed configuration compared offline), the files land in --out, and a
// second run neither overwrites the first nor replays a cassette from several workers.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "support/cli_process.hpp"
#include "support/python_scratch.hpp"
#include "support/servers.hpp"

namespace norvex::cli {
namespace {

using norvex::test::run_program;
using norvex::test::ScratchDir;

constexpr const char* kDemoQuestion =
    "What are the five best-selling products by quantity? Show them as a bar chart.";

TEST(EvalCommand, ScoresAReplayedConfigurationAndKeepsEarlierResults) {
  ScratchDir dir("norvex-eval-cli");
  const auto made = run_program({NORVEX_SAMPLE_STORE_SCRIPT, (dir / "shop.db").string()});
  if (made.status != 0) NORVEX_SKIP_OR_FAIL("the sample database could not be made: " + made.err);
  {
    std::ofstream questions(dir / "questions.jsonl");
    questions << nlohmann::json{{"id", "best"},
                                {"question", kDemoQuestion},
                                {"sql",
                                 "SELECT p.name, SUM(oi.quantity) FROM order_items oi JOIN orders "
                                 "o USING (order_id) JOIN products p USING (product_id) WHERE "
                                 "o.status <> 'cancelled' GROUP BY p.name ORDER BY 2 DESC LIMIT 5"}}
                     .dump()
              << "\n";
  }
  const std::vector<std::string> command = {NORVEX_CLI_PROGRAM,
                                            "eval",
                                            "questions.jsonl",
                                            "--db",
                                            "sqlite:///" + (dir / "shop.db").string(),
                                            "--replay",
                                            NORVEX_DEMO_CASSETTE,
                                            "--out",
                                            "run"};
  const std::map<std::string, std::optional<std::string>> env = {
      {"NORVEX_MODEL_CONFIG", std::nullopt}, {"MPLBACKEND", "agg"}};
  const auto run = run_program(command, dir.path(), env);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Execution accuracy: 100.0 % (1 of 1)"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("1/1"), std::string::npos) << run.err;
  std::stringstream results;
  results << std::ifstream(dir / "run" / "results.jsonl").rdbuf();
  const auto record = nlohmann::json::parse(results.str());
  EXPECT_EQ(record["reason"], "match");
  EXPECT_TRUE(record["ordered"].get<bool>());
  EXPECT_TRUE(std::filesystem::exists(dir / "run" / "report.md"));

  const auto again = run_program(command, dir.path(), env);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  std::stringstream kept;
  kept << std::ifstream(dir / "run" / "results.jsonl").rdbuf();
  EXPECT_EQ(kept.str(), results.str());

  auto resumed = command;
  resumed.push_back("--resume");
  const auto nothing_left = run_program(resumed, dir.path(), env);
  EXPECT_EQ(nothing_left.status, 0) << nothing_left.err;

  auto crowded = command;
  crowded.insert(crowded.end(), {"--concurrency", "2"});
  const auto refused = run_program(crowded, dir.path(), env);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("concurrency 1"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace norvex::cli
