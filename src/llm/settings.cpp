#include "norvex/llm/settings.hpp"
#include "norvex/base/text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <ostream>
#include <utility>

#include "norvex/error.hpp"

namespace norvex::llm {
namespace {

using base::lower;

constexpr std::string_view kMask = "********";

// Fields the constructor call gives itself; a settings value that also holds one is a
// duplicate argument, as the pipeline's client construction would see it.
constexpr std::array<std::string_view, 3> kConstructorFields = {"max_tokens", "temperature",
                                                                "model_kwargs"};

bool looks_secret(std::string_view name) {
  const std::string l = lower(name);
  for (std::string_view word : {"key", "secret", "token", "password"}) {
    if (l.find(word) != std::string::npos) return true;
  }
  return false;
}

std::optional<std::string> optional_text(const Json& record, const std::string& key) {
  const auto it = record.find(key);
  if (it == record.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    throw ArgumentError("model settings field '" + key + "' must be a text, not " +
                        std::string(it->type_name()));
  }
  return it->get<std::string>();
}

std::chrono::milliseconds seconds_field(const Json& value, const std::string& key) {
  if (!value.is_number() || value.get<double>() <= 0) {
    throw ArgumentError("model settings field '" + key + "' must be a positive number of seconds");
  }
  return std::chrono::milliseconds(std::llround(value.get<double>() * 1000.0));
}

Json optional_json(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

std::string_view provider_name(Provider provider) noexcept {
  switch (provider) {
    case Provider::openai:
      return "openai";
    case Provider::replay:
      return "replay";
    case Provider::azure:
      break;
  }
  return "azure";
}

Provider parse_provider(std::string_view name) {
  const std::string l = lower(name);
  if (l == "azure") return Provider::azure;
  if (l == "openai") return Provider::openai;
  if (l == "replay") return Provider::replay;
  throw ArgumentError("unknown model provider '" + std::string(name) +
                      "' (expected azure, openai or replay)");
}

std::string_view structured_mode_name(StructuredMode mode) noexcept {
  return mode == StructuredMode::json_schema ? "json_schema" : "tools";
}

StructuredMode parse_structured_mode(std::string_view name) {
  const std::string l = lower(name);
  if (l == "tools") return StructuredMode::tools;
  if (l == "json_schema") return StructuredMode::json_schema;
  throw ArgumentError("unknown structured output mode '" + std::string(name) +
                      "' (expected tools or json_schema)");
}

bool ModelSettings::configured() const noexcept {
  return azure_endpoint.has_value() && !azure_endpoint->empty();
}

Json ModelSettings::to_json_masked() const {
  Json out = Json::object();
  if (!model.empty()) out["model"] = model;
  out["provider"] = provider_name(provider);
  out["azure_deployment"] = optional_json(azure_deployment);
  out["azure_endpoint"] = optional_json(azure_endpoint);
  out["api_key"] = api_key ? Json(kMask) : Json(nullptr);
  out["api_version"] = optional_json(api_version);
  if (!cassette.empty()) out["cassette"] = cassette;
  if (!record_to.empty()) out["record_to"] = record_to;
  out["connect_timeout_s"] = static_cast<double>(options.connect_timeout.count()) / 1000.0;
  out["request_timeout_s"] = static_cast<double>(options.request_timeout.count()) / 1000.0;
  out["max_retries"] = options.max_retries;
  out["structured_output"] = structured_mode_name(options.structured_mode);
  for (const auto& [name, value] : extra) {
    out[name] = looks_secret(name) ? Json(kMask) : value;
  }
  return out;
}

ModelSettings ModelSettings::from_json(const Json& record) {
  if (!record.is_object()) {
    throw ArgumentError("a model settings record must be a JSON object, not " +
                        std::string(record.type_name()));
  }
  ModelSettings s;
  for (const auto& [key, value] : record.items()) {
    if (key == "model") {
      if (!value.is_null()) s.model = optional_text(record, key).value_or("");
    } else if (key == "deployment_name" || key == "azure_deployment") {
      if (auto v = optional_text(record, key)) s.azure_deployment = std::move(v);
    } else if (key == "azure_endpoint") {
      s.azure_endpoint = optional_text(record, key);
    } else if (key == "api_key") {
      s.api_key = optional_text(record, key);
    } else if (key == "api_version") {
      s.api_version = optional_text(record, key);
    } else if (key == "provider") {
      if (auto v = optional_text(record, key)) s.provider = parse_provider(*v);
    } else if (key == "cassette") {
      s.cassette = optional_text(record, key).value_or("");
    } else if (key == "record_to") {
      s.record_to = optional_text(record, key).value_or("");
    } else if (key == "connect_timeout_s") {
      s.options.connect_timeout = seconds_field(value, key);
    } else if (key == "request_timeout_s") {
      s.options.request_timeout = seconds_field(value, key);
    } else if (key == "max_retries") {
      if (!value.is_number_integer() || value.get<int>() < 0) {
        throw ArgumentError("model settings field 'max_retries' must be a whole number >= 0");
      }
      s.options.max_retries = value.get<int>();
    } else if (key == "structured_output") {
      if (auto v = optional_text(record, key))
        s.options.structured_mode = parse_structured_mode(*v);
    } else {
      s.extra[key] = value;
    }
  }
  return s;
}

std::ostream& operator<<(std::ostream& out, const ModelSettings& settings) {
  return out << settings.to_json_masked().dump();
}

void check_no_extra_fields(const ModelSettings& settings) {
  for (std::string_view field : kConstructorFields) {
    if (settings.extra.count(std::string(field)) != 0) {
      throw ArgumentError("got multiple values for argument '" + std::string(field) +
                          "': the model settings must not set it");
    }
  }
  if (!settings.extra.empty()) {
    throw ArgumentError("unexpected model settings field '" + settings.extra.begin()->first + "'");
  }
}

}  // namespace norvex::llm
