#include "norvex/coderun/coderun.hpp"
#include "norvex/base/output.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/wait.h>

#include <iostream>
#include <mutex>

#include "child_process.hpp"
#include "norvex/error.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/python/embedded.hpp"
#include "norvex/python/interpreter.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace norvex::coderun {
namespace {

constexpr const char* kStateNames[] = {"env_path", "media_path", "python_executable"};

/// The runner's process-wide state.
/// Thread rule: fields are read and written under `mutex` only.
struct RunnerState {
  std::mutex mutex;
  std::optional<fs::path> env_path;
  std::optional<fs::path> media_path;
  std::optional<fs::path> python_executable;

  std::optional<fs::path>& field(std::string_view name) {
    if (name == "env_path") return env_path;
    if (name == "media_path") return media_path;
    return python_executable;
  }
};

RunnerState& state() {
  static auto* runner = new RunnerState;  // used until exit, also by the interpreter thread
  return *runner;
}

std::optional<fs::path> read_field(std::string_view name) {
  auto& runner = state();
  std::lock_guard lock(runner.mutex);
  return runner.field(name);
}

void write_field(std::string_view name, std::optional<fs::path> value) {
  auto& runner = state();
  std::lock_guard lock(runner.mutex);
  runner.field(name) = std::move(value);
}

// Installer runs never overlap, whoever asks.
std::mutex& installer_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

// Printed lines go to the captured output when code run by execute_code called us.
void print_line(std::string_view text) {
  if (python::on_interpreter_thread()) {
    try {
      py::print(py::str(text.data(), text.size()));
      return;
    } catch (py::error_already_set&) {
      // No usable sys.stdout: the line still reaches our own output.
    }
  }
  base::print_line(text);
}

// ---- the namespace of execute_code (interpreter thread only) ----------------------------

// The runner's variables are one variable seen from both sides: before code runs (and
// after a runner operation it called) the namespace gets our values; after it runs (and
// before such an operation) we take over what the code bound.
void push_state(py::dict& ns) {
  for (const char* name : kStateNames) {
    auto value = read_field(name);
    ns[name] = value ? py::object(py::str(value->string())) : py::object(py::none());
  }
}

void pull_state(py::dict& ns) {
  py::module_ os = py::module_::import("os");
  for (const char* name : kStateNames) {
    if (!ns.contains(name)) continue;
    py::object value = ns[name];
    if (value.is_none()) {
      write_field(name, std::nullopt);
    } else if (py::isinstance<py::str>(value) || py::hasattr(value, "__fspath__")) {
      py::object text = os.attr("fspath")(value);
      if (py::isinstance<py::str>(text)) write_field(name, fs::path(text.cast<std::string>()));
    }
    // Anything else is no path: the next push puts our value back.
  }
}

py::dict& runner_namespace();

// A runner operation callable from executed code, keeping the variables in step.
template <typename F>
py::cpp_function operation(F body) {
  return py::cpp_function([body](py::args args) -> py::object {
    py::dict& ns = runner_namespace();
    pull_state(ns);
    struct Push {
      py::dict& ns;
      ~Push() {
        try {
          push_state(ns);
        } catch (...) {
          // Never mask the operation's own result or error.
        }
      }
    } push{ns};
    return body(args);
  });
}

// The one argument of a runner operation called from Python, or a TypeError like Python's.
py::object only_argument(const py::args& args, const char* operation_name, const char* parameter) {
  if (args.size() != 1) {
    throw py::type_error(std::string(operation_name) + "() takes exactly one argument (" +
                         parameter + "), " + std::to_string(args.size()) + " given");
  }
  return args[0];
}

fs::path path_argument(const py::object& value) {
  if (value.is_none()) return {};
  return fs::path(py::module_::import("os").attr("fspath")(value).cast<std::string>());
}

py::dict make_namespace() {
  py::dict ns;
  ns["__builtins__"] = py::module_::import("builtins");
  ns["__name__"] = "norvex.coderun";
  for (const char* module : {"ast", "os", "subprocess", "sys", "tempfile", "venv"}) {
    ns[module] = py::module_::import(module);
  }
  ns["StringIO"] = py::module_::import("io").attr("StringIO");
  py::list packages;
  for (auto name : defaults) packages.append(py::str(name.data(), name.size()));
  ns["defaults"] = packages;

  ns["initialize_environment"] = operation([](py::args args) {
    initialize_environment(
        path_argument(only_argument(args, "initialize_environment", "env_path_param")));
    return py::object(py::none());
  });
  ns["ensure_virtual_environment"] = operation([](py::args) {
    ensure_virtual_environment();
    return py::object(py::none());
  });
  ns["install_defaults"] = operation([](py::args) {
    install_defaults();
    return py::object(py::none());
  });
  ns["safe_install_modules"] = operation([](py::args args) {
    safe_install_modules(only_argument(args, "safe_install_modules", "module_names")
                             .cast<std::vector<std::string>>());
    return py::object(py::none());
  });
  ns["install_dependencies"] = operation([](py::args args) {
    install_dependencies(only_argument(args, "install_dependencies", "dependencies")
                             .cast<std::vector<std::string>>());
    return py::object(py::none());
  });
  // Called from executed code: runs inline and lets the code's own error through as it is.
  ns["execute_code"] = operation([](py::args args) {
    py::dict& ns = runner_namespace();
    push_state(ns);
    std::string output = python::embedded::run_code(
        only_argument(args, "execute_code", "code").cast<std::string>(), ns);
    pull_state(ns);
    return py::object(py::str(output));
  });
  return ns;
}

py::dict& runner_namespace() {
  static auto* ns = new py::dict(make_namespace());  // lives as long as the interpreter
  return *ns;
}

void create_virtual_environment(const fs::path& where) {
  const std::string program = python::python_program().string();
  const int status =
      detail::run_child({program, "-m", "venv", "--system-site-packages", where.string()});
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw Error("could not create a virtual environment at '" + where.string() + "': '" + program +
                " -m venv' " + detail::describe_status(status));
  }
}

}  // namespace

