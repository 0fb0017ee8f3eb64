#pragma once
// Shared pieces of the llm tests: the pipeline's record shapes, settings aimed at the fake
// chat server, quick retry options and an environment variable guard.

#include <cstdlib>
#include <optional>
#include <string>

#include "norvex/llm/llm.hpp"
#include "support/fake_chat_server.hpp"

namespace norvex::llm::testing {

inline RecordSchema sql_query_input() {
  return {"SQLQueryInput", {{"sql_query", FieldType::text, "SQL query string to be executed"}}};
}

inline RecordSchema relevant_tables_output() {
  return {"RelevantTablesOutput",
          {{"relevant_tables", FieldType::text_list, "List of relevant table names"}}};
}

inline RecordSchema generation_output() {
  return {"GenerationOutput",
          {{"image_path", FieldType::text, "image path generated if exists in context"},
           {"final_response", FieldType::text, "final response"}}};
}

/// Options that keep retry tests quick: millisecond back-off.
inline ClientOptions quick_options() {
  ClientOptions o;
  o.retry_base_delay = std::chrono::milliseconds(1);
  o.retry_max_delay = std::chrono::milliseconds(2'000);
  o.connect_timeout = std::chrono::milliseconds(2'000);
  o.request_timeout = std::chrono::milliseconds(5'000);
  return o;
}

inline constexpr const char* kTestKey = "test-key-0123456789abcdef";

/// Azure settings for a deployment served by the fake server.
inline AzureOpenAIChat4 azure_settings(const test::FakeChatServer& server) {
  AzureOpenAIChat4 s;
  s.azure_deployment = "gpt-4o";
  s.azure_endpoint = server.base_url();
  s.api_key = kTestKey;
  s.api_version = "2024-06-01";
  s.options = quick_options();
  return s;
}

/// Sets (or unsets) an environment variable for the life of the object.
class EnvGuard {
 public:
  EnvGuard(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace norvex::llm::testing
