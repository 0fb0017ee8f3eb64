#pragma once
/// The agent entry points: create_agent turns connection parameters and the model
/// configuration into a question pipeline (the agent), run_agent answers one question with
/// it, create_chat_openai_instance builds a plain chat client, and CustomRunnableAgent plans
/// with a single call of a runnable.
///
/// Thread rule: the functions keep no state; run_agent may run on several threads with one
/// agent (as QueryFlow::invoke may), but analysis runs are served one at a time.

#include <nlohmann/json.hpp>
#include "norvex/base/export.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/agent/model_config.hpp"
#include "norvex/graph/state_graph.hpp"
#include "norvex/llm/settings.hpp"
#include "norvex/query_flow/query_flow.hpp"

namespace norvex::llm {
class ChatOpenAI;
}

namespace norvex::agent {

using Json = nlohmann::ordered_json;

/// Printed by create_agent when both model tiers are configured, before the graph is built.
inline constexpr std::string_view kAgentReady = "Agent is Ready!";
/// Printed by create_agent when a model tier lacks an endpoint.
inline constexpr std::string_view kInternalServerError = "Internal Server Error!";
/// Printed by create_chat_openai_instance after the client is built.
inline constexpr std::string_view kLlmReady = "LLM is Ready!";
/// Begins the line run_agent prints when a run fails.
inline constexpr std::string_view kRunErrorPrefix = "An error occurred when running the agent: ";
/// The "output" of the record run_agent returns when a run fails.
inline constexpr std::string_view kRunErrorOutput = "An error occurred";
/// The tag that configures the smaller model (the whole tag must match).
inline constexpr std::string_view kSmallModelTag = "GPT-3.5";
/// The beginning of the tags that configure the larger model.
inline constexpr std::string_view kLargeModelTagPrefix = "GPT-4";

/// The driver scheme of an engine name ("MySQL", "PostgreSQL", "MsSQL"; exact, case
/// sensitive); nothing for any other name. Never throws.
[[nodiscard]] NORVEX_API std::optional<std::string_view> driver_scheme(
    std::string_view engine) noexcept;

/// scheme "://" user ":" password "@" host ":" port "/" name, with nothing escaped; an
/// unknown engine contributes an empty scheme. Never throws but std::bad_alloc.
[[nodiscard]] NORVEX_API std::string compose_uri(std::string_view engine, std::string_view db_name,
                                                 std::string_view db_user,
                                                 std::string_view db_password,
                                                 std::string_view db_host,
                                                 std::string_view db_port);

/// The two model tiers selected from configuration records.
/// Thread rule: a plain value.
struct NORVEX_API ModelTiers {
  llm::AzureOpenAIChat35 config_35;
  llm::AzureOpenAIChat4 config_4;

  /// True when both tiers have a non-empty endpoint.
  [[nodiscard]] bool complete() const noexcept;
};

/// Walks `records` in order: a tag equal to "GPT-3.5" sets the smaller tier, a tag beginning
/// with "GPT-4" the larger; a later match replaces an earlier one; other records are
/// ignored. Never throws but std::bad_alloc.
[[nodiscard]] NORVEX_API ModelTiers
select_model_tiers(const std::vector<llm::ModelSettings>& records);

/// Opens the database facade at `uri`, then selects the tiers from `records`. Incomplete
/// tiers print "Internal Server Error!" and give null; otherwise prints "Agent is Ready!"
/// and returns the pipeline. Throws what CustomSQLDatabase::from_uri throws (DatabaseError,
/// the password never shown) and what the QueryFlow constructor throws.
[[nodiscard]] NORVEX_API std::unique_ptr<query_flow::QueryFlow> create_agent_from_uri(
    std::string_view uri, const std::vector<llm::ModelSettings>& records);

/// As above, with the records of the model configuration file (load_model_config(), read
/// after the database is open). Throws also what load_model_config() throws.
[[nodiscard]] NORVEX_API std::unique_ptr<query_flow::QueryFlow> create_agent_from_uri(
    std::string_view uri);

/// Composes the URI from the parameters (compose_uri) and calls create_agent_from_uri(uri).
/// `instructions` is accepted for callers and takes no part. Throws as that does; an engine
/// outside the table fails in the facade.
[[nodiscard]] NORVEX_API std::unique_ptr<query_flow::QueryFlow> create_agent(
    std::string_view engine, std::string_view db_name, std::string_view db_user,
    std::string_view db_password, std::string_view db_host, std::string_view db_port,
    const std::optional<std::string>& instructions = std::nullopt);

/// As above with a numeric port, rendered as its decimal digits.
[[nodiscard]] NORVEX_API std::unique_ptr<query_flow::QueryFlow> create_agent(
    std::string_view engine, std::string_view db_name, std::string_view db_user,
    std::string_view db_password, std::string_view db_host, std::int64_t db_port,
    const std::optional<std::string>& instructions = std::nullopt);

/// Answers `query`: creates `media_path` with its parents, runs the graph with the inputs
/// user_question and save_path, and returns {"output", "python_code", "image_path",
/// "generated_query", "sql_execution_result"} in that order from the final state. An absent
/// pandas_code or image_path reads as null (a run whose SQL never succeeded has neither, but
/// its answer still counts); the other three fields must be present. Any failure of the run
/// or of reading its result writes a traceback to standard error, prints
/// "An error occurred when running the agent: <message>" and returns {"output": "An error
/// occurred"}. Throws std::filesystem::filesystem_error only when the directory cannot be
/// created. `observer`, when set, is told about every node (see graph::Observer).
[[nodiscard]] NORVEX_API Json run_agent(const query_flow::QueryFlow& agent, std::string_view query,
                                        const std::filesystem::path& media_path,
                                        const graph::Observer& observer = {});

/// Builds a chat client from `data`: model name, temperature (1 when absent) and key, at
/// OPENAI_BASE_URL (the hosted service when unset), and prints "LLM is Ready!". Throws what
/// the client constructor throws (ArgumentError for a missing model name); nothing is
/// printed then.
[[nodiscard]] NORVEX_API std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(
    const ChatModelData& data);

/// As above with the "chat_model" entry of the model configuration file (an empty record
/// when it has none). Throws also what load_model_config() throws.
[[nodiscard]] NORVEX_API std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance();

/// Something that can be invoked with a JSON record and a run configuration record.
/// Thread rule: as the implementation says.
class NORVEX_API JsonRunnable {
 public:
  virtual ~JsonRunnable();
  /// Returns the runnable's result for `input` under `config`; may throw anything.
  virtual Json invoke(const Json& input, const Json& config) = 0;
};

/// A planning agent whose plan is a single call of its runnable.
/// Thread rule: plan() may run concurrently when the runnable allows it.
class NORVEX_API CustomRunnableAgent {
 public:
  /// Throws ArgumentError when `runnable` is null.
  explicit CustomRunnableAgent(std::shared_ptr<JsonRunnable> runnable);

  /// Invokes the runnable once with every entry of `kwargs` followed by "intermediate_steps"
  /// (replacing an entry of that name), and with the configuration {"callbacks": callbacks};
  /// returns its result unchanged. Throws ArgumentError when `kwargs` is not an object
  /// (or null), and whatever the runnable throws.
  [[nodiscard]] Json plan(const Json& intermediate_steps, const Json& callbacks,
                          const Json& kwargs = Json::object()) const;

  [[nodiscard]] const std::shared_ptr<JsonRunnable>& runnable() const noexcept { return runnable_; }

 private:
  std::shared_ptr<JsonRunnable> runnable_;
};

}  // namespace norvex::agent
