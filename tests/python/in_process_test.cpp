// The embedded interpreter: its one thread, the execution rules of analysis code run
// in-process (fresh namespace with datetime, capture, "TypeName: message", exit requests).
#include <gtest/gtest.h>
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "norvex/error.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/python/interpreter.hpp"

namespace norvex::python {
namespace {

namespace py = pybind11;

const AnalysisOptions kInProcess{.isolated = false};

// The identity of the interpreter's current sys.stdout object.
std::uintptr_t stdout_identity() {
  return call_on_interpreter([] {
    return reinterpret_cast<std::uintptr_t>(py::module_::import("sys").attr("stdout").ptr());
  });
}

// matplotlib draws to files whatever the caller's environment says, and the interpreter
// leaves the process environment alone (changing it would race with other threads).
TEST(InProcessAnalysis, MatplotlibUsesTheFileBackendWithoutTouchingTheProcessEnvironment) {
  ::setenv("MPLBACKEND", "TkAgg", 1);
  const auto result =
      run_analysis("import matplotlib\nprint(matplotlib.get_backend().lower())", kInProcess);
  EXPECT_EQ(result.output, "agg\n") << result.error;
  EXPECT_STREQ(std::getenv("MPLBACKEND"), "TkAgg");
}

TEST(InProcessAnalysis, CapturesOutputAndRestoresStdoutWhateverHappens) {
  const auto before = stdout_identity();

  auto ok = run_analysis("print('one')\nprint('two')", kInProcess);
  EXPECT_TRUE(ok.success);
  EXPECT_EQ(ok.output, "one\ntwo\n");
  EXPECT_EQ(stdout_identity(), before);

  auto failed = run_analysis("print('lost')\nraise ValueError('bad value')", kInProcess);
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(failed.output, "");  // what was printed before the error is discarded
  EXPECT_EQ(failed.error, "ValueError: bad value");
  EXPECT_EQ(stdout_identity(), before);

  auto syntax = run_analysis("print('x'\n", kInProcess);
  EXPECT_FALSE(syntax.success);
  EXPECT_EQ(syntax.error.rfind("SyntaxError: ", 0), 0u) << syntax.error;
  EXPECT_EQ(stdout_identity(), before);

  // Code that replaces sys.stdout itself still finds the original back afterwards.
  auto replaced = run_analysis("import sys, io\nsys.stdout = io.StringIO()", kInProcess);
  EXPECT_TRUE(replaced.success);
  EXPECT_EQ(stdout_identity(), before);

  auto silent = run_analysis("x = 1", kInProcess);
  EXPECT_TRUE(silent.success);
  EXPECT_EQ(silent.output, "");
}

TEST(InProcessAnalysis, EachRunHasAFreshNamespaceHoldingDatetime) {
  auto first =
      run_analysis("value = datetime.date(2021, 3, 4)\nprint(value.isoformat())", kInProcess);
  ASSERT_TRUE(first.success) << first.error;
  EXPECT_EQ(first.output, "2021-03-04\n");

  auto second = run_analysis("print(value)", kInProcess);
  EXPECT_FALSE(second.success);
  EXPECT_EQ(second.error, "NameError: name 'value' is not defined");

  auto names =
      run_analysis("print(sorted(k for k in globals() if k != '__builtins__'))", kInProcess);
  EXPECT_EQ(names.output, "['datetime']\n");
}

TEST(InProcessAnalysis, ExitRequestsSurfaceAsTheExitError) {
  try {
    (void)run_analysis("print('before')\nimport sys\nsys.exit(3)", kInProcess);
    FAIL() << "expected PythonExit";
  } catch (const PythonExit& exit) {
    EXPECT_EQ(exit.type_name(), "SystemExit");
    EXPECT_EQ(exit.exit_code(), 3);
  }
  EXPECT_THROW((void)run_analysis("raise KeyboardInterrupt", kInProcess), PythonExit);
  // Ordinary errors never take that road, and the interpreter keeps working.
  EXPECT_EQ(run_analysis("print(1 + 1)", kInProcess).output, "2\n");
}

TEST(InterpreterThread, RunsJobsFromManyThreadsAndInlineFromItself) {
  const auto interpreter = call_on_interpreter([] { return std::this_thread::get_id(); });
  EXPECT_NE(interpreter, std::this_thread::get_id());
  EXPECT_FALSE(on_interpreter_thread());

  std::atomic<int> total{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        total += call_on_interpreter([] {
          EXPECT_TRUE(on_interpreter_thread());
          // A nested job must run inline instead of waiting for itself.
          return call_on_interpreter([] { return py::eval("20 + 1").cast<int>(); });
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(total, 4 * 25 * 21);
}

TEST(InterpreterThread, PythonErrorsLeaveJobsAsOurErrors) {
  try {
    run_on_interpreter([] { py::exec("raise LookupError('no such thing')"); });
    FAIL() << "expected PythonError";
  } catch (const PythonExit&) {
    FAIL() << "an ordinary error is no exit request";
  } catch (const PythonError& error) {
    EXPECT_EQ(error.type_name(), "LookupError");
    EXPECT_STREQ(error.what(), "LookupError: no such thing");
  }
}

}  // namespace
}  // namespace norvex::python
