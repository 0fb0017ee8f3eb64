#include "norvex/agent/model_config.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "norvex/error.hpp"

namespace norvex::agent {
namespace {

using llm::Json;

constexpr std::string_view kModelsKey = "models";
constexpr std::string_view kChatModelKey = "chat_model";
constexpr std::string_view kModelKey = "model";
constexpr std::string_view kModelNameKey = "model_name";
constexpr std::string_view kTemperatureKey = "temperature";
constexpr std::string_view kApiKeyKey = "api_key";

bool is_name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool is_name_char(char c) {
  return is_name_start(c) || (c >= '0' && c <= '9');
}

[[noreturn]] void malformed(const std::string& source, const std::string& problem) {
  throw ValueError("model configuration file '" + source + "': " + problem);
}

// The error position as line and column; nlohmann's own message quotes the text it read
// last, which may be part of a key, so only the position is reported.
std::string json_position(std::string_view text, std::size_t byte) {
  std::size_t line = 1;
  std::size_t column = 1;
  const std::size_t end = std::min(byte > 0 ? byte - 1 : 0, text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

void expand_all(Json& value, const std::string& source) {
  if (value.is_string()) {
    value = expand_environment(value.get_ref<const std::string&>(), source);
  } else if (value.is_structured()) {
    for (auto& child : value) expand_all(child, source);
  }
}

llm::ModelSettings read_record(Json record, std::size_t index, const std::string& source) {
  const std::string where = std::string(kModelsKey) + "[" + std::to_string(index) + "]";
  if (!record.is_object()) malformed(source, where + " must be an object");
  const auto model = record.find(kModelKey);
  if (model == record.end() || model->is_null()) {
    malformed(source, where + " has no \"model\" tag");
  }
  if (!model->is_string()) malformed(source, where + ": \"model\" must be a text");
  expand_all(record, source);
  try {
    llm::ModelSettings settings = llm::ModelSettings::from_json(record);
    llm::check_no_extra_fields(settings);
    return settings;
  } catch (const ArgumentError& error) {
    malformed(source, where + ": " + error.what());
  }
}

std::optional<std::string> optional_text(const Json& entry, std::string_view key,
                                         const std::string& source) {
  const auto it = entry.find(key);
  if (it == entry.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    malformed(source, std::string(kChatModelKey) + ": \"" + std::string(key) + "\" must be a text");
  }
  return it->get<std::string>();
}

ChatModelData read_chat_model(Json entry, const std::string& source) {
  if (!entry.is_object()) malformed(source, "\"chat_model\" must be an object");
  for (const auto& [key, value] : entry.items()) {
    if (key != kModelNameKey && key != kTemperatureKey && key != kApiKeyKey) {
      malformed(source, "unknown key \"" + key + "\" in \"chat_model\" (expected " +
                            "\"model_name\", \"temperature\", \"api_key\")");
    }
  }
  expand_all(entry, source);
  ChatModelData data;
  data.model_name = optional_text(entry, kModelNameKey, source);
  data.api_key = optional_text(entry, kApiKeyKey, source);
  if (const auto it = entry.find(kTemperatureKey); it != entry.end() && !it->is_null()) {
    if (!it->is_number()) malformed(source, "chat_model: \"temperature\" must be a number");
    data.temperature = it->get<double>();
  }
  return data;
}

}  // namespace

std::string expand_environment(std::string_view text, const std::string& source) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '$' || i + 1 >= text.size() || text[i + 1] != '{') {
      out += text[i++];
      continue;
    }
    std::size_t end = i + 2;
    while (end < text.size() && is_name_char(text[end])) ++end;
    if (end == i + 2 || !is_name_start(text[i + 2]) || end >= text.size() || text[end] != '}') {
      malformed(source, "a \"${\" is not followed by a variable name and \"}\"");
    }
    const std::string name(text.substr(i + 2, end - i - 2));
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
      malformed(source,
                "the environment variable " + name + " (written ${" + name + "}) is not set");
    }
    out += value;
    i = end + 1;
  }
  return out;
}

std::filesystem::path model_config_path() {
  const char* named = std::getenv(std::string(kModelConfigVariable).c_str());
  if (named != nullptr && *named != '\0') return named;
  return std::filesystem::path(std::string(kDefaultModelConfigFile));
}

ModelConfig load_model_config() {
  return load_model_config(model_config_path());
}

ModelConfig load_model_config(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return ModelConfig{.source = file};
  std::ifstream in(file, std::ios::binary);
  if (!in || std::filesystem::is_directory(file, ec)) {
    throw Error("cannot read the model configuration file '" + file.string() + "'");
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Error("cannot read the model configuration file '" + file.string() + "'");
  ModelConfig config = parse_model_config(text, file.string());
  config.source = file;
  return config;
}

ModelConfig parse_model_config(std::string_view text, const std::string& source) {
  Json document;
  try {
    document = Json::parse(text.begin(), text.end());
  } catch (const Json::parse_error& error) {
    malformed(source, "invalid JSON at " + json_position(text, error.byte));
  }
  if (!document.is_object()) malformed(source, "the top level must be a JSON object");

  ModelConfig config;
  for (auto& [key, value] : document.items()) {
    if (key == kModelsKey) {
      if (!value.is_array()) malformed(source, "\"models\" must be an array of records");
      for (std::size_t i = 0; i < value.size(); ++i) {
        config.models.push_back(read_record(value[i], i, source));
      }
    } else if (key == kChatModelKey) {
      if (!value.is_null()) config.chat_model = read_chat_model(value, source);
    } else {
      malformed(source, "unknown key \"" + key +
                            "\" at the top level (expected \"models\", \"chat_model\")");
    }
  }
  return config;
}

}  // namespace norvex::agent
