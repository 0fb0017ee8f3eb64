#pragma once
// The subcommands of `norvex`. Each add_* function registers its commands on `app`; a
// command's callback stores the work to run in `action`, which main runs after parsing
// so that errors are reported in one place.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "norvex/base/output.hpp"
#include "norvex/llm/settings.hpp"

namespace CLI {
class App;
}

namespace norvex::cli {

/// The work a parsed command line asks for; returns the exit status.
using Action = std::function<int()>;

/// With --json standard output holds only the JSON document: while one of these is in
/// force (when `active`), every line the libraries print for a person goes to standard
/// error instead. Thread rule: open and close on one thread.
class LinesToStandardError {
 public:
  explicit LinesToStandardError(bool active) {
    if (active) {
      previous_ = base::set_output([](base::Stream, std::string_view line) {
        base::print_line_to(base::Stream::err, line);
      });
    }
    active_ = active;
  }
  ~LinesToStandardError() {
    if (active_) base::set_output(std::move(previous_));
  }
  LinesToStandardError(const LinesToStandardError&) = delete;
  LinesToStandardError& operator=(const LinesToStandardError&) = delete;

 private:
  bool active_ = false;
  base::OutputSink previous_;
};

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
