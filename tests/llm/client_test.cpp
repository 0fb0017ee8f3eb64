// The two protocol variants over real HTTP against the fake chat server: addresses, headers,
// bodies, structured answers, usage accounting and concurrent calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "llm_test_support.hpp"
#include "norvex/error.hpp"

namespace norvex::llm {
namespace {

using test::FakeChatServer;
using testing::azure_settings;
using ::testing::ElementsAre;
using testing::EnvGuard;
using testing::generation_output;
using ::testing::HasSubstr;
using testing::kTestKey;
using ::testing::Pair;
using testing::relevant_tables_output;
using testing::sql_query_input;

const Json kTopP = {{"top_p", 0.95}};

std::vector<prompts::Message> conversation() {
  return {prompts::SystemMessage("You write SQL."), prompts::HumanMessage("How many albums?"),
          prompts::AIMessage("SELECT COUNT(*) FROM Album"), prompts::HumanMessage("Thanks")};
}

TEST(AzureChatOpenAI, PostsToTheDeploymentAddressWithTheKeyInAnApiKeyHeader) {
  FakeChatServer server;
  server.push(FakeChatServer::text("There are 347 albums."));
  AzureChatOpenAI model(azure_settings(server), 1000, 0.0, kTopP);

  const prompts::AIMessage reply = model.invoke(conversation());

  EXPECT_EQ(reply.role, prompts::Role::ai);
  EXPECT_EQ(reply.content, "There are 347 albums.");
  const auto request = server.last_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/openai/deployments/gpt-4o/chat/completions");
  EXPECT_THAT(request.params, ElementsAre(Pair("api-version", "2024-06-01")));
  EXPECT_EQ(request.header("api-key"), kTestKey);
  EXPECT_FALSE(request.has_header("Authorization"));
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.json.dump(),
            R"({"messages":[{"role":"system","content":"You write SQL."},)"
            R"({"role":"user","content":"How many albums?"},)"
            R"({"role":"assistant","content":"SELECT COUNT(*) FROM Album"},)"
            R"({"role":"user","content":"Thanks"}],"max_tokens":1000,"temperature":0.0,)"
            R"("top_p":0.95})");
}

TEST(AzureChatOpenAI, EncodesTheDeploymentNameAndToleratesATrailingSlash) {
  FakeChatServer server;
  server.push(FakeChatServer::text("ok"));
  auto settings = azure_settings(server);
  settings.azure_endpoint = server.base_url() + "/";
  settings.azure_deployment = "my model/v2";
  AzureChatOpenAI(settings, 10, 1.0, nullptr).invoke("hi");
  EXPECT_EQ(server.last_request().target,
            "/openai/deployments/my%20model%2Fv2/chat/completions?api-version=2024-06-01");
}

TEST(AzureChatOpenAI, NeedsEndpointDeploymentAndApiVersion) {
  FakeChatServer server;
  EnvGuard version("OPENAI_API_VERSION", std::nullopt);
  for (auto field : {&ModelSettings::azure_endpoint, &ModelSettings::azure_deployment,
                     &ModelSettings::api_version}) {
    auto settings = azure_settings(server);
    settings.*field = std::nullopt;
    EXPECT_THROW(AzureChatOpenAI(settings, 10, 1.0, nullptr), ArgumentError);
  }
}

TEST(AzureChatOpenAI, TakesKeyAndApiVersionFromTheEnvironmentWhenTheSettingsHaveNone) {
  FakeChatServer server;
  server.push(FakeChatServer::text("ok"));
  EnvGuard key("AZURE_OPENAI_API_KEY", "env-key-123456");
  EnvGuard version("OPENAI_API_VERSION", "2024-10-21");
  auto settings = azure_settings(server);
  settings.api_key.reset();
  settings.api_version.reset();
  AzureChatOpenAI(settings, 10, 1.0, nullptr).invoke("hi");
  EXPECT_EQ(server.last_request().header("api-key"), "env-key-123456");
  EXPECT_EQ(server.last_request().params.at("api-version"), "2024-10-21");
}

TEST(AzureChatOpenAI, RefusesModelKwargsThatClashWithItsOwnFieldsAndKeysWithLineBreaks) {
  FakeChatServer server;
  auto injected = azure_settings(server);
  injected.api_key = "key\r\nX-Injected: 1";
  EXPECT_THROW(AzureChatOpenAI(injected, 10, 1.0, nullptr), ArgumentError);
  EXPECT_THROW(AzureChatOpenAI(azure_settings(server), 10, 1.0, Json{{"temperature", 1}}),
               ArgumentError);
  EXPECT_THROW(AzureChatOpenAI(azure_settings(server), 10, 1.0, Json{{"messages", 1}}),
               ArgumentError);
  EXPECT_THROW(AzureChatOpenAI(azure_settings(server), 10, 1.0, Json::array()), ArgumentError);
}

TEST(ChatOpenAI, PostsToTheBaseAddressFromTheEnvironmentWithABearerKeyAndTheModelName) {
  FakeChatServer server;
  server.push(FakeChatServer::text("Hello"));
  EnvGuard base("OPENAI_BASE_URL", server.openai_base_url());
  ChatOpenAI model("sk-test-abcdef", "gpt-4o-mini", 1.0);

  EXPECT_EQ(model.invoke("Say hello").content, "Hello");
  const auto request = server.last_request();
  EXPECT_EQ(request.path, "/v1/chat/completions");
  EXPECT_TRUE(request.params.empty());
  EXPECT_EQ(request.header("Authorization"), "Bearer sk-test-abcdef");
  EXPECT_FALSE(request.has_header("api-key"));
  EXPECT_EQ(request.json.dump(),
            R"({"model":"gpt-4o-mini","messages":[{"role":"user","content":"Say hello"}],)"
            R"("temperature":1.0})");
  EXPECT_EQ(model.temperature(), 1.0);
  EXPECT_EQ(model.model_name(), "gpt-4o-mini");
}

TEST(ChatOpenAI, SendsNoAuthorisationWithoutAKeyAndNeedsAModelName) {
  FakeChatServer server;
  server.push(FakeChatServer::text("Hello"));
  EnvGuard base("OPENAI_BASE_URL", server.openai_base_url() + "/");
  EnvGuard key("OPENAI_API_KEY", std::nullopt);
  ChatOpenAI("", "qwen2.5-coder:7b", 0.0).invoke("hi");
  EXPECT_FALSE(server.last_request().has_header("Authorization"));
  EXPECT_EQ(server.last_request().path, "/v1/chat/completions");
  EXPECT_THROW(ChatOpenAI("key", "", 0.0), ArgumentError);
}

TEST(ChatOpenAI, FromSettingsUsesTheEndpointAsBaseAndTheDeploymentAsModel) {
  FakeChatServer server;
  server.push(FakeChatServer::text("ok"));
  ModelSettings settings;
  settings.provider = Provider::openai;
  settings.azure_endpoint = server.openai_base_url();
  settings.azure_deployment = "llama3.1:8b";
  settings.api_key = "none";
  ChatOpenAI(settings, 512, 0.2, kTopP).invoke("hi");
  const auto request = server.last_request();
  EXPECT_EQ(request.path, "/v1/chat/completions");
  EXPECT_EQ(request.header("Authorization"), "Bearer none");
  EXPECT_EQ(request.json["model"], "llama3.1:8b");
  EXPECT_EQ(request.json["max_tokens"], 512);
  EXPECT_EQ(request.json["top_p"], 0.95);
}

TEST(StructuredOutput, AsksWithAForcedToolCallAndReadsItsArguments) {
  FakeChatServer server;
  server.push(FakeChatServer::tool_call("SQLQueryInput",
                                        {{"sql_query", "<sql_query>SELECT 1</sql_query>"}}));
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);
  const auto structured = model->with_structured_output(sql_query_input());

