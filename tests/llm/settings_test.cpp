// Settings values: reading configuration records, masking the key, refusing fields that are
// not client arguments, and the factory's choice of client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

const Json kTopP = {{"top_p", 0.95}};

std::string argument_error(const std::function<void()>& build) {
  try {
    build();
  } catch (const ArgumentError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(ModelSettings, ReadsAConfigurationRecord) {
  const auto s = ModelSettings::from_json(Json::parse(R"({
      "model": "GPT-3.5", "deployment_name": "gpt-35", "azure_endpoint": "https://x.example",
      "api_key": "k", "api_version": "2024-06-01", "request_timeout_s": 30.5,
      "connect_timeout_s": 2, "max_retries": 4, "structured_output": "json_schema"})"));
  EXPECT_EQ(s.model, "GPT-3.5");
  EXPECT_EQ(s.azure_deployment, "gpt-35");
  EXPECT_EQ(s.azure_endpoint, "https://x.example");
  EXPECT_EQ(s.api_key, "k");
  EXPECT_EQ(s.api_version, "2024-06-01");
  EXPECT_EQ(s.provider, Provider::azure);
  EXPECT_EQ(s.options.request_timeout, std::chrono::milliseconds(30'500));
  EXPECT_EQ(s.options.connect_timeout, std::chrono::milliseconds(2'000));
  EXPECT_EQ(s.options.max_retries, 4);
  EXPECT_EQ(s.options.structured_mode, StructuredMode::json_schema);
  EXPECT_TRUE(s.extra.empty());
  EXPECT_TRUE(s.configured());

  const auto local = ModelSettings::from_json(
      {{"provider", "OpenAI"}, {"azure_endpoint", ""}, {"api_key", nullptr}});
  EXPECT_EQ(local.provider, Provider::openai);
  EXPECT_FALSE(local.configured());
  EXPECT_FALSE(local.api_key.has_value());
  EXPECT_FALSE(ModelSettings{}.configured());
}

TEST(ModelSettings, RefusesBadValuesInARecord) {
  EXPECT_THROW(ModelSettings::from_json({{"provider", "bedrock"}}), ArgumentError);
  EXPECT_THROW(ModelSettings::from_json({{"api_key", 12}}), ArgumentError);
  EXPECT_THROW(ModelSettings::from_json({{"max_retries", -1}}), ArgumentError);
  EXPECT_THROW(ModelSettings::from_json({{"request_timeout_s", 0}}), ArgumentError);
  EXPECT_THROW(ModelSettings::from_json({{"structured_output", "grammar"}}), ArgumentError);
  EXPECT_THROW(ModelSettings::from_json(Json::array()), ArgumentError);
}

TEST(ModelSettings, PrintsAndSerialisesWithTheKeyMasked) {
  AzureOpenAIChat35 s;
  s.azure_endpoint = "https://x.example";
  s.api_key = kTestKey;
  s.extra["client_secret"] = "hidden-value";
  std::ostringstream printed;
  printed << s;
  const std::string masked = s.to_json_masked().dump();
  for (const std::string& text : {printed.str(), masked}) {
    EXPECT_THAT(text, Not(HasSubstr(kTestKey)));
    EXPECT_THAT(text, Not(HasSubstr("hidden-value")));
    EXPECT_THAT(text, HasSubstr(R"("api_key":"********")"));
    EXPECT_THAT(text, HasSubstr(R"("azure_endpoint":"https://x.example")"));
  }
  EXPECT_EQ(ModelSettings{}.to_json_masked()["api_key"], nullptr);
}

TEST(ModelSettings, FieldsTheConstructorGivesItselfMakeEveryClientFailNamingThem) {
  FakeChatServer server;
  for (const std::string field : {"max_tokens", "temperature", "model_kwargs"}) {
    auto settings = azure_settings(server);
    settings.extra[field] = 1;
    const auto expect_named = [&](const std::function<void()>& build) {
      EXPECT_THAT(argument_error(build), HasSubstr("'" + field + "'"));
    };
    expect_named([&] { AzureChatOpenAI(settings, 10, 0.0, kTopP); });
    expect_named([&] { (void)make_chat_model(settings, 10, 0.0, kTopP); });
    settings.provider = Provider::openai;
    expect_named([&] { ChatOpenAI(settings, 10, 0.0, kTopP); });
    settings.provider = Provider::replay;
    expect_named([&] { (void)make_chat_model(settings, 10, 0.0, kTopP); });
  }
  // The same holds for a record read from a configuration file.
  auto record = ModelSettings::from_json({{"azure_endpoint", server.base_url()},
                                          {"deployment_name", "d"},
                                          {"api_version", "v"},
                                          {"temperature", 0.5}});
  EXPECT_THAT(argument_error([&] { (void)make_chat_model(record, 10, 0.0, kTopP); }),
              HasSubstr("'temperature'"));
  auto typo = ModelSettings::from_json({{"api_verison", "v"}});
  EXPECT_THAT(argument_error([&] { (void)make_chat_model(typo, 10, 0.0, kTopP); }),
              HasSubstr("unexpected model settings field 'api_verison'"));
}

TEST(MakeChatModel, AzureSettingsGiveAnAzureClient) {
  FakeChatServer server;
  server.push(FakeChatServer::text("ok"));
  const auto model = make_chat_model(azure_settings(server), 4000, 0.0, kTopP);
  ASSERT_NE(dynamic_cast<AzureChatOpenAI*>(model.get()), nullptr);
  EXPECT_EQ(model->invoke("hi").content, "ok");
  const auto request = server.last_request();
  EXPECT_EQ(request.path, "/openai/deployments/gpt-4o/chat/completions");
  EXPECT_EQ(request.json["max_tokens"], 4000);
  EXPECT_EQ(request.json["top_p"], 0.95);
}

TEST(MakeChatModel, OpenAISettingsGiveAClientOfThatServerAddressedByModelName) {
  FakeChatServer server;
  server.push(FakeChatServer::text("ok"));
  auto settings = ModelSettings::from_json({{"model", "GPT-4o"},
                                            {"provider", "openai"},
                                            {"deployment_name", "qwen2.5-coder:7b"},
                                            {"azure_endpoint", server.openai_base_url()},
                                            {"api_key", "none"}});
  const auto model = make_chat_model(settings, 4000, 0.0, kTopP);
  ASSERT_NE(dynamic_cast<ChatOpenAI*>(model.get()), nullptr);
  model->invoke("hi");
  EXPECT_EQ(server.last_request().path, "/v1/chat/completions");
  EXPECT_EQ(server.last_request().json["model"], "qwen2.5-coder:7b");
}

TEST(MakeChatModel, ReplayNeedsACassetteAndMissingAzureFieldsAreNamed) {
  ModelSettings replay;
  replay.provider = Provider::replay;
  EXPECT_THAT(argument_error([&] { (void)make_chat_model(replay, 10, 0.0, kTopP); }),
              HasSubstr("'cassette'"));
  ModelSettings azure;
  azure.azure_deployment = "d";
  azure.api_version = "v";
  EXPECT_THAT(argument_error([&] { (void)make_chat_model(azure, 10, 0.0, kTopP); }),
              HasSubstr("'azure_endpoint'"));
}

}  // namespace
}  // namespace norvex::llm
