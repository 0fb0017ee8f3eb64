#include "norvex/python/interpreter.hpp"
#include "norvex/base/output.hpp"

#include <pybind11/embed.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "norvex/error.hpp"
#include "norvex/python/embedded.hpp"
#include "package_environment.hpp"
#include "runtime_source.hpp"

namespace py = pybind11;

namespace norvex::python {
namespace {

std::atomic<std::thread::id> interpreter_thread_id{};

/// The environment whose packages code may import. Thread rule: fields under `mutex`.
struct PackageEnvironment {
  std::mutex mutex;
  std::filesystem::path env_dir;
  long generation = 0;
};

PackageEnvironment& package_state() {
  static auto* state = new PackageEnvironment;  // never destroyed: used until exit
  return *state;
}

// Python objects owned by the interpreter thread; never destroyed (the interpreter is
// never finalised either).
py::module_* runtime_module = nullptr;

void flush_python_streams() {
  try {
    py::module_ sys = py::module_::import("sys");
    for (const char* name : {"stdout", "stderr"}) {
      py::object stream = sys.attr(name);
      if (!stream.is_none()) stream.attr("flush")();
    }
  } catch (py::error_already_set&) {
    // A stream replaced by code that cannot flush is no reason to fail the job.
  }
}

// Runs a job on the calling (interpreter) thread, turning a Python error into ours.
void run_job(const std::function<void()>& job) {
  try {
    job();
  } catch (py::error_already_set& error) {
    embedded::rethrow(error);
  }
}

/// The thread that owns the interpreter and runs jobs one at a time.
/// Thread rule: submit() may be called from any thread.
class InterpreterThread {
 public:
  static InterpreterThread& instance() {
    static auto* thread = new InterpreterThread;  // lives until exit, like the interpreter
    return *thread;
  }

  void submit(const std::function<void()>& job) {
    std::packaged_task<void()> task([&job] { run_job(job); });
    auto done = task.get_future();
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(task));
    }
    ready_.notify_one();
    done.get();
  }

 private:
  InterpreterThread() {
    auto started = std::make_shared<std::promise<void>>();
    auto started_future = started->get_future();
    std::thread([this, started] { main(*started); }).detach();
    started_future.get();
  }

  void main(std::promise<void>& started) {
    interpreter_thread_id = std::this_thread::get_id();
    PyThreadState* saved = nullptr;
    try {
      // No signal handlers of our own: the embedding application owns SIGINT.
      py::initialize_interpreter(false);
      // Charts render to files; no window may ever open. matplotlib reads its backend from
      // os.environ when it loads, so the setting goes into Python's own view of the
      // environment only: setting the process environment now could race with other
      // threads of the application reading it.
      py::exec(
          "import os\n"
          "os.environ._data[os.environ.encodekey('MPLBACKEND')] = os.environ.encodevalue('agg')\n");
      py::module_ types = py::module_::import("types");
      runtime_module = new py::module_(
          py::reinterpret_borrow<py::module_>(types.attr("ModuleType")("norvex_runtime")));
      py::exec(py::str(runtime_source().data(), runtime_source().size()),
               runtime_module->attr("__dict__"));
      py::module_::import("sys").attr("modules")["norvex_runtime"] = *runtime_module;
      saved = PyEval_SaveThread();  // idle without the GIL, so Python threads can run
    } catch (...) {
      started.set_exception(std::current_exception());
      return;
    }
    started.set_value();
    for (;;) {
      std::packaged_task<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      PyEval_RestoreThread(saved);
      task();
      flush_python_streams();
      saved = PyEval_SaveThread();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<void()>> queue_;
};

}  // namespace

bool on_interpreter_thread() noexcept {
  return interpreter_thread_id.load() == std::this_thread::get_id();
}

void run_on_interpreter(const std::function<void()>& job) {
  if (on_interpreter_thread()) {
    run_job(job);
    return;
  }
  // What the job prints for a person belongs to the caller's run.
  InterpreterThread::instance().submit([&job, output = base::current_output()] {
    const base::ScopedOutput scope(output);
    job();
  });
}

void use_package_environment(const std::filesystem::path& env_dir) {
  auto& state = package_state();
  std::lock_guard lock(state.mutex);
  state.env_dir = env_dir;
  ++state.generation;
}

namespace detail {

std::pair<std::filesystem::path, long> package_environment() {
  auto& state = package_state();
  std::lock_guard lock(state.mutex);
  return {state.env_dir, state.generation};
}

}  // namespace detail

namespace embedded {

py::module_& runtime() {
  return *runtime_module;
}

void refresh_package_environment() {
  auto [env_dir, generation] = detail::package_environment();
  runtime().attr("use_environment")(
      env_dir.empty() ? py::object(py::none()) : py::object(py::str(env_dir.string())), generation);
}

std::string run_code(std::string_view code, const py::dict& ns) {
  refresh_package_environment();
  py::object output = runtime().attr("run")(py::str(code.data(), code.size()), ns);
  return output.cast<std::string>();
}

void rethrow(py::error_already_set& error) {
  std::string type_name = "BaseException";
  std::string message;
  std::optional<int> exit_code;
  try {
    type_name = py::str(error.type().attr("__name__")).cast<std::string>();
    message = py::str(error.value()).cast<std::string>();
    if (error.matches(PyExc_SystemExit)) {
      py::object code = error.value().attr("code");
      if (code.is_none()) {
        exit_code = 0;
      } else if (py::isinstance<py::int_>(code)) {
        exit_code = code.cast<int>();
      }
    }
  } catch (py::error_already_set&) {
    message = "<unprintable " + type_name + " object>";
  } catch (py::cast_error&) {
    message = "<unprintable " + type_name + " object>";
  }
  if (!error.matches(PyExc_Exception)) {
    throw PythonExit(std::move(type_name), std::move(message), exit_code);
  }
  throw PythonError(std::move(type_name), std::move(message));
}

}  // namespace embedded
}  // namespace norvex::python
