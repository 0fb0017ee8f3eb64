// Cassettes: recording live exchanges, replaying them, and refusing requests that differ.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "llm_test_support.hpp"
#include "norvex/error.hpp"

namespace norvex::llm {
namespace {

using test::FakeChatServer;
using testing::azure_settings;
using ::testing::HasSubstr;
using testing::kTestKey;
using ::testing::Not;
using testing::sql_query_input;

const Json kTopP = {{"top_p", 0.95}};

class CassetteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("norvex-llm-cassette-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path write(const std::string& name, const std::vector<Json>& lines) {
    const auto path = dir_ / name;
    std::ofstream out(path);
    for (const auto& line : lines) out << line.dump() << "\n";
    return path;
  }
  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
};

Json exchange(const std::string& record, const std::string& question, Json answer) {
  return {{"record", record},
          {"messages",
           {{{"role", "system"}, {"content", "Be brief."}},
            {{"role", "human"}, {"content", question}}}},
          {"answer", std::move(answer)}};
}

std::vector<prompts::Message> ask(const std::string& question) {
  return {prompts::SystemMessage("Be brief."), prompts::HumanMessage(question)};
}

TEST_F(CassetteTest, ReplayAnswersEachRecordNameInItsOwnOrder) {
  const auto path =
      write("c.jsonl", {exchange("SQLQueryInput", "q1", {{"sql_query", "SELECT 1"}}),
                        exchange("text", "review", "SELECT 1;"),
                        exchange("SQLQueryInput", "q2", {{"sql_query", "SELECT 2"}})});
  auto model = std::make_shared<ReplayChatModel>(path);
  const auto sql = model->with_structured_output(sql_query_input());
  EXPECT_EQ(sql->invoke(ask("q1"))["sql_query"], "SELECT 1");
  EXPECT_EQ(sql->invoke(ask("q2"))["sql_query"], "SELECT 2");
  EXPECT_EQ(model->invoke(ask("review")).content, "SELECT 1;");
  EXPECT_EQ(model->remaining(), 0u);
  try {
    model->invoke(ask("again"));
    FAIL() << "an exhausted cassette answered";
  } catch (const ChatServiceError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no exchange left for 'text'"));
  }
}

// Questions that share a cassette may reach the model in any order: each request finds the
// exchange recorded for it, and identical requests take their recordings in turn.
TEST_F(CassetteTest, RequestsFindTheirOwnExchangeWhateverOrderTheyArriveIn) {
  const auto path =
      write("c.jsonl", {exchange("SQLQueryInput", "q1", {{"sql_query", "SELECT 1"}}),
                        exchange("SQLQueryInput", "q2", {{"sql_query", "SELECT 2"}}),
                        exchange("SQLQueryInput", "q1", {{"sql_query", "SELECT 3"}})});
  const auto sql =
      std::make_shared<ReplayChatModel>(path)->with_structured_output(sql_query_input());
  EXPECT_EQ(sql->invoke(ask("q2"))["sql_query"], "SELECT 2");
  EXPECT_EQ(sql->invoke(ask("q1"))["sql_query"], "SELECT 1");
  EXPECT_EQ(sql->invoke(ask("q1"))["sql_query"], "SELECT 3");
  EXPECT_THROW((void)sql->invoke(ask("q2")), ChatServiceError);
}

TEST_F(CassetteTest, AMismatchSaysWhereTheRequestDiffersFromTheRecording) {
  const auto path =
      write("c.jsonl",
            {exchange("SQLQueryInput", "How many albums are there?", {{"sql_query", "SELECT 1"}})});
  auto model = std::make_shared<ReplayChatModel>(path);
  const auto sql = model->with_structured_output(sql_query_input());
  try {
    (void)sql->invoke(ask("How many artists are there?"));
    FAIL() << "a different request was answered";
  } catch (const ChatServiceError& e) {
    const std::string message = e.what();
    EXPECT_THAT(message, HasSubstr("line 1"));
    EXPECT_THAT(message, HasSubstr("request 1 for 'SQLQueryInput' does not match"));
    EXPECT_THAT(message, HasSubstr("message 2 (human) differs at character 10"));
    EXPECT_THAT(message, HasSubstr("expected «How many albums are there?»"));
    EXPECT_THAT(message, HasSubstr("received «How many artists are there?»"));
  }
  EXPECT_THROW((void)sql->invoke({prompts::HumanMessage("x")}), ChatServiceError);
  // A difference deep inside text of three-byte characters: the excerpts stay valid UTF-8.
  std::string euros;
  for (int i = 0; i < 45; ++i) euros += "\u20ac";
  const auto other =
      write("e.jsonl", {exchange("SQLQueryInput", euros + "A", {{"sql_query", "1"}})});
  try {
    (void)std::make_shared<ReplayChatModel>(other)
        ->with_structured_output(sql_query_input())
        ->invoke(ask(euros + "B"));
    FAIL() << "a different request was answered";
  } catch (const ChatServiceError& e) {
    EXPECT_NO_THROW((void)Json(std::string(e.what())).dump()) << e.what();
  }
  // The mismatch used nothing up: the right request still gets its answer.
  EXPECT_EQ(sql->invoke(ask("How many albums are there?"))["sql_query"], "SELECT 1");
}

TEST_F(CassetteTest, RecordedAnswersAreValidatedLikeLiveOnes) {
  const auto path =
      write("c.jsonl",
            {exchange("SQLQueryInput", "q", {{"query", "SELECT 1"}}),
             exchange("SQLQueryInput", "q", {{"sql_query", "<sql_query>SELECT 2</sql_query>"}})});
  auto sql = std::make_shared<ReplayChatModel>(path)->with_structured_output(sql_query_input());
  EXPECT_THROW((void)sql->invoke(ask("q")), OutputParseError);
  EXPECT_EQ(sql->invoke(ask("q"))["sql_query"], "SELECT 2");
}

TEST_F(CassetteTest, TheSavePathPlaceholderBecomesTheRunsSavePath) {
  const auto path =
      write("c.jsonl", {exchange("PythonCodeInput", "Save charts in {save_path}",
                                 {{"code", "plt.savefig('{save_path}/chart.png')"}})});
  auto model = std::make_shared<ReplayChatModel>(path);
  model->set_save_path("/tmp/run-7");
  const RecordSchema code{"PythonCodeInput", {{"code", FieldType::text, "Python code"}}};
  EXPECT_EQ(model->with_structured_output(code)->invoke(ask("Save charts in /tmp/run-7"))["code"],
            "plt.savefig('/tmp/run-7/chart.png')");
}

TEST_F(CassetteTest, AMalformedCassetteIsRefusedNamingFileAndLine) {
  const auto path = dir_ / "bad.jsonl";
  {
    std::ofstream out(path);
    out << exchange("text", "q", "a").dump() << "\n\n{not json\n";
  }
  try {
    ReplayChatModel model(path);
    FAIL() << "a malformed cassette was read";
  } catch (const ValueError& e) {
    EXPECT_THAT(e.what(), HasSubstr("bad.jsonl line 3"));
  }
  EXPECT_THROW(ReplayChatModel(dir_ / "missing.jsonl"), ValueError);
  EXPECT_THROW(
      ReplayChatModel(write(
          "role.jsonl", {{{"messages", {{{"role", "tool"}, {"content", ""}}}}, {"answer", "a"}}})),
      ValueError);
}

TEST_F(CassetteTest, ARecordingReplaysTheSameConversationWithoutTheService) {
  const auto cassette = dir_ / "recorded.jsonl";
  {
    FakeChatServer server;
    server.push(FakeChatServer::tool_call("SQLQueryInput", {{"sql_query", "SELECT * FROM Album"}},
                                          {40, 9}));
    server.push(FakeChatServer::text("Charts go to /media/run-1/chart.png", {5, 3}));
    server.push(FakeChatServer::error(500, "down"));
    auto settings = azure_settings(server);
    settings.record_to = cassette.string();
    settings.options.max_retries = 0;
    const auto model = make_chat_model(settings, 100, 0.0, kTopP);
    ASSERT_NE(dynamic_cast<RecordingChatModel*>(model.get()), nullptr);
    model->set_save_path("/media/run-1");

    UsageScope usage;
    EXPECT_EQ(model->with_structured_output(sql_query_input())->invoke(ask("q1"))["sql_query"],
              "SELECT * FROM Album");
    EXPECT_EQ(model->invoke(ask("Where do charts go in /media/run-1?")).content,
              "Charts go to /media/run-1/chart.png");
    EXPECT_THROW(model->invoke(ask("fails")), ChatServiceError);
    EXPECT_EQ(usage.totals().prompt_tokens, 45);  // the recorder passes usage on
  }
  const std::string text = read(cassette);
  EXPECT_THAT(text, Not(HasSubstr(kTestKey)));
  EXPECT_THAT(text, Not(HasSubstr("fails")));  // failed calls are not recorded
  EXPECT_THAT(text, HasSubstr(R"("answer":"Charts go to {save_path}/chart.png")"));
  EXPECT_THAT(text, HasSubstr(R"("usage":{"prompt_tokens":40,"completion_tokens":9})"));

  ModelSettings replay;
  replay.provider = Provider::replay;
  replay.cassette = cassette.string();
  const auto model = make_chat_model(replay, 100, 0.0, kTopP);
  model->set_save_path("/media/run-2");
  UsageScope usage;
  EXPECT_EQ(model->with_structured_output(sql_query_input())->invoke(ask("q1"))["sql_query"],
            "SELECT * FROM Album");
  EXPECT_EQ(model->invoke(ask("Where do charts go in /media/run-2?")).content,
            "Charts go to /media/run-2/chart.png");
  EXPECT_EQ(usage.totals().calls, 2);
  EXPECT_EQ(usage.totals().completion_tokens, 12);
}

TEST_F(CassetteTest, ConcurrentRecordingWritesWholeLines) {
  FakeChatServer server;
  server.on_request([](const test::RecordedRequest& request) {
    return FakeChatServer::text(std::string(5000, 'a') + request.last_message());
  });
  const auto cassette = dir_ / "parallel.jsonl";
  auto inner = std::make_shared<AzureChatOpenAI>(azure_settings(server), 10, 0.0, kTopP);
  auto model = std::make_shared<RecordingChatModel>(inner, cassette);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) model->invoke(std::to_string(t * 10 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  ReplayChatModel replay(cassette, /*match_messages=*/false);
  EXPECT_EQ(replay.remaining(), 20u);
}

}  // namespace
}  // namespace norvex::llm
