#include "norvex/agent/entry_points.hpp"
#include "norvex/base/output.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <typeinfo>
#include <utility>

#include "norvex/error.hpp"
#include "norvex/llm/openai_client.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::agent {
namespace {

constexpr std::string_view kUserQuestionKey = "user_question";
constexpr std::string_view kSavePathKey = "save_path";
constexpr double kDefaultChatTemperature = 1.0;

// The five fields of the result, in order; `optional` fields read as null when absent.
struct ResultField {
  std::string_view key;
  std::string_view state_field;
  bool optional;
};
constexpr ResultField kResultFields[] = {
    {"output", "final_response", false},
    {"python_code", "pandas_code", true},
    {"image_path", "image_path", true},
    {"generated_query", "generated_sql_query", false},
    {"sql_execution_result", "sql_execution_result", false},
};

std::string demangled(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = (status == 0 && readable != nullptr) ? readable : name;
  std::free(readable);
  return out;
}

// The error's type and message, and where it happened: C++ has no stack trace to print, so
// the trace names the operations the failure passed through, innermost last.
void write_traceback(const std::vector<std::string>& operations, const std::exception_ptr& error) {
  std::string type = "unknown exception";
  std::string message;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    type = demangled(typeid(e).name());
    message = e.what();
  } catch (...) {
  }
  base::print_line("Traceback (most recent call last):", base::Stream::err);
  for (const auto& operation : operations) base::print_line("  in " + operation, base::Stream::err);
  base::print_line(type + ": " + message, base::Stream::err);
}

std::string message_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// The graph over an open database, or null (and the message) when a tier is missing.
std::unique_ptr<query_flow::QueryFlow> build_agent(std::shared_ptr<sql::CustomSQLDatabase> db,
                                                   const std::vector<llm::ModelSettings>& records);

}  // namespace

std::optional<std::string_view> driver_scheme(std::string_view engine) noexcept {
  if (engine == "MySQL") return "mysql+mysqlconnector";
  if (engine == "PostgreSQL") return "postgresql+psycopg2";
  if (engine == "MsSQL") return "mssql+pyodbc";
  return std::nullopt;
}

std::string compose_uri(std::string_view engine, std::string_view db_name, std::string_view db_user,
                        std::string_view db_password, std::string_view db_host,
                        std::string_view db_port) {
  std::string uri(driver_scheme(engine).value_or(""));
  uri.append("://").append(db_user).append(":").append(db_password);
  uri.append("@").append(db_host).append(":").append(db_port);
  uri.append("/").append(db_name);
  return uri;
}

namespace {

std::unique_ptr<query_flow::QueryFlow> build_agent(std::shared_ptr<sql::CustomSQLDatabase> db,
                                                   const std::vector<llm::ModelSettings>& records) {
  const ModelTiers tiers = select_model_tiers(records);
  if (!tiers.complete()) {
    base::print_line(kInternalServerError);
    return nullptr;
  }
  base::print_line(kAgentReady);
  // The analysis step comes after several model calls: the fork server gets ready meanwhile,
  // instead of in front of that step.
  python::start_analysis_server();
  return std::make_unique<query_flow::QueryFlow>(std::move(db), tiers.config_35, tiers.config_4);
}

}  // namespace

bool ModelTiers::complete() const noexcept {
  return config_35.configured() && config_4.configured();
}

ModelTiers select_model_tiers(const std::vector<llm::ModelSettings>& records) {
  ModelTiers tiers;
  for (const auto& record : records) {
    if (record.model == kSmallModelTag) {
      static_cast<llm::ModelSettings&>(tiers.config_35) = record;
    } else if (record.model.starts_with(kLargeModelTagPrefix)) {
      static_cast<llm::ModelSettings&>(tiers.config_4) = record;
    }
  }
  return tiers;
}

std::unique_ptr<query_flow::QueryFlow> create_agent_from_uri(
    std::string_view uri, const std::vector<llm::ModelSettings>& records) {
  auto db = sql::CustomSQLDatabase::from_uri(uri);
  return build_agent(std::move(db), records);
}