void initialize_environment(const fs::path& env_path_param) {
  write_field("env_path",
              env_path_param.empty() ? std::nullopt : std::optional<fs::path>(env_path_param));
  ensure_virtual_environment();
}

void ensure_virtual_environment() {
  const auto env = env_path();
  if (!env) {
    throw ArgumentError("no virtual environment path is set; call initialize_environment first");
  }
  std::error_code ignored;
  const bool env_exists = fs::exists(*env, ignored);
  if (!env_exists) create_virtual_environment(*env);
  write_field("python_executable", *env / "bin" / "python");
  python::use_package_environment(*env);
  if (!env_exists) install_defaults();
}

void install_defaults() {
  safe_install_modules({defaults.begin(), defaults.end()});
}

void safe_install_modules(const std::vector<std::string>& module_names) {
  try {
    install_dependencies(module_names);
  } catch (const std::exception& error) {
    print_line(std::string(kInstallationErrorPrefix) + error.what());
    return;
  }
  print_line(kInstallationSuccessful);
}

void install_dependencies(const std::vector<std::string>& dependencies) {
  std::lock_guard lock(installer_mutex());
  for (const auto& specifier : dependencies) {
    const auto python = python_executable();
    if (!python) {
      throw ArgumentError(
          "no virtual environment interpreter is set; call initialize_environment first");
    }
    detail::run_child({python->string(), "-m", "pip", "install", specifier});
  }
  // Newly installed packages must be found by the next import.
  if (auto env = env_path(); env && !dependencies.empty()) python::use_package_environment(*env);
}

std::string execute_code(std::string_view code) {
  return python::call_on_interpreter([code] {
    py::dict& ns = runner_namespace();
    push_state(ns);
    try {
      std::string output = python::embedded::run_code(code, ns);
      pull_state(ns);
      return output;
    } catch (py::error_already_set& error) {
      pull_state(ns);
      python::embedded::rethrow(error);
    }
  });
}

std::optional<fs::path> env_path() {
  return read_field("env_path");
}
std::optional<fs::path> media_path() {
  return read_field("media_path");
}
std::optional<fs::path> python_executable() {
  return read_field("python_executable");
}
void set_media_path(std::optional<fs::path> path) {
  write_field("media_path", std::move(path));
}

}  // namespace norvex::coderun