  EXPECT_EQ(structured->invoke(conversation()), (Json{{"sql_query", "SELECT 1"}}));

  const Json body = server.last_request().json;
  EXPECT_EQ(body["tools"].dump(),
            R"([{"type":"function","function":{"name":"SQLQueryInput",)"
            R"("description":"Answer with a SQLQueryInput record.","parameters":)" +
                record_json_schema(sql_query_input()).dump() + "}}]");
  EXPECT_EQ(body["tool_choice"].dump(),
            R"({"type":"function","function":{"name":"SQLQueryInput"}})");
  EXPECT_FALSE(body.contains("response_format"));
  EXPECT_EQ(body["top_p"], 0.95);
  EXPECT_EQ(body["messages"].size(), 4u);
}

TEST(StructuredOutput, CanAskWithAJsonSchemaResponseFormat) {
  FakeChatServer server;
  server.on_request([](const test::RecordedRequest& request) {
    EXPECT_EQ(request.requested_record(), "RelevantTablesOutput");
    return FakeChatServer::record(request, {{"relevant_tables", {"Album", "Artist"}}});
  });
  auto settings = azure_settings(server);
  settings.options.structured_mode = StructuredMode::json_schema;
  auto model = std::make_shared<AzureChatOpenAI>(settings, 1000, 0.0, kTopP);

  EXPECT_EQ(model->with_structured_output(relevant_tables_output())->invoke("Which tables?"),
            (Json{{"relevant_tables", {"Album", "Artist"}}}));
  const Json body = server.last_request().json;
  EXPECT_FALSE(body.contains("tools"));
  EXPECT_EQ(body["response_format"].dump(),
            R"({"type":"json_schema","json_schema":{"name":"RelevantTablesOutput","strict":true,)"
            R"("schema":)" +
                record_json_schema(relevant_tables_output()).dump() + "}}");
}

TEST(StructuredOutput, AcceptsAServerThatIgnoresToolsAndAnswersWithJsonInText) {
  FakeChatServer server;
  server.push(FakeChatServer::text(
      "```json\n{\"image_path\": \"\", \"final_response\": \"```\\n347 albums\\n```\"}\n```"));
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);
  EXPECT_EQ(model->with_structured_output(generation_output())->invoke("Answer"),
            (Json{{"image_path", ""}, {"final_response", "347 albums"}}));
}

