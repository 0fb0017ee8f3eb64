#pragma once
/// The agent front end: create_agent, run_agent, create_chat_openai_instance and
/// CustomRunnableAgent (entry_points.hpp). Loading this library loads the dotenv file into the
/// environment (see dotenv.hpp); the model configuration file is read by model_config.hpp.
/// Every public operation of the code runner is reachable here under the same name, so a
/// caller that uses only this module can prepare the analysis environment and run code.
///
/// Thread rule: as the code runner's for its operations; see each header for the rest.

#include "norvex/agent/dotenv.hpp"
#include "norvex/agent/entry_points.hpp"
#include "norvex/agent/model_config.hpp"
#include "norvex/coderun/coderun.hpp"

namespace norvex::agent {

using coderun::defaults;
using coderun::ensure_virtual_environment;
using coderun::env_path;
using coderun::execute_code;
using coderun::initialize_environment;
using coderun::install_defaults;
using coderun::install_dependencies;
using coderun::kInstallationErrorPrefix;
using coderun::kInstallationSuccessful;
using coderun::media_path;
using coderun::python_executable;
using coderun::safe_install_modules;
using coderun::set_media_path;

}  // namespace norvex::agent
