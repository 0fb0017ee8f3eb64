// A real virtual environment, made offline by Debian's Python: the default installs, an
// unresolvable package, and a wheel this test builds, installed and then imported by
// executed code and by the analysis worker.
#include <gtest/gtest.h>

#include "norvex/coderun/coderun.hpp"
#include "norvex/python/analysis.hpp"
#include "support/python_scratch.hpp"

namespace norvex::coderun {
namespace {

using test::capture_stdout;
using test::ScratchDir;

// A pure-Python wheel: the module, METADATA, WHEEL and a RECORD with hashes.
constexpr const char* kBuildWheel = R"(
import base64, hashlib, os, zipfile
files = {
    "norvex_probe.py": "VALUE = 42\n",
    "norvex_probe-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: norvex-probe\nVersion: 1.0\n",
    "norvex_probe-1.0.dist-info/WHEEL":
        "Wheel-Version: 1.0\nGenerator: norvex-test\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
}
record = []
for name, text in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=")
    record.append("%s,sha256=%s,%d" % (name, digest.decode(), len(text.encode())))
record.append("norvex_probe-1.0.dist-info/RECORD,,")
files["norvex_probe-1.0.dist-info/RECORD"] = "\n".join(record) + "\n"
with zipfile.ZipFile(wheel_path, "w") as archive:
    for name, text in files.items():
        archive.writestr(name, text)
print(os.path.getsize(wheel_path) > 0)
)";

TEST(VirtualEnvironment, CreatedOfflineWithDefaultsThenTakesALocalWheel) {
  ASSERT_STREQ(std::getenv("PIP_NO_INDEX"), "1");
  ScratchDir root("norvex-venv");
  const auto env = root / "env";

  const std::string created = capture_stdout([&] { initialize_environment(env); });
  ASSERT_TRUE(std::filesystem::exists(env / "bin" / "python")) << created;
  EXPECT_EQ(python_executable(), env / "bin" / "python");
  // One installer run per default, in order; the system's packages satisfy them offline.
  std::size_t position = 0;
  for (auto name : defaults) {
    const auto found =
        created.find("Requirement already satisfied: " + std::string(name), position);
    ASSERT_NE(found, std::string::npos) << name << " not (in order) in:\n" << created;
    position = found;
  }
  const std::string success = std::string(kInstallationSuccessful) + "\n";
  EXPECT_EQ(created.find(success), created.size() - success.size()) << created;
  EXPECT_EQ(created.find(kInstallationErrorPrefix), std::string::npos);

  // A package no index can provide: pip fails, and that is not our error.
  const auto unresolvable =
      capture_stdout([] { safe_install_modules({"norvex-no-such-pkg==1.0"}); });
  ASSERT_GE(unresolvable.size(), success.size());
  EXPECT_EQ(unresolvable.substr(unresolvable.size() - success.size()), success) << unresolvable;
  EXPECT_EQ(unresolvable.find(kInstallationErrorPrefix), std::string::npos);

  const auto wheel = root / "norvex_probe-1.0-py3-none-any.whl";
  ASSERT_EQ(execute_code("wheel_path = r'" + wheel.string() + "'\n" + kBuildWheel), "True\n");
  const auto installed = capture_stdout([&] { safe_install_modules({wheel.string()}); });
  EXPECT_NE(installed.find("Successfully installed norvex-probe-1.0"), std::string::npos)
      << installed;
  EXPECT_TRUE(
      std::filesystem::exists(env / "lib" / "python3.11" / "site-packages" / "norvex_probe.py"));

  EXPECT_EQ(execute_code("import norvex_probe\nprint(norvex_probe.VALUE)"), "42\n");
  const auto analysed = python::run_analysis("import norvex_probe\nprint(norvex_probe.VALUE + 1)");
  EXPECT_TRUE(analysed.success) << analysed.error;
  EXPECT_EQ(analysed.output, "43\n");

  // The environment is adopted as it is from now on.
  EXPECT_EQ(capture_stdout([&] { initialize_environment(env); }), "");
}

}  // namespace
}  // namespace norvex::coderun