TEST(StructuredOutput, RejectsToolCallsWithWrongArgumentsAndAnswersWithoutARecord) {
  FakeChatServer server;
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);
  const auto structured = model->with_structured_output(sql_query_input());
  const auto error_of = [&](test::ScriptedAnswer answer) {
    server.push(std::move(answer));
    try {
      (void)structured->invoke("q");
    } catch (const OutputParseError& e) {
      return std::string(e.what());
    }
    return std::string("(no error)");
  };
  EXPECT_THAT(error_of(FakeChatServer::tool_call("SQLQueryInput", {{"query", "SELECT 1"}})),
              HasSubstr("'sql_query' is missing"));
  EXPECT_THAT(error_of(FakeChatServer::tool_call("SQLQueryInput", {{"sql_query", {"SELECT 1"}}})),
              HasSubstr("'sql_query' must be a text, got array"));
  EXPECT_THAT(error_of(FakeChatServer::tool_call_raw("SQLQueryInput", "{\"sql_query\": \"SEL")),
              HasSubstr("no valid JSON object"));
  EXPECT_THAT(error_of(FakeChatServer::text("")), HasSubstr("the answer is empty"));
  EXPECT_THAT(error_of(FakeChatServer::text("I don't know")), HasSubstr("I don't know"));

  // An answer cut off by max_tokens says so.
  Json cut = Json::parse(FakeChatServer::tool_call_raw("SQLQueryInput", "{\"sql_").body);
  cut["choices"][0]["finish_reason"] = "length";
  EXPECT_THAT(error_of(FakeChatServer::raw(200, cut.dump())), HasSubstr("max_tokens"));
}

TEST(StructuredOutput, AcceptsArgumentsSentAsAnObjectRatherThanAText) {
  FakeChatServer server;
  Json answer = Json::parse(FakeChatServer::tool_call("SQLQueryInput", Json::object()).body);
  answer["choices"][0]["message"]["tool_calls"][0]["function"]["arguments"] = {
      {"sql_query", "SELECT 2"}};
  server.push(FakeChatServer::raw(200, answer.dump()));
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);
  EXPECT_EQ(model->with_structured_output(sql_query_input())->invoke("q"),
            (Json{{"sql_query", "SELECT 2"}}));
}

TEST(UsageAccounting, NestedScopesReceiveTokensAndTimeOfEachCall) {
  FakeChatServer server;
  server.push(FakeChatServer::text("a", {100, 20}));
  server.push(FakeChatServer::tool_call("SQLQueryInput", {{"sql_query", "SELECT 1"}}, {50, 5}));
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);

  UsageScope run;
  {
    UsageScope node;
    model->invoke("one");
    EXPECT_EQ(node.totals().calls, 1);
    EXPECT_EQ(node.totals().prompt_tokens, 100);
  }
  (void)model->with_structured_output(sql_query_input())->invoke("two");
  const Usage total = run.totals();
  EXPECT_EQ(total.calls, 2);
  EXPECT_EQ(total.prompt_tokens, 150);
  EXPECT_EQ(total.completion_tokens, 25);
  EXPECT_GT(total.time.count(), 0);
}

TEST(UsageAccounting, AScopeChainedToAnotherThreadsScopeSumsTheCallsMadeThere) {
  FakeChatServer server;
  server.on_request([](const test::RecordedRequest&) { return FakeChatServer::text("x", {3, 1}); });
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);
  UsageScope run;
  std::thread worker([&] {
    UsageScope node(&run);
    model->invoke("from a node thread");
    EXPECT_EQ(UsageScope::current(), &node);
  });
  worker.join();
  EXPECT_EQ(UsageScope::current(), &run);
  EXPECT_EQ(run.totals(), (Usage{1, 3, 1, run.totals().time}));
}

TEST(ConcurrentCalls, ManyThreadsShareOneClientAndEachGetsItsOwnAnswer) {
  FakeChatServer server;
  server.on_request([](const test::RecordedRequest& request) {
    EXPECT_EQ(request.requested_record(), "SQLQueryInput");
    return FakeChatServer::record(request,
                                  {{"sql_query", "SELECT '" + request.last_message() + "'"}})
        .after(std::chrono::milliseconds(20));
  });
  auto model = std::make_shared<AzureChatOpenAI>(azure_settings(server), 1000, 0.0, kTopP);
  const auto structured = model->with_structured_output(sql_query_input());

  constexpr int kThreads = 6;
  constexpr int kCallsEach = 5;
  std::vector<std::thread> threads;
  std::atomic<int> correct{0};
  UsageScope all;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      UsageScope mine(&all);
      for (int i = 0; i < kCallsEach; ++i) {
        const std::string q = std::to_string(t) + "-" + std::to_string(i);
        if (structured->invoke(q)["sql_query"] == "SELECT '" + q + "'") ++correct;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(correct.load(), kThreads * kCallsEach);
  EXPECT_EQ(server.request_count(), static_cast<std::size_t>(kThreads * kCallsEach));
  EXPECT_EQ(all.totals().calls, kThreads * kCallsEach);
}

}  // namespace
}  // namespace norvex::llm
