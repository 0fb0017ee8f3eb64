// The OpenAI chat-completion wire format, kept in this one file: request bodies, answers,
// error bodies, retries. Azure OpenAI and OpenAI-compatible servers differ only in the
// address, the key header and whether "model" is sent (see Endpoint).
#include "norvex/llm/openai_client.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>

#include "norvex/error.hpp"
#include "norvex/http/client.hpp"
#include "norvex/llm/usage.hpp"
#include "text.hpp"

namespace norvex::llm {
namespace {

using detail::excerpt;
using detail::scrub;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kDefaultOpenAIBase = "https://api.openai.com/v1";
constexpr const char* kOpenAIBaseEnv = "OPENAI_BASE_URL";
constexpr const char* kOpenAIKeyEnv = "OPENAI_API_KEY";
constexpr const char* kAzureKeyEnv = "AZURE_OPENAI_API_KEY";
constexpr const char* kApiVersionEnv = "OPENAI_API_VERSION";

// Request fields the client writes itself; model_kwargs may not override them.
constexpr std::array<std::string_view, 8> kOwnedFields = {
    "messages", "tools", "tool_choice", "response_format",
    "stream",   "model", "max_tokens",  "temperature"};

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string without_trailing_slash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Percent-encodes everything but RFC 3986's unreserved characters.
std::string percent_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string_view wire_role(prompts::Role role) {
  switch (role) {
    case prompts::Role::system:
      return "system";
    case prompts::Role::ai:
      return "assistant";
    case prompts::Role::human:
      break;
  }
  return "user";
}

Json wire_messages(const std::vector<prompts::Message>& messages) {
  Json out = Json::array();
  for (const auto& m : messages)
    out.push_back({{"role", wire_role(m.role)}, {"content", m.content}});
  return out;
}

Json checked_kwargs(Json kwargs) {
  if (kwargs.is_null()) return Json::object();
  if (!kwargs.is_object()) {
    throw ArgumentError("model_kwargs must be a JSON object of request fields, not " +
                        std::string(kwargs.type_name()));
  }
  for (std::string_view field : kOwnedFields) {
    if (kwargs.contains(field)) {
      throw ArgumentError("model_kwargs must not set '" + std::string(field) +
                          "': the client sets it itself");
    }
  }
  return kwargs;
}

std::string required(const std::optional<std::string>& value, std::string_view field,
                     std::string_view client) {
  if (!value || value->empty()) {
    throw ArgumentError(std::string(client) + " needs the model settings field '" +
                        std::string(field) + "'");
  }
  return *value;
}

bool retryable_status(long status) {
  return status == 408 || status == 429 || status >= 500;
}

// The service's own explanation: OpenAI, Azure and most compatible servers answer
// {"error": {"message": …}}; some send {"error": "…"} or {"message": "…"}.
std::string service_message(const std::string& body) {
  const Json parsed = Json::parse(body, nullptr, false);
  if (parsed.is_object()) {
    const auto error = parsed.find("error");
    if (error != parsed.end()) {
      if (error->is_string()) return error->get<std::string>();
      if (error->is_object()) {
        const auto message = error->find("message");
        if (message != error->end() && message->is_string()) return message->get<std::string>();
      }
    }
    const auto message = parsed.find("message");
    if (message != parsed.end() && message->is_string()) return message->get<std::string>();
  }
  const std::string_view trimmed = detail::trim(body);
  return trimmed.empty() ? std::string("(no message)") : excerpt(trimmed);
}

// Retry-After in seconds (Azure also sends retry-after-ms); the HTTP-date form is ignored and
// ordinary back-off applies.
std::optional<std::chrono::milliseconds> retry_after(const http::Response& response) {
  const auto parse = [](const std::optional<std::string>& text) -> std::optional<double> {
    if (!text) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text->c_str(), &end);
    if (end == text->c_str() || !std::isfinite(value) || value < 0) return std::nullopt;
    return value;
  };
  if (auto ms = parse(response.header("retry-after-ms"))) {
    return std::chrono::milliseconds(std::llround(*ms));
  }
  if (auto s = parse(response.header("retry-after"))) {
    return std::chrono::milliseconds(std::llround(*s * 1000.0));
  }
  return std::nullopt;
}

std::chrono::milliseconds backoff(const ClientOptions& options, int attempt,
                                  std::optional<std::chrono::milliseconds> asked) {
  if (asked) return std::min(*asked, options.retry_max_delay);
  const double base = static_cast<double>(options.retry_base_delay.count());
  const double cap = static_cast<double>(options.retry_max_delay.count());
  const double full = std::min(cap, base * std::pow(2.0, attempt));
  // Jitter keeps clients that failed together from retrying together.
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> share(0.5, 1.0);
  return std::chrono::milliseconds(std::llround(full * share(random)));
}

struct Choice {
  Json message;
  std::string finish_reason;
};

Choice first_choice(const Json& answer, const std::string& origin) {
  const auto choices = answer.find("choices");
  if (choices == answer.end() || !choices->is_array() || choices->empty() ||
      !(*choices)[0].is_object() || !(*choices)[0].contains("message") ||
      !(*choices)[0]["message"].is_object()) {
    throw ChatServiceError(
        "chat service " + origin + " sent an answer without a message: " + excerpt(answer.dump()),
        200);
  }
  Choice choice{(*choices)[0]["message"], {}};
  const auto reason = (*choices)[0].find("finish_reason");
  if (reason != (*choices)[0].end() && reason->is_string()) choice.finish_reason = *reason;
  return choice;
}

std::string content_of(const Json& message) {
  const auto content = message.find("content");
  if (content == message.end() || !content->is_string()) return {};
  return content->get<std::string>();
}

std::int64_t token_count(const Json& usage, const char* key) {
  const auto it = usage.find(key);
  return it != usage.end() && it->is_number_integer() ? it->get<std::int64_t>() : 0;
}

}  // namespace

