#include "child_process.hpp"

#include "norvex/base/process.hpp"
#include "norvex/python/sandbox.hpp"

namespace norvex::coderun::detail {

int run_child(const std::vector<std::string>& arguments) {
  base::SpawnOptions options;
  // pip and venv see an allow-list of our environment: no API key or password reaches them.
  options.environment = python::allow_listed_environment(true);
  // A status we cannot learn (SIGCHLD ignored by the application) counts as success, as the
  // child's own output tells what happened.
  const int status = base::wait_for(base::spawn(arguments, options));
  return status < 0 ? 0 : status;
}

}  // namespace norvex::coderun::detail
