#pragma once
/// Model settings: which chat service a client talks to, with which key, and how patiently.

#include <nlohmann/json.hpp>
#include "norvex/base/export.hpp"

#include <chrono>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace norvex::llm {

/// JSON with object keys kept in insertion order (records keep their field order).
using Json = nlohmann::ordered_json;

/// Which kind of server a settings value addresses.
enum class Provider {
  azure,   ///< an Azure OpenAI deployment (the default)
  openai,  ///< any OpenAI-compatible server: Ollama, vLLM, llama.cpp's server, the hosted API
  replay,  ///< answers read from a cassette file; nothing is sent anywhere
};

/// How a structured answer is asked for.
enum class StructuredMode {
  tools,        ///< a forced function call whose parameters are the record (widest support)
  json_schema,  ///< a JSON-schema response format
};

/// "azure", "openai" or "replay".
[[nodiscard]] NORVEX_API std::string_view provider_name(Provider provider) noexcept;
/// Reads a provider name (any case). Throws ArgumentError for an unknown name.
[[nodiscard]] NORVEX_API Provider parse_provider(std::string_view name);
/// "tools" or "json_schema".
[[nodiscard]] NORVEX_API std::string_view structured_mode_name(StructuredMode mode) noexcept;
/// Reads a structured-output mode name. Throws ArgumentError for an unknown name.
[[nodiscard]] NORVEX_API StructuredMode parse_structured_mode(std::string_view name);

/// Transport and retry behaviour of a chat client.
/// Thread rule: a plain value; share read-only, copy to modify.
struct NORVEX_API ClientOptions {
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds request_timeout{120'000};
  /// Further attempts after a rate limit, a server error or a network failure.
  int max_retries = 2;
  /// First back-off delay; each retry doubles it, with jitter, up to retry_max_delay.
  std::chrono::milliseconds retry_base_delay{1'000};
  /// Upper bound of one wait, also for a server's Retry-After.
  std::chrono::milliseconds retry_max_delay{60'000};
  StructuredMode structured_mode = StructuredMode::tools;
};

/// What a chat client is built from: the deployment's four optional text fields, the
/// provider and the client options. Fields a client constructor does not know arrive in
/// `extra`, where they make that constructor fail with an ArgumentError naming them.
/// Thread rule: a plain value; share read-only, copy to modify.
struct NORVEX_API ModelSettings {
  std::optional<std::string> azure_deployment;
  std::optional<std::string> azure_endpoint;
  std::optional<std::string> api_key;
  std::optional<std::string> api_version;
  Provider provider = Provider::azure;
  /// provider replay: the cassette to read.
  std::string cassette;
  /// When set (any provider but replay), every exchange is also appended to this cassette.
  std::string record_to;
  ClientOptions options;
  /// The record's display name ("model" in a configuration record); informative only.
  std::string model;
  std::map<std::string, Json> extra;

  /// True when azure_endpoint holds a non-empty text.
  [[nodiscard]] bool configured() const noexcept;

  /// The value as JSON with the key masked: safe to print, log or store.
  [[nodiscard]] Json to_json_masked() const;

  /// Reads a model configuration record: "model", "deployment_name" (or "azure_deployment"),
  /// "azure_endpoint", "api_key", "api_version", "provider", "cassette", "record_to",
  /// "connect_timeout_s", "request_timeout_s", "max_retries", "structured_output"; any other
  /// key lands in `extra`. Null values count as absent. Throws ArgumentError for a value of
  /// the wrong type or an unknown provider or mode.
  [[nodiscard]] static ModelSettings from_json(const Json& record);
};

/// Settings of the smaller chat model's deployment. Thread rule: as ModelSettings.
struct AzureOpenAIChat35 : ModelSettings {};
/// Settings of the larger chat model's deployment. Thread rule: as ModelSettings.
struct AzureOpenAIChat4 : ModelSettings {};

/// Writes to_json_masked(): the key never reaches a stream.
NORVEX_API std::ostream& operator<<(std::ostream& out, const ModelSettings& settings);

/// Throws ArgumentError when `extra` holds a field: max_tokens, temperature and model_kwargs
/// are given by the constructor call itself, anything else is not a client argument.
NORVEX_API void check_no_extra_fields(const ModelSettings& settings);

}  // namespace norvex::llm