OpenAICompatibleChat::OpenAICompatibleChat(Endpoint endpoint, ClientOptions options)
    : endpoint_(std::move(endpoint)), options_(options) {
  endpoint_.model_kwargs = checked_kwargs(std::move(endpoint_.model_kwargs));
  if (options_.max_retries < 0) throw ArgumentError("max_retries must not be negative");
  // A line break in a key would smuggle further header lines into every request.
  for (char c : endpoint_.auth_value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      throw ArgumentError("the API key holds a control character");
    }
  }
}

Json OpenAICompatibleChat::post(const Json& body) {
  http::Request request;
  request.method = "POST";
  request.url = endpoint_.url;
  request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  if (!endpoint_.auth_header.empty()) {
    request.headers.emplace_back(endpoint_.auth_header, endpoint_.auth_value);
  }
  request.body = body.dump();
  request.connect_timeout = options_.connect_timeout;
  request.timeout = options_.request_timeout;
  const std::string origin = http::origin_of(endpoint_.url);

  const auto started = Clock::now();
  for (int attempt = 0;; ++attempt) {
    std::optional<std::chrono::milliseconds> asked_delay;
    const bool last = attempt >= options_.max_retries;
    const std::string attempts =
        attempt == 0 ? std::string() : " (after " + std::to_string(attempt + 1) + " attempts)";
    try {
      const http::Response response = http::perform(request);
      if (response.status >= 200 && response.status < 300) {
        Json answer = Json::parse(response.body, nullptr, false);
        if (answer.is_discarded() || !answer.is_object()) {
          throw ChatServiceError(
              scrub("chat service " + origin +
                        " sent an answer that is not JSON: " + excerpt(response.body),
                    endpoint_.secret),
              static_cast<int>(response.status));
        }
        Usage usage;
        usage.calls = 1;
        if (const auto it = answer.find("usage"); it != answer.end() && it->is_object()) {
          usage.prompt_tokens = token_count(*it, "prompt_tokens");
          usage.completion_tokens = token_count(*it, "completion_tokens");
        }
        usage.time = Clock::now() - started;
        UsageScope::record(usage);
        return answer;
      }
      const bool retry = retryable_status(response.status);
      if (!retry || last) {
        throw ChatServiceError(
            scrub("chat service " + origin + " answered HTTP " + std::to_string(response.status) +
                      ": " + service_message(response.body) + attempts,
                  endpoint_.secret),
            static_cast<int>(response.status), retry);
      }
      asked_delay = retry_after(response);
    } catch (const http::RequestError& error) {
      if (!error.retryable() || last) {
        throw ChatServiceError(
            scrub("chat request to " + origin + " failed: " + error.what() + attempts,
                  endpoint_.secret),
            0, error.retryable());
      }
    }
    std::this_thread::sleep_for(backoff(options_, attempt, asked_delay));
  }
}

Json OpenAICompatibleChat::request_body(const std::vector<prompts::Message>& messages) const {
  Json body = Json::object();
  if (endpoint_.model) body["model"] = *endpoint_.model;
  body["messages"] = wire_messages(messages);
  if (endpoint_.max_tokens) body["max_tokens"] = *endpoint_.max_tokens;
  if (endpoint_.temperature) body["temperature"] = *endpoint_.temperature;
  for (const auto& [key, value] : endpoint_.model_kwargs.items()) body[key] = value;
  return body;
}

prompts::AIMessage OpenAICompatibleChat::invoke(const std::vector<prompts::Message>& messages) {
  const Json answer = post(request_body(messages));
  return prompts::AIMessage(
      content_of(first_choice(answer, http::origin_of(endpoint_.url)).message));
}

