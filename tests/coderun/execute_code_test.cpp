// execute_code: the runner's persistent namespace, output capture and restoration, and
// the runner's variables and operations seen from executed code.
#include <gtest/gtest.h>
#include <pybind11/pybind11.h>

#include "norvex/coderun/coderun.hpp"
#include "norvex/error.hpp"
#include "norvex/python/interpreter.hpp"
#include "support/coderun_fake_python.hpp"

namespace norvex::coderun {
namespace {

namespace py = pybind11;
using test::ScratchDir;

std::uintptr_t stdout_identity() {
  return python::call_on_interpreter([] {
    return reinterpret_cast<std::uintptr_t>(py::module_::import("sys").attr("stdout").ptr());
  });
}

TEST(ExecuteCode, NamespacePersistsAndHoldsTheRunnersNames) {
  EXPECT_EQ(execute_code("def twice(x):\n    return 2 * x\ncounter = 1"), "");
  EXPECT_EQ(execute_code("counter += 1\nprint(twice(counter))\nprint('done')"), "4\ndone\n");
  EXPECT_EQ(
      execute_code(
          "names = ['ast', 'os', 'subprocess', 'sys', 'tempfile', 'venv', 'StringIO',\n"
          "         'env_path', 'media_path', 'python_executable', 'initialize_environment',\n"
          "         'ensure_virtual_environment', 'install_defaults', 'safe_install_modules',\n"
          "         'install_dependencies', 'execute_code']\n"
          "print([n for n in names if n not in globals()])\n"
          "print(sys.__name__, StringIO.__name__, venv.__name__)"),
      "[]\nsys StringIO venv\n");
}

TEST(ExecuteCode, ErrorsPropagateAndStdoutIsAlwaysRestored) {
  const auto before = stdout_identity();
  try {
    (void)execute_code("print('never run'\n");
    FAIL() << "expected PythonError";
  } catch (const PythonError& error) {
    EXPECT_EQ(error.type_name(), "SyntaxError");
  }
  EXPECT_EQ(stdout_identity(), before);

  try {
    (void)execute_code("print('discarded')\nraise ValueError('after printing')");
    FAIL() << "expected PythonError";
  } catch (const PythonExit&) {
    FAIL() << "an ordinary error is no exit request";
  } catch (const PythonError& error) {
    EXPECT_STREQ(error.what(), "ValueError: after printing");
  }
  EXPECT_EQ(stdout_identity(), before);
  EXPECT_EQ(execute_code("print('next')"), "next\n");

  try {
    (void)execute_code("sys.exit(5)");
    FAIL() << "expected PythonExit";
  } catch (const PythonExit& exit) {
    EXPECT_EQ(exit.exit_code(), 5);
  }
  EXPECT_EQ(stdout_identity(), before);
}

TEST(ExecuteCode, TracebacksNameTheSourceAst) {
  const auto out = execute_code(
      "import traceback\ndef fails():\n    raise RuntimeError('x')\ntry:\n    fails()\n"
      "except RuntimeError:\n    print(traceback.format_exc())");
  EXPECT_NE(out.find("File \"<ast>\", line 5"), std::string::npos) << out;
  EXPECT_NE(out.find("File \"<ast>\", line 3, in fails"), std::string::npos) << out;
}

TEST(ExecuteCode, RunnerVariablesAreOneVariableSeenFromBothSides) {
  set_media_path("/data/media");
  EXPECT_EQ(execute_code("print(media_path)"), "/data/media\n");

  (void)execute_code("media_path = '/elsewhere'");
  EXPECT_EQ(media_path(), std::filesystem::path("/elsewhere"));
  (void)execute_code("import pathlib\nmedia_path = pathlib.Path('/as/path')");
  EXPECT_EQ(media_path(), std::filesystem::path("/as/path"));
  (void)execute_code("media_path = None");
  EXPECT_FALSE(media_path().has_value());

  // A rebinding made before an error still counts.
  EXPECT_THROW((void)execute_code("media_path = '/before/error'\n1 / 0"), PythonError);
  EXPECT_EQ(media_path(), std::filesystem::path("/before/error"));
}

TEST(ExecuteCode, RunnerOperationsCalledFromExecutedCodeRunInline) {
  ScratchDir dir;
  test::install_fake_python(dir.path());
  const std::string code = "env_path = r'" + dir.path().string() +
                           "'\n"
                           "ensure_virtual_environment()\n"
                           "print(python_executable)\n"
                           "safe_install_modules(['numpy'])\n"
                           "print(execute_code('print(6 * 7)'), end='')\n";
  const std::string out = test::capture_stdout([&] {
    // Lines the runner prints belong to the run's output; the child's do not.
    EXPECT_EQ(execute_code(code),
              (dir.path() / "bin" / "python").string() + "\nInstallation successful.\n42\n");
  });
  EXPECT_EQ(out, "fake installer: -m pip install numpy\n");
  EXPECT_EQ(env_path(), dir.path());
  EXPECT_EQ(python_executable(), dir.path() / "bin" / "python");

  // Runner errors reach the code as Python exceptions it can handle.
  EXPECT_EQ(execute_code("try:\n    execute_code('1 / 0')\nexcept ZeroDivisionError as e:\n"
                         "    print('caught', e)"),
            "caught division by zero\n");
  EXPECT_EQ(execute_code("try:\n    install_dependencies()\nexcept TypeError as e:\n    print(e)"),
            "install_dependencies() takes exactly one argument (dependencies), 0 given\n");
}

}  // namespace
}  // namespace norvex::coderun
