#pragma once
// The subcommands of `norvex`. Each add_* function registers its commands on `app`; a
// command's callback stores the work to run in `action`, which main runs after parsing
// so that errors are reported in one place.

#include <functional>

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
/// `norvex env init|install`.
void add_env_commands(CLI::App& app, Action& action);

}  // namespace norvex::cli
