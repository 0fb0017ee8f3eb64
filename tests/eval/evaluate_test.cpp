// Whole evaluations over the project's sample shop database, with a scripted chat service that
// answers some questions right, some wrong and some only after a repair; the gold queries run
// through the same read-only facade. Also what an interrupted run leaves and how it resumes.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"
#include "query_flow_test_support.hpp"
#include "sql_test_support.hpp"
#include "support/cli_process.hpp"
#include "support/servers.hpp"

namespace norvex::eval {
namespace {

namespace fs = std::filesystem;
using query_flow::test::ScriptedPipeline;
using test::FakeChatServer;

struct Scripted {
  Question question;
  std::vector<std::string> answers;  // the model's SQL, attempt by attempt
};

const std::vector<Scripted>& scripted() {
  static const std::vector<Scripted> set = {
      {{"right", "How many products are there", "SELECT COUNT(*) FROM products"},
       {"SELECT COUNT(product_id) FROM products"}},
      {{"wrong", "How many orders were cancelled",
        "SELECT COUNT(*) FROM orders WHERE status = 'cancelled'"},
       {"SELECT COUNT(*) FROM orders"}},
      {{"repaired", "Which categories are there", "SELECT name FROM categories"},
       {"SELECT nme FROM categories", "SELECT name FROM categories ORDER BY name DESC"}},
      {{"reversed", "Name the three dearest products, dearest first",
        "SELECT name, unit_price FROM products ORDER BY unit_price DESC, name LIMIT 3"},
       {"SELECT unit_price, name FROM (SELECT name, unit_price FROM products ORDER BY "
        "unit_price DESC, name LIMIT 3) ORDER BY unit_price, name DESC"}},
      {{"average", "What is the average product price",
        "SELECT ROUND(AVG(unit_price), 6) FROM products"},
       {"SELECT SUM(unit_price) / COUNT(*) FROM products"}},
      {{"broken", "How much does each product cost", "SELECT price FROM products"},
       {"SELECT name, unit_price FROM products"}},
  };
  return set;
}

std::string contents_of(const test::RecordedRequest& request) {
  std::string text;
  for (const auto& [role, content] : request.messages()) text += content + "\n";
  return text;
}

// Answers SQL requests per question (attempt by attempt) and the query checker with the query
// it was shown, so questions may run in any order and at once.
class ShopModel {
 public:
  ShopModel() {
    pipeline_.relevant_tables = {"categories", "products", "orders"};
    pipeline_.pandas_codes = {"print('checked')"};
    pipeline_.image_path = "";
    pipeline_.override =
        [this](const test::RecordedRequest& request) -> std::optional<test::ScriptedAnswer> {
      const std::string text = contents_of(request);
      const std::string record = request.requested_record();
      if (record == "SQLQueryInput") {
        for (const auto& s : scripted()) {
          if (text.find(s.question.question) == std::string::npos) continue;
          const std::size_t attempt = attempts_[s.question.id]++;
          const auto& sql = s.answers[std::min(attempt, s.answers.size() - 1)];
          return FakeChatServer::record(request, {{"sql_query", sql}});
        }
      }
      if (record.empty()) {
        const std::string* shown = nullptr;
        for (const auto& s : scripted()) {
          for (const auto& sql : s.answers) {
            if (text.find(sql) != std::string::npos && (!shown || sql.size() > shown->size())) {
              shown = &sql;
            }
          }
        }
        if (shown) return FakeChatServer::text("```sql\n" + *shown + "\n```");
      }
      return std::nullopt;
    };
  }

  [[nodiscard]] Target target(const fs::path& db) const {
    return {"sqlite:///" + db.string(), pipeline_.small_settings(), pipeline_.big_settings()};
  }
  // SQL requests that carried `question`.
  [[nodiscard]] std::size_t sql_requests_about(const std::string& question) const {
    std::size_t n = 0;
    for (const auto& r : pipeline_.requests_for("SQLQueryInput")) {
      if (contents_of(r).find(question) != std::string::npos) ++n;
    }
    return n;
  }

 private:
  ScriptedPipeline pipeline_;
  std::map<std::string, std::size_t> attempts_;  // guarded by the pipeline's own lock
};

class Evaluation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const fs::path dir = sql::test::temp_dir();
    const auto run = test::run_program({NORVEX_SAMPLE_STORE_SCRIPT, (dir / "shop.db").string()});
    if (run.status == 0) shop_ = dir / "shop.db";
  }
  void SetUp() override {
    if (shop_.empty()) NORVEX_SKIP_OR_FAIL("the sample database could not be made (sqlite3?)");
    out_ = sql::test::temp_dir() / "eval";
  }
  static std::vector<Question> questions() {
    std::vector<Question> out;
    for (const auto& s : scripted()) out.push_back(s.question);
    return out;
  }
  static std::vector<Json> records(const fs::path& file) {
    std::ifstream in(file);
    std::vector<Json> out;
    for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
    return out;
  }

