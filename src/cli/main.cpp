// The `norvex` program: loads the dotenv file, then runs one command.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <iostream>

#include "commands.hpp"
#include "norvex/agent/dotenv.hpp"

namespace norvex::cli {
namespace {

constexpr const char* kDescription =
    "norvex answers natural-language questions about the data in a relational database.\n"
    "Variables of a .env file in the working directory (or the file named by NORVEX_DOTENV)\n"
    "are loaded first; variables already set keep their values.";

int run(int argc, char** argv) {
  CLI::App app(kDescription, "norvex");
  app.set_version_flag("--version", NORVEX_VERSION);
  app.require_subcommand(1);
  app.failure_message(CLI::FailureMessage::help);

  Action action;
  add_ask_commands(app, action);
  add_db_commands(app, action);
  add_env_commands(app, action);
  add_eval_commands(app, action);
  add_serve_commands(app, action);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  try {
    return action ? action() : 0;
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "norvex: error: " << error.what() << std::endl;
    return 1;
  }
}

}  // namespace
}  // namespace norvex::cli

int main(int argc, char** argv) {
  // First, before any thread starts: the file's variables are then in the environment for
  // every command, the model configuration's ${NAME} values and the database tool alike.
  norvex::agent::load_dotenv();
  return norvex::cli::run(argc, argv);
}