Json OpenAICompatibleChat::invoke_record(const RecordSchema& schema,
                                         const std::vector<prompts::Message>& messages) {
  Json body = request_body(messages);
  if (options_.structured_mode == StructuredMode::tools) {
    body["tools"] = Json::array({{{"type", "function"},
                                  {"function",
                                   {{"name", schema.name},
                                    {"description", "Answer with a " + schema.name + " record."},
                                    {"parameters", record_json_schema(schema)}}}}});
    body["tool_choice"] = {{"type", "function"}, {"function", {{"name", schema.name}}}};
  } else {
    body["response_format"] = {
        {"type", "json_schema"},
        {"json_schema",
         {{"name", schema.name}, {"strict", true}, {"schema", record_json_schema(schema)}}}};
  }
  const Json answer = post(body);
  const Choice choice = first_choice(answer, http::origin_of(endpoint_.url));
  try {
    const auto calls = choice.message.find("tool_calls");
    if (calls != choice.message.end() && calls->is_array() && !calls->empty()) {
      const Json& call = (*calls)[0];
      const Json function =
          call.is_object() ? call.value("function", Json::object()) : Json::object();
      const auto arguments = function.find("arguments");
      if (arguments != function.end() && arguments->is_object()) {
        return validate_record(schema, *arguments);
      }
      if (arguments != function.end() && arguments->is_string()) {
        return parse_record(schema, arguments->get<std::string>());
      }
      throw OutputParseError(schema.name + ": the tool call has no arguments; answer: " +
                             excerpt(choice.message.dump()));
    }
    // Servers that ignore tools and response formats answer with the record as text.
    return parse_record(schema, content_of(choice.message));
  } catch (const OutputParseError& error) {
    if (choice.finish_reason == "length") {
      throw OutputParseError(std::string(error.what()) +
                             " (the answer was cut off at the max_tokens limit)");
    }
    throw;
  }
}

AzureChatOpenAI::AzureChatOpenAI(const ModelSettings& settings, int max_tokens, double temperature,
                                 Json model_kwargs)
    : OpenAICompatibleChat(
          [&] {
            check_no_extra_fields(settings);
            constexpr std::string_view kName = "AzureChatOpenAI";
            Endpoint e;
            e.url =
                without_trailing_slash(required(settings.azure_endpoint, "azure_endpoint", kName)) +
                "/openai/deployments/" +
                percent_encode(required(settings.azure_deployment, "azure_deployment", kName)) +
                "/chat/completions?api-version=" +
                percent_encode(required(settings.api_version
                                            ? settings.api_version
                                            : std::optional(env_or_empty(kApiVersionEnv)),
                                        "api_version", kName));
            const std::string key =
                settings.api_key ? *settings.api_key : env_or_empty(kAzureKeyEnv);
            if (!key.empty()) {
              e.auth_header = "api-key";
              e.auth_value = key;
              e.secret = key;
            }
            e.max_tokens = max_tokens;
            e.temperature = temperature;
            e.model_kwargs = std::move(model_kwargs);
            return e;
          }(),
          settings.options) {}

namespace {

Endpoint openai_endpoint(std::string base, std::string key, std::string model) {
  Endpoint e;
  e.url = without_trailing_slash(std::move(base)) + "/chat/completions";
  if (!key.empty()) {
    e.auth_header = "Authorization";
    e.auth_value = "Bearer " + key;
    e.secret = key;
  }
  e.model = std::move(model);
  return e;
}

}  // namespace

ChatOpenAI::ChatOpenAI(std::string openai_api_key, std::string model, double temperature,
                       ClientOptions options)
    : OpenAICompatibleChat(
          [&] {
            if (model.empty()) throw ArgumentError("ChatOpenAI needs a model name");
            std::string base = env_or_empty(kOpenAIBaseEnv);
            if (base.empty()) base = kDefaultOpenAIBase;
            if (openai_api_key.empty()) openai_api_key = env_or_empty(kOpenAIKeyEnv);
            Endpoint e =
                openai_endpoint(std::move(base), std::move(openai_api_key), std::move(model));
            e.temperature = temperature;
            return e;
          }(),
          options) {}

ChatOpenAI::ChatOpenAI(const ModelSettings& settings, int max_tokens, double temperature,
                       Json model_kwargs)
    : OpenAICompatibleChat(
          [&] {
            check_no_extra_fields(settings);
            constexpr std::string_view kName = "an OpenAI-compatible client";
            Endpoint e =
                openai_endpoint(required(settings.azure_endpoint, "azure_endpoint", kName),
                                settings.api_key.value_or(""),
                                required(settings.azure_deployment, "azure_deployment", kName));
            e.max_tokens = max_tokens;
            e.temperature = temperature;
            e.model_kwargs = std::move(model_kwargs);
            return e;
          }(),
          settings.options) {}

}  // namespace norvex::llm
