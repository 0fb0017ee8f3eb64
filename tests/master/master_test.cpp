// The bootstrap's guarded wrappers, and the code runner reachable through it.
#include "norvex/master/master.hpp"

#include <gtest/gtest.h>

#include "support/coderun_fake_python.hpp"

namespace norvex::master {
namespace {

using test::capture_stdout;
using test::ScratchDir;

const std::string kSuccessLine = std::string(kInstallationSuccessful) + "\n";

// First: the runner's state is process-wide and still untouched here.
TEST(Bootstrap, FailuresBeforeInitialisationArePrintedNotThrown) {
  const auto install = capture_stdout([] { safe_install_modules({"numpy"}); });
  EXPECT_EQ(install.rfind(kInstallationErrorPrefix, 0), 0u) << install;
  EXPECT_EQ(std::count(install.begin(), install.end(), '\n'), 1);

  EXPECT_EQ(capture_stdout([] { safe_install_modules({}); }), kSuccessLine);

  const auto init = capture_stdout([] { initialize_env(""); });
  EXPECT_EQ(init.rfind(kInitializationErrorPrefix, 0), 0u) << init;
  EXPECT_EQ(std::count(init.begin(), init.end(), '\n'), 1);
  EXPECT_FALSE(env_path().has_value());
}

TEST(Bootstrap, FreshPathPrintsTheSixInstallsThenSuccessAndNoErrorLine) {
  ScratchDir base;
  test::install_fake_python(base.path());
  ::setenv("NORVEX_PYTHON", (base / "bin/python").c_str(), 1);
  ScratchDir root;
  const auto out = capture_stdout([&] { initialize_env(root / "env"); });
  ::unsetenv("NORVEX_PYTHON");

  std::string expected;
  for (auto name : defaults)
    expected += "fake installer: -m pip install " + std::string(name) + "\n";
  EXPECT_EQ(out, expected + kSuccessLine);

  // Existing directory: nothing printed, the interpreter path follows.
  ScratchDir existing;
  EXPECT_EQ(capture_stdout([&] { initialize_env(existing.path()); }), "");
  EXPECT_EQ(python_executable(), existing.path() / "bin" / "python");
}

TEST(Bootstrap, CreationFailureIsPrintedAndKeepsTheInterpreterPath) {
  ScratchDir dir;
  test::install_fake_python(dir.path());
  initialize_env(dir.path());
  const auto before = python_executable();
  ::setenv("NORVEX_PYTHON", "/nonexistent/norvex/python3", 1);
  const auto out = capture_stdout([&] { initialize_env(dir / "new-env"); });
  ::unsetenv("NORVEX_PYTHON");
  EXPECT_EQ(out.rfind(kInitializationErrorPrefix, 0), 0u) << out;
  EXPECT_EQ(python_executable(), before);
}

TEST(Bootstrap, InstallsGoToTheInitialisedEnvironmentAndTheRunnerIsReachable) {
  ScratchDir dir;
  test::install_fake_python(dir.path());
  initialize_env(dir.path());
  const auto out = capture_stdout([] { safe_install_modules({"scipy>=1.10"}); });
  EXPECT_EQ(out, "fake installer: -m pip install scipy>=1.10\n" + kSuccessLine);
  EXPECT_EQ(test::fake_python_calls(dir.path()).size(), 1u);

  EXPECT_EQ(execute_code("print(python_executable)"),
            (dir.path() / "bin" / "python").string() + "\n");
  install_dependencies({"numpy"});
  EXPECT_EQ(test::fake_python_calls(dir.path()).size(), 2u);
}

}  // namespace
}  // namespace norvex::master
