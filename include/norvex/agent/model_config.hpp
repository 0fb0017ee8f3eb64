#pragma once
/// The model configuration file: the deployment's chat-model records (the two tiers of the
/// question pipeline) and the chat-model data of create_chat_openai_instance, as JSON:
///   {"models": [{"model": "GPT-3.5", "deployment_name": ..., "azure_endpoint": ...,
///                "api_key": "${AZURE_OPENAI_API_KEY}", "api_version": ...}, ...],
///    "chat_model": {"model_name": ..., "temperature": 0, "api_key": "${OPENAI_API_KEY}"}}
/// A text value may hold ${NAME}, replaced by the environment variable NAME (read after
/// the dotenv file), so keys stay out of the file.
///
/// Thread rule: plain functions and values; reading the file reads the environment.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/llm/settings.hpp"

namespace norvex::agent {

/// Names the model configuration file.
inline constexpr std::string_view kModelConfigVariable = "NORVEX_MODEL_CONFIG";
/// The file used when NORVEX_MODEL_CONFIG is not set: in the working directory.
inline constexpr std::string_view kDefaultModelConfigFile = "norvex_models.json";

/// The chat-model data record of create_chat_openai_instance; absent keys stay empty
/// (temperature absent and temperature 0 differ).
/// Thread rule: a plain value.
struct NORVEX_API ChatModelData {
  std::optional<std::string> model_name;
  std::optional<double> temperature;
  std::optional<std::string> api_key;
};

/// The contents of one model configuration file.
/// Thread rule: a plain value; share read-only.
struct NORVEX_API ModelConfig {
  /// The file read (empty when built from text).
  std::filesystem::path source;
  /// The "models" records in file order, each with its "model" tag in `model`.
  std::vector<llm::ModelSettings> models;
  /// The "chat_model" entry, when the file has one.
  std::optional<ChatModelData> chat_model;
};

/// $NORVEX_MODEL_CONFIG when set and non-empty, else ./norvex_models.json. Never throws.
[[nodiscard]] NORVEX_API std::filesystem::path model_config_path();

/// Reads model_config_path(). See load_model_config(file).
[[nodiscard]] NORVEX_API ModelConfig load_model_config();

/// Reads `file`; a file that does not exist gives no records and no chat-model data.
/// Throws norvex::Error naming the file when it cannot be read, and ValueError naming the
/// file and the problem when it is malformed: invalid JSON (line and column), a value of
/// the wrong type, a record without "model", an unknown key at the top level or in
/// "chat_model", or a ${NAME} whose variable is not set. Messages never hold values.
[[nodiscard]] NORVEX_API ModelConfig load_model_config(const std::filesystem::path& file);

/// Reads the configuration from `text`; `source` names it in error messages. Throws as
/// load_model_config(file) does for a malformed file.
[[nodiscard]] NORVEX_API ModelConfig parse_model_config(std::string_view text,
                                                        const std::string& source);

/// Replaces every ${NAME} in `text` with the environment variable NAME. Throws
/// ValueError naming NAME (and `source`) when it is not set, or when a "${" is not
/// followed by a name and "}". Other '$' characters are kept.
[[nodiscard]] NORVEX_API std::string expand_environment(std::string_view text,
                                                        const std::string& source);

}  // namespace norvex::agent
