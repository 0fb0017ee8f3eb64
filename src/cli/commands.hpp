#pragma once
// The subcommands of `norvex`. Each add_* function registers its commands on `app`; a
// command's callback stores the work to run in `action`, which main runs after parsing
// so that errors are reported in one place.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "norvex/llm/settings.hpp"

namespace CLI {
class App;
}

namespace norvex::cli {

/// The work a parsed command line asks for; returns the exit status.
using Action = std::function<int()>;

/// `norvex db check|config|schema|query`.
void add_db_commands(CLI::App& app, Action& action);
/// `norvex ask QUESTION` and `norvex graph`.
void add_ask_commands(CLI::App& app, Action& action);
/// `norvex eval QUESTIONS --db URI`.
void add_eval_commands(CLI::App& app, Action& action);
/// `norvex serve --db URI ...`.
void add_serve_commands(CLI::App& app, Action& action);
/// `norvex env init|install`.
void add_env_commands(CLI::App& app, Action& action);

/// Said when no model tiers are configured.
inline constexpr const char* kNoModelsMessage =
    "no chat models are configured: write norvex_models.json (or name a file with "
    "NORVEX_MODEL_CONFIG) with a \"GPT-3.5\" record and a \"GPT-4...\" record, or answer from "
    "a cassette with --replay";

/// The model records to use: both tiers answering from the cassette `replay` when given,
/// else the model configuration file's records, each also recording to `record` when given.
/// Throws ArgumentError for a missing cassette, what load_model_config() throws.
std::vector<llm::ModelSettings> configured_model_records(const std::optional<std::string>& replay,
                                                         const std::optional<std::string>& record);

}  // namespace norvex::cli
