#pragma once
/// Clients of the OpenAI chat-completion protocol: Azure OpenAI deployments and any
/// OpenAI-compatible server (the hosted API, Ollama, vLLM, llama.cpp's server).

#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/llm/chat_model.hpp"
#include "norvex/llm/settings.hpp"

namespace norvex::llm {

/// Where and how requests go: everything that differs between the two protocol variants.
/// Thread rule: a plain value.
struct NORVEX_API Endpoint {
  std::string url;                     ///< the full chat-completions address
  std::string auth_header;             ///< "api-key" or "Authorization"; empty: none
  std::string auth_value;              ///< the header's value (holds the key)
  std::string secret;                  ///< the key itself, scrubbed from every message
  std::optional<std::string> model;    ///< sent as "model" when set
  std::optional<int> max_tokens;       ///< sent when set
  std::optional<double> temperature;   ///< sent when set
  Json model_kwargs = Json::object();  ///< further request fields, e.g. {"top_p": 0.95}
};

/// A chat client speaking the OpenAI chat-completion protocol over HTTP, with time-outs,
/// retries with back-off and usage accounting.
/// Thread rule: safe for concurrent calls (each request uses its thread's own connection).
class NORVEX_API OpenAICompatibleChat : public ChatModel {
 public:
  /// Throws ArgumentError when model_kwargs is not an object or sets a field the client
  /// owns (model, messages, max_tokens, temperature, tools, tool_choice, response_format,
  /// stream), or when the key holds a control character.
  OpenAICompatibleChat(Endpoint endpoint, ClientOptions options);

  using ChatModel::invoke;
  /// Throws ChatServiceError (status and the service's message; the key never appears).
  prompts::AIMessage invoke(const std::vector<prompts::Message>& messages) override;
  /// Asks with a forced tool call or a JSON-schema response format (ClientOptions), and
  /// accepts a JSON object in the text from servers that ignore both.
  /// Throws ChatServiceError, OutputParseError.
  Json invoke_record(const RecordSchema& schema,
                     const std::vector<prompts::Message>& messages) override;

  [[nodiscard]] const ClientOptions& options() const noexcept { return options_; }
  /// The request address (holds no key: keys travel in headers).
  [[nodiscard]] const std::string& url() const noexcept { return endpoint_.url; }
  [[nodiscard]] const std::optional<double>& temperature() const noexcept {
    return endpoint_.temperature;
  }
  [[nodiscard]] const std::optional<std::string>& model_name() const noexcept {
    return endpoint_.model;
  }

 private:
  Json request_body(const std::vector<prompts::Message>& messages) const;
  Json post(const Json& body);

  Endpoint endpoint_;
  ClientOptions options_;
};

/// A client of one Azure OpenAI deployment:
/// POST {azure_endpoint}/openai/deployments/{azure_deployment}/chat/completions?api-version=…
/// with the key in an "api-key" header. A key or API version the settings lack is read from
/// AZURE_OPENAI_API_KEY or OPENAI_API_VERSION. Thread rule: as OpenAICompatibleChat.
class NORVEX_API AzureChatOpenAI : public OpenAICompatibleChat {
 public:
  /// Throws ArgumentError when the endpoint, deployment or API version is missing, or the
  /// settings carry a field that is not a client argument (max_tokens, temperature, …).
  AzureChatOpenAI(const ModelSettings& settings, int max_tokens, double temperature,
                  Json model_kwargs);
};

/// A client of a plain OpenAI-protocol server addressed by model name:
/// POST {base}/chat/completions with "Authorization: Bearer {key}" (no header when the key is
/// empty and OPENAI_API_KEY is unset, as local servers need none).
/// Thread rule: as OpenAICompatibleChat.
class NORVEX_API ChatOpenAI : public OpenAICompatibleChat {
 public:
  /// The base address comes from OPENAI_BASE_URL (default: the hosted OpenAI API).
  /// Throws ArgumentError when `model` is empty.
  ChatOpenAI(std::string openai_api_key, std::string model, double temperature,
             ClientOptions options = {});

  /// A settings value of provider openai: base address in azure_endpoint, model name in
  /// azure_deployment. Throws ArgumentError when either is missing or the settings carry a
  /// field that is not a client argument.
  ChatOpenAI(const ModelSettings& settings, int max_tokens, double temperature, Json model_kwargs);
};

/// THE factory: azure → AzureChatOpenAI; openai → ChatOpenAI at azure_endpoint with model
/// azure_deployment; replay → a ReplayChatModel reading `settings.cassette`. With
/// `settings.record_to` set, the live client is wrapped in a RecordingChatModel.
/// Throws ArgumentError (bad settings), ValueError (unreadable cassette).
NORVEX_API std::shared_ptr<ChatModel> make_chat_model(const ModelSettings& settings, int max_tokens,
                                                      double temperature, const Json& model_kwargs);

}  // namespace norvex::llm
