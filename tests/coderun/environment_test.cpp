// The runner's environment and installer, with a stand-in interpreter program where the
// real pip adds nothing but time. The state is process-wide: the test before
// initialisation comes first, for runs of the whole program in one process.
#include <gtest/gtest.h>

#include "norvex/coderun/coderun.hpp"
#include "norvex/error.hpp"
#include "support/coderun_fake_python.hpp"

namespace norvex::coderun {
namespace {

using test::capture_stdout;
using test::ScratchDir;

const std::string kSuccessLine = std::string(kInstallationSuccessful) + "\n";

TEST(CoderunEnvironment, InstallsBeforeInitialisationReportOneErrorLine) {
  ASSERT_FALSE(env_path().has_value());
  ASSERT_FALSE(python_executable().has_value());

  const auto out = capture_stdout([] { safe_install_modules({"pandas", "numpy"}); });
  EXPECT_EQ(out.rfind(kInstallationErrorPrefix, 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

  // Nothing to install needs no interpreter.
  EXPECT_EQ(capture_stdout([] { safe_install_modules({}); }), kSuccessLine);
  EXPECT_THROW(install_dependencies({"pandas"}), ArgumentError);
  EXPECT_THROW(ensure_virtual_environment(), ArgumentError);
}

TEST(CoderunEnvironment, ExistingPathIsAdoptedWithoutInstalls) {
  ScratchDir dir;
  test::write_text(dir / "keep.txt", "x");
  const auto out = capture_stdout([&] { initialize_environment(dir.path()); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(env_path(), dir.path());
  EXPECT_EQ(python_executable(), dir.path() / "bin" / "python");
  EXPECT_FALSE(std::filesystem::exists(dir / "bin"));  // nothing was created

  // Any existing entry counts, a plain file too.
  initialize_environment(dir / "keep.txt");
  EXPECT_EQ(python_executable(), dir / "keep.txt" / "bin" / "python");

  // There is no interpreter there: installs report the failure to start it.
  const auto failed = capture_stdout([] { safe_install_modules({"numpy"}); });
  EXPECT_EQ(failed.rfind(kInstallationErrorPrefix, 0), 0u) << failed;
  EXPECT_NE(failed.find("cannot start"), std::string::npos) << failed;
}

TEST(CoderunEnvironment, EachSpecifierIsOneInstallerRunWithOneArgumentInOrder) {
  ScratchDir dir;
  const auto program = test::install_fake_python(dir.path());
  initialize_environment(dir.path());
  ASSERT_EQ(python_executable(), program);

  const auto out = capture_stdout([] {
    safe_install_modules({"pandas>=1.5, <3", "numpy", "bogus pkg"});
  });
  const auto calls = test::fake_python_calls(dir.path());
  ASSERT_EQ(calls.size(), 3u);
  using Args = std::vector<std::string>;
  EXPECT_EQ(calls[0], (Args{"-m", "pip", "install", "pandas>=1.5, <3"}));
  EXPECT_EQ(calls[1], (Args{"-m", "pip", "install", "numpy"}));
  EXPECT_EQ(calls[2], (Args{"-m", "pip", "install", "bogus pkg"}));
  // The children's own lines come first, in order, then ours once.
  EXPECT_EQ(out,
            "fake installer: -m pip install pandas>=1.5, <3\n"
            "fake installer: -m pip install numpy\n"
            "fake installer: -m pip install bogus pkg\n" +
                kSuccessLine);
}

// The installer runs code from package indexes: it gets an allow-list of our environment,
// never an API key or a password.
TEST(CoderunEnvironment, TheInstallerSeesNoSecretOfOurEnvironment) {
  ScratchDir dir;
  test::install_fake_python(dir.path());
  initialize_environment(dir.path());
  ::setenv("OPENAI_API_KEY", "sk-installer-test", 1);
  ::setenv("NORVEX_DB_PASSWORD", "pw-installer-test", 1);
  ::setenv("SOME_UNRELATED_SETTING", "unrelated-installer-test", 1);
  (void)capture_stdout([] { safe_install_modules({"numpy"}); });
  ::unsetenv("OPENAI_API_KEY");
  ::unsetenv("NORVEX_DB_PASSWORD");
  ::unsetenv("SOME_UNRELATED_SETTING");
  const std::string seen = test::read_text(dir / "environment.log");
  EXPECT_EQ(seen.find("installer-test"), std::string::npos) << seen;
  EXPECT_NE(seen.find("PATH="), std::string::npos) << seen;
}

TEST(CoderunEnvironment, FailedCreationPropagatesAndKeepsTheInterpreterPath) {
  ScratchDir dir;
  test::install_fake_python(dir.path());
  initialize_environment(dir.path());
  const auto before = python_executable();

  ::setenv("NORVEX_PYTHON", "/nonexistent/norvex/python3", 1);
  EXPECT_THROW(initialize_environment(dir / "new-env"), Error);
  ::unsetenv("NORVEX_PYTHON");
  EXPECT_EQ(env_path(), dir / "new-env");  // recorded before anything could fail
  EXPECT_EQ(python_executable(), before);

  test::write_text(dir / "a-file", "");
  // venv cannot create a directory below a file.
  EXPECT_THROW(initialize_environment(dir / "a-file" / "env"), Error);
  EXPECT_EQ(python_executable(), before);
}

}  // namespace
}  // namespace norvex::coderun
