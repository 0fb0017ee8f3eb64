// The model configuration file: records, chat-model data, ${NAME} values and the errors of
// a malformed file.
#include "norvex/agent/model_config.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "norvex/error.hpp"
#include "support/python_scratch.hpp"

namespace norvex::agent {
namespace {

constexpr const char* kSecret = "sk-very-secret-4711";

class ModelConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("NORVEX_T_KEY", kSecret, 1);
    ::unsetenv("NORVEX_T_UNSET");
  }
  void TearDown() override {
    ::unsetenv("NORVEX_T_KEY");
    ::unsetenv(std::string(kModelConfigVariable).c_str());
  }

  // The message of the ValueError that parsing `text` throws; fails the test when none.
  static std::string error_of(const std::string& text) {
    try {
      (void)parse_model_config(text, "models.json");
    } catch (const ValueError& error) {
      return error.what();
    }
    ADD_FAILURE() << "no error for: " << text;
    return {};
  }

  test::ScratchDir dir_{"norvex-agent"};
};

TEST_F(ModelConfigTest, ReadsRecordsInOrderWithValuesFromTheEnvironment) {
  const auto config = parse_model_config(R"({"models": [
      {"model": "GPT-3.5", "deployment_name": "gpt-35", "azure_endpoint": "https://x.example",
       "api_key": "${NORVEX_T_KEY}", "api_version": "2024-06-01"},
      {"model": "GPT-4o", "provider": "openai", "deployment_name": "qwen2.5-coder:7b",
       "azure_endpoint": "http://127.0.0.1:11434/v1", "api_key": "none", "max_retries": 0}],
    "chat_model": {"model_name": "gpt-4o-mini", "temperature": 0, "api_key": "k-${NORVEX_T_KEY}"}})",
                                         "models.json");
  ASSERT_EQ(config.models.size(), 2u);
  const auto& small = config.models[0];
  EXPECT_EQ(small.model, "GPT-3.5");
  EXPECT_EQ(small.azure_deployment, "gpt-35");
  EXPECT_EQ(small.azure_endpoint, "https://x.example");
  EXPECT_EQ(small.api_key, kSecret);
  EXPECT_EQ(small.api_version, "2024-06-01");
  EXPECT_EQ(small.provider, llm::Provider::azure);
  const auto& large = config.models[1];
  EXPECT_EQ(large.model, "GPT-4o");
  EXPECT_EQ(large.provider, llm::Provider::openai);
  EXPECT_EQ(large.azure_deployment, "qwen2.5-coder:7b");
  EXPECT_FALSE(large.api_version.has_value());
  EXPECT_EQ(large.options.max_retries, 0);

  ASSERT_TRUE(config.chat_model.has_value());
  EXPECT_EQ(config.chat_model->model_name, "gpt-4o-mini");
  EXPECT_EQ(config.chat_model->temperature, 0.0);
  EXPECT_EQ(config.chat_model->api_key, std::string("k-") + kSecret);
}

TEST_F(ModelConfigTest, AbsentAndNullValuesStayAbsent) {
  const auto config = parse_model_config(
      R"({"models": [{"model": "GPT-4", "api_key": null}], "chat_model": {"model_name": "m"}})",
      "models.json");
  ASSERT_EQ(config.models.size(), 1u);
  EXPECT_FALSE(config.models[0].azure_endpoint.has_value());
  EXPECT_FALSE(config.models[0].api_key.has_value());
  EXPECT_FALSE(config.chat_model->temperature.has_value());  // the factory's default applies
  EXPECT_FALSE(config.chat_model->api_key.has_value());
  EXPECT_TRUE(parse_model_config("{}", "models.json").models.empty());
  EXPECT_FALSE(parse_model_config("{}", "models.json").chat_model.has_value());
}

TEST_F(ModelConfigTest, ExpandsEveryNameInATextAndKeepsOtherDollars) {
  ::setenv("NORVEX_T_A", "alpha", 1);
  EXPECT_EQ(expand_environment("x-${NORVEX_T_A}-${NORVEX_T_A}$", "f"), "x-alpha-alpha$");
  EXPECT_EQ(expand_environment("$NORVEX_T_A $5 $ {x}", "f"), "$NORVEX_T_A $5 $ {x}");
  ::setenv("NORVEX_T_A", "", 1);
  EXPECT_EQ(expand_environment("[${NORVEX_T_A}]", "f"), "[]");  // set but empty is a value
  ::unsetenv("NORVEX_T_A");
}