std::unique_ptr<query_flow::QueryFlow> create_agent_from_uri(std::string_view uri) {
  // The database is opened before the configuration is looked at.
  auto db = sql::CustomSQLDatabase::from_uri(uri);
  return build_agent(std::move(db), load_model_config().models);
}

std::unique_ptr<query_flow::QueryFlow> create_agent(
    std::string_view engine, std::string_view db_name, std::string_view db_user,
    std::string_view db_password, std::string_view db_host, std::string_view db_port,
    const std::optional<std::string>&) {
  return create_agent_from_uri(
      compose_uri(engine, db_name, db_user, db_password, db_host, db_port));
}

std::unique_ptr<query_flow::QueryFlow> create_agent(
    std::string_view engine, std::string_view db_name, std::string_view db_user,
    std::string_view db_password, std::string_view db_host, std::int64_t db_port,
    const std::optional<std::string>& instructions) {
  return create_agent(engine, db_name, db_user, db_password, db_host, std::to_string(db_port),
                      instructions);
}

Json run_agent(const query_flow::QueryFlow& agent, std::string_view query,
               const std::filesystem::path& media_path, const graph::Observer& observer) {
  const Json graph_inputs = {{kUserQuestionKey, query}, {kSavePathKey, media_path.string()}};
  std::filesystem::create_directories(media_path);

  // The node that failed, for the traceback.
  std::mutex mutex;
  std::string failed_node;
  const graph::Observer watch = [&](const graph::NodeEvent& event) {
    if (event.kind == graph::NodeEvent::Kind::error) {
      std::lock_guard lock(mutex);
      if (failed_node.empty()) failed_node = std::string(event.node);
    }
    if (observer) observer(event);
  };

  std::vector<std::string> operations = {"run_agent", "QueryFlow::invoke"};
  try {
    const Json state = agent.invoke(graph_inputs, watch);
    operations = {"run_agent", "reading the final state"};
    Json result = Json::object();
    for (const auto& field : kResultFields) {
      const auto it = state.find(field.state_field);
      if (it != state.end()) {
        result[std::string(field.key)] = *it;
      } else if (field.optional) {
        result[std::string(field.key)] = nullptr;
      } else {
        throw MissingFieldError(std::string(field.state_field));
      }
    }
    return result;
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    if (!failed_node.empty()) operations.push_back("node " + failed_node);
    write_traceback(operations, error);
    base::print_line(std::string(kRunErrorPrefix) + message_of(error));
    return Json{{"output", kRunErrorOutput}};
  }
}

std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(const ChatModelData& data) {
  auto client =
      std::make_shared<llm::ChatOpenAI>(data.api_key.value_or(""), data.model_name.value_or(""),
                                        data.temperature.value_or(kDefaultChatTemperature));
  base::print_line(kLlmReady);
  return client;
}

std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance() {
  return create_chat_openai_instance(load_model_config().chat_model.value_or(ChatModelData{}));
}

JsonRunnable::~JsonRunnable() = default;

CustomRunnableAgent::CustomRunnableAgent(std::shared_ptr<JsonRunnable> runnable)
    : runnable_(std::move(runnable)) {
  if (!runnable_) throw ArgumentError("CustomRunnableAgent needs a runnable");
}

Json CustomRunnableAgent::plan(const Json& intermediate_steps, const Json& callbacks,
                               const Json& kwargs) const {
  if (!kwargs.is_null() && !kwargs.is_object()) {
    throw ArgumentError("CustomRunnableAgent::plan: the named inputs must be a record");
  }
  Json inputs = kwargs.is_null() ? Json::object() : kwargs;
  inputs["intermediate_steps"] = intermediate_steps;
  const Json config = {{"callbacks", callbacks}};
  return runnable_->invoke(inputs, config);
}

}  // namespace norvex::agent