  static fs::path shop_;
  fs::path out_;
};
fs::path Evaluation::shop_;

TEST_F(Evaluation, JudgesEachQuestionAndReportsAccuracyFailuresAndBrokenGold) {
  ShopModel model;
  RunOptions options;
  options.out_dir = out_;
  options.concurrency = 2;
  std::size_t calls = 0;
  options.on_result = [&](const QuestionResult&, std::size_t done, std::size_t total) {
    EXPECT_EQ(done, ++calls);
    EXPECT_EQ(total, 6u);
  };
  const Summary summary = evaluate(questions(), model.target(shop_), options);

  std::map<std::string, Json> by_id;
  for (const auto& r : records(out_ / "results.jsonl")) by_id[r["id"].get<std::string>()] = r;
  ASSERT_EQ(by_id.size(), 6u);
  EXPECT_EQ(by_id["right"]["reason"], "match");
  EXPECT_EQ(by_id["right"]["repairs"], 0);
  EXPECT_GT(by_id["right"]["tokens"]["total"].get<int>(), 0);
  EXPECT_GT(by_id["right"]["steps"].get<int>(), 5);
  EXPECT_EQ(by_id["wrong"]["reason"], "values_differ");
  EXPECT_EQ(by_id["repaired"]["reason"], "match");
  EXPECT_EQ(by_id["repaired"]["repairs"], 1);
  EXPECT_EQ(by_id["repaired"]["predicted_sql"], scripted()[2].answers[1]);
  EXPECT_EQ(by_id["reversed"]["reason"], "order_differs");
  EXPECT_TRUE(by_id["reversed"]["ordered"].get<bool>());
  EXPECT_EQ(by_id["average"]["reason"], "match");
  EXPECT_EQ(by_id["broken"]["reason"], "gold_failed");
  EXPECT_NE(by_id["broken"]["detail"].get<std::string>().find("price"), std::string::npos);
  // A broken gold costs no model calls.
  EXPECT_EQ(model.sql_requests_about("How much does each product cost"), 0u);

  EXPECT_EQ(summary.questions, 6u);
  EXPECT_EQ(summary.evaluated, 5u);
  EXPECT_EQ(summary.matched, 3u);
  EXPECT_EQ(summary.broken_gold, 1u);
  EXPECT_DOUBLE_EQ(summary.accuracy, 0.6);
  EXPECT_EQ(summary.by_repairs.at(1), (std::pair<std::size_t, std::size_t>(1, 1)));
  const Json saved = Json::parse(std::ifstream(out_ / "summary.json"));
  EXPECT_EQ(saved["matched"], 3);
  EXPECT_EQ(saved["failures"]["gold_failed"], 1);
  std::stringstream report;
  report << std::ifstream(out_ / "report.md").rdbuf();
  for (const char* text : {"60.0 %", "order_differs (1)", "`wrong`", "| 1 | 1 | 1 | 100.0 % |"}) {
    EXPECT_NE(report.str().find(text), std::string::npos) << text << "\n" << report.str();
  }
}

TEST_F(Evaluation, ResumesAnInterruptedRunAndNeverOverwritesOne) {
  ShopModel model;
  RunOptions options;
  options.out_dir = out_;
  auto first_half = questions();
  first_half.resize(3);
  static_cast<void>(evaluate(first_half, model.target(shop_), options));
  // The run died while writing its fourth record.
  { std::ofstream(out_ / "results.jsonl", std::ios::app) << "{\"id\": \"reversed\", \"quest"; }
  const auto before = fs::file_size(out_ / "results.jsonl");

  EXPECT_THROW(static_cast<void>(evaluate(questions(), model.target(shop_), options)),
               ArgumentError);
  EXPECT_EQ(fs::file_size(out_ / "results.jsonl"), before);

  options.resume = true;
  const Summary summary = evaluate(questions(), model.target(shop_), options);
  EXPECT_EQ(summary.resumed, 3u);
  EXPECT_EQ(summary.matched, 3u);
  EXPECT_EQ(model.sql_requests_about(scripted()[0].question.question), 1u);  // not asked again
  EXPECT_EQ(model.sql_requests_about(scripted()[3].question.question), 1u);
  const auto lines = records(out_ / "results.jsonl");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3]["id"], "reversed");
}

TEST_F(Evaluation, RefusesACassetteWithSeveralWorkers) {
  Target target = ShopModel().target(shop_);
  target.config_35.provider = llm::Provider::replay;
  RunOptions options;
  options.out_dir = out_;
  options.concurrency = 4;
  EXPECT_THROW(static_cast<void>(evaluate(questions(), target, options)), ArgumentError);
}

}  // namespace
}  // namespace norvex::eval