TEST_F(ModelConfigTest, AnUnsetNameIsAnErrorNamingTheVariableAndTheFile) {
  const std::string message =
      error_of(R"({"models": [{"model": "GPT-4", "api_key": "${NORVEX_T_UNSET}"}]})");
  EXPECT_NE(message.find("NORVEX_T_UNSET"), std::string::npos) << message;
  EXPECT_NE(message.find("models.json"), std::string::npos) << message;
  for (const char* text : {"${}", "${1X}", "${NAME", "${NA-ME}"}) {
    EXPECT_THROW((void)expand_environment(text, "f"), ValueError) << text;
  }
}

// Each malformed file names the file and its problem; no message shows a key.
TEST_F(ModelConfigTest, MalformedFilesAreErrorsThatNameTheProblem) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"models\": [\n  {\"model\": \"GPT-4\",\n   \"api_key\": \"sk-very-secret-4711",
       "invalid JSON at line 3"},
      {"{\"models\": [}", "invalid JSON at line 1, column 13"},
      {"", "invalid JSON"},
      {"[]", "top level must be a JSON object"},
      {R"({"model": []})", "unknown key \"model\" at the top level"},
      {R"({"models": {}})", "\"models\" must be an array"},
      {R"({"models": ["GPT-4"]})", "models[0] must be an object"},
      {R"({"models": [{"model": "GPT-4"}, {"deployment_name": "d"}]})",
       "models[1] has no \"model\" tag"},
      {R"({"models": [{"model": 4}]})", "\"model\" must be a text"},
      {R"({"models": [{"model": "GPT-4", "api_key": 4711}]})", "api_key"},
      {R"({"models": [{"model": "GPT-4", "temperature": 0}]})", "temperature"},
      {R"({"models": [{"model": "GPT-4", "colour": "red"}]})", "colour"},
      {R"({"models": [{"model": "GPT-4", "provider": "carrier-pigeon"}]})", "models[0]"},
      {R"({"chat_model": []})", "\"chat_model\" must be an object"},
      {R"({"chat_model": {"model": "x"}})", "unknown key \"model\" in \"chat_model\""},
      {R"({"chat_model": {"temperature": "hot"}})", "\"temperature\" must be a number"},
      {R"({"chat_model": {"api_key": ["${NORVEX_T_KEY}"]}})", "\"api_key\" must be a text"},
  };
  for (const auto& [text, expected] : cases) {
    const std::string message = error_of(text);
    EXPECT_NE(message.find("models.json"), std::string::npos) << message;
    EXPECT_NE(message.find(expected), std::string::npos) << "got: " << message;
    EXPECT_EQ(message.find(kSecret), std::string::npos) << message;
  }
}

TEST_F(ModelConfigTest, TheFileIsNamedByTheVariableAndAMissingFileHasNoRecords) {
  ::unsetenv(std::string(kModelConfigVariable).c_str());
  EXPECT_EQ(model_config_path(), std::filesystem::path("norvex_models.json"));

  ::setenv(std::string(kModelConfigVariable).c_str(), (dir_ / "absent.json").c_str(), 1);
  const auto missing = load_model_config();
  EXPECT_TRUE(missing.models.empty());
  EXPECT_FALSE(missing.chat_model.has_value());

  test::write_text(dir_ / "m.json", R"({"models": [{"model": "GPT-3.5"}]})");
  ::setenv(std::string(kModelConfigVariable).c_str(), (dir_ / "m.json").c_str(), 1);
  const auto loaded = load_model_config();
  ASSERT_EQ(loaded.models.size(), 1u);
  EXPECT_EQ(loaded.source, dir_ / "m.json");

  test::write_text(dir_ / "bad.json", "{");
  try {
    (void)load_model_config(dir_ / "bad.json");
    ADD_FAILURE() << "no error";
  } catch (const ValueError& error) {
    EXPECT_NE(std::string(error.what()).find((dir_ / "bad.json").string()), std::string::npos);
  }
  EXPECT_THROW((void)load_model_config(dir_.path()), Error);
}

TEST_F(ModelConfigTest, TheShippedExampleReadsOnceItsKeysAreSet) {
  const std::filesystem::path example =
      std::filesystem::path(NORVEX_EXAMPLES_DIR) / "norvex_models.example.json";
  ::unsetenv("AZURE_OPENAI_API_KEY");
  EXPECT_THROW((void)load_model_config(example), ValueError);
  ::setenv("AZURE_OPENAI_API_KEY", "a", 1);
  ::setenv("OPENAI_API_KEY", "o", 1);
  const auto config = load_model_config(example);
  ::unsetenv("AZURE_OPENAI_API_KEY");
  ::unsetenv("OPENAI_API_KEY");
  ASSERT_EQ(config.models.size(), 2u);
  EXPECT_EQ(config.models[0].model, "GPT-3.5");
  EXPECT_TRUE(config.models[1].configured());
  EXPECT_EQ(config.chat_model->api_key, "o");
}

}  // namespace
}  // namespace norvex::agent
