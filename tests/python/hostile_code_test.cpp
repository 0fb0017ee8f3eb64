// Hostile analysis code through run_analysis: secrets, network, files outside the media
// folder, the database file, persistence, processes, signals, disk filling and state for the
// next run. Every attempt must be contained, and the next run must work.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "norvex/error.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/python/interpreter.hpp"
#include "support/python_scratch.hpp"
#include "support/servers.hpp"

namespace norvex::python {
namespace {

using test::ScratchDir;

// The attempt runs inside try; any error counts as contained, success as an escape.
std::string attempt(const std::string& body) {
  std::string code = "import os, sys, socket\ntry:\n";
  std::size_t start = 0;
  while (start < body.size()) {
    const auto end = body.find('\n', start);
    code += "    " + body.substr(start, end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return code + "    print('escaped')\nexcept BaseException as error:\n" +
         "    print('contained', type(error).__name__)\n";
}

class HostileCode : public testing::Test {
 protected:
  void SetUp() override {
    if ((sandbox_layers().available & kAllSandboxLayers) != kAllSandboxLayers) {
      NORVEX_SKIP_OR_FAIL("this kernel lacks sandbox layers: " +
                          describe_sandbox_layers(kAllSandboxLayers & ~sandbox_layers().available));
    }
    test::write_text(dir_ / ".env", "OPENAI_API_KEY=sk-hostile-test\n");
    test::write_text(dir_ / "norvex_models.json", R"({"models": [{"api_key": "k"}]})");
    test::write_text(dir_ / "chinook.db", "SQLite format 3");
    options_.working_directory = dir_.path();
    options_.media_directory = "media";
    options_.time_limit = std::chrono::seconds(20);
  }

  void expect_contained(const std::string& what, const std::string& body) {
    const auto result = run_analysis(attempt(body), options_);
    ASSERT_TRUE(result.success) << what << ": " << result.error;
    EXPECT_EQ(result.output.rfind("contained", 0), 0u) << what << ": " << result.output;
    // Stopped by the sandbox, not by a mistake in the attempt.
    for (const char* slip : {"NameError", "SyntaxError", "AttributeError", "TypeError"}) {
      EXPECT_EQ(result.output.find(slip), std::string::npos) << what << ": " << result.output;
    }
  }

  void expect_next_run_works() {
    const auto result = run_analysis(
        "import pandas as pd\nprint(pd.DataFrame({'a': [1, 2, 3]})['a'].sum())", options_);
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.output, "6\n");
  }

  ScratchDir dir_;
  AnalysisOptions options_;
};

TEST_F(HostileCode, SecretsOfTheCallerAreOutOfReach) {
  const std::string parent = std::to_string(::getpid());
  expect_contained(".env in the working directory", "open('.env').read()");
  expect_contained("the model configuration file", "open('norvex_models.json').read()");
  expect_contained("the server's environment", "open(f'/proc/{os.getppid()}/environ').read()");
  expect_contained("the library's environment", "open('/proc/" + parent + "/environ').read()");
  expect_contained("the library's memory", "open('/proc/" + parent + "/mem', 'rb').read(1)");
  expect_contained("/etc/shadow", "open('/etc/shadow').read()");
  expect_contained("a directory listing of the caller", "os.listdir('.')");
  expect_next_run_works();
}

TEST_F(HostileCode, NetworkIsOutOfReach) {
  // A listening "model" port and a UNIX socket like the database servers'.
  const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(tcp, reinterpret_cast<sockaddr*>(&address), size), 0);
  ::listen(tcp, 4);
  ::getsockname(tcp, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const int unix_listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un named{.sun_family = AF_UNIX, .sun_path = {}};
  const std::string socket_path = (dir_ / "db.sock").string();
  socket_path.copy(named.sun_path, sizeof named.sun_path - 1);
  ASSERT_EQ(::bind(unix_listener, reinterpret_cast<sockaddr*>(&named), sizeof named), 0);
  ::listen(unix_listener, 4);

  expect_contained("TCP to a local port", "socket.create_connection(('127.0.0.1', " + port + "))");
  expect_contained("UDP", "socket.socket(socket.AF_INET, socket.SOCK_DGRAM)");
  expect_contained("a named UNIX socket",
                   "s = socket.socket(socket.AF_UNIX)\ns.connect('" + socket_path + "')");
  expect_contained("an abstract UNIX socket",
                   "s = socket.socket(socket.AF_UNIX)\ns.bind('\\0norvex-hostile')");
  if (const char* mysql_port = std::getenv("NORVEX_TEST_MYSQL_PORT")) {
    expect_contained("the database server",
                     std::string("socket.create_connection(('127.0.0.1', ") + mysql_port + "))");
  }
  ::close(tcp);
  ::close(unix_listener);
  expect_next_run_works();
}

TEST_F(HostileCode, NothingOutsideTheMediaFolderChanges) {
  const std::string pid = std::to_string(::getpid());
  expect_contained("a file in the working directory", "open('escaped.txt', 'w').write('x')");
  expect_contained("the database file", "open('chinook.db', 'r+b').write(b'broken')");
  expect_contained("the database through sqlite",
                   "import sqlite3\nsqlite3.connect('chinook.db').execute('create table t(a)')");
  expect_contained("a .pth file in site-packages",
                   "import site\nopen(site.getsitepackages()[0] + '/norvex_evil.pth', "
                   "'w').write('import os')");
  expect_contained(
      "the real home folder",
      "import pwd\nopen(pwd.getpwuid(os.getuid()).pw_dir + '/.norvex-evil-" + pid + "', 'w')");
  expect_contained("the shared temporary folder", "open('/tmp/norvex-evil-" + pid + "', 'w')");
  // The private home is writable, but gone before the next run.
  auto left = run_analysis(
      "import os\nopen(os.path.expanduser('~/.norvex-mark'), 'w').write('x')\n"
      "print(os.path.expanduser('~') != '/root')",
      options_);
  EXPECT_EQ(left.output, "True\n") << left.error;
  auto found = run_analysis(
      "import os\nprint(os.path.exists(os.path.expanduser('~/.norvex-mark')))", options_);
  EXPECT_EQ(found.output, "False\n") << found.error;

  EXPECT_FALSE(std::filesystem::exists(dir_ / "escaped.txt"));
  EXPECT_EQ(std::filesystem::file_size(dir_ / "chinook.db"), 15u);
  EXPECT_FALSE(std::filesystem::exists("/tmp/norvex-evil-" + pid));
  expect_next_run_works();
}

TEST_F(HostileCode, ProcessesSignalsAndDiskAreBounded) {
  expect_contained("a setsid survivor",
                   "import subprocess\nsubprocess.Popen(['sleep', '300'], start_new_session=True)");
  expect_contained("a fork storm", "while True:\n    os.fork()");
  expect_contained("killing the fork server", "os.kill(os.getppid(), 9)");
  expect_contained("signalling the library",
                   "os.kill(" + std::to_string(::getpid()) + ", 18)");  // SIGCONT
  expect_contained("tracing the server",
                   "import ctypes\nlibc = ctypes.CDLL(None, use_errno=True)\n"
                   "if libc.ptrace(16, os.getppid(), 0, 0) != 0: raise OSError('refused')");
  expect_contained("a new user name space",
                   "import ctypes\nlibc = ctypes.CDLL(None, use_errno=True)\n"
                   "if libc.unshare(0x10000000) != 0: raise OSError('refused')");

  AnalysisOptions small = options_;
  small.file_size_limit = std::size_t{1} << 20;
  const auto filled = run_analysis(
      attempt("with open('media/fill.bin', 'wb') as f:\n    f.write(b'x' * (4 << 20))"), small);
  EXPECT_EQ(filled.output.rfind("contained", 0), 0u) << filled.output << filled.error;
  EXPECT_LE(std::filesystem::file_size(dir_ / "media" / "fill.bin"), std::size_t{1} << 20);
  expect_next_run_works();
}

TEST_F(HostileCode, AMonkeyPatchedLibraryDoesNotReachTheNextRun) {
  auto patched = run_analysis(
      "import pandas\npandas.DataFrame.sum = lambda *a, **k: 'patched'\n"
      "import builtins\nbuiltins.print = lambda *a, **k: None",
      options_);
  ASSERT_TRUE(patched.success) << patched.error;
  expect_next_run_works();
}

TEST_F(HostileCode, ChartsStillWorkAndEveryLayerConfinedTheRun) {
  const auto result = run_analysis(
      "import matplotlib.pyplot as plt\nplt.bar(['a', 'b'], [1, 2])\n"
      "plt.savefig('media/bars.png')\nprint('saved')",
      options_);
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.sandbox_layers, kAllSandboxLayers)
      << describe_sandbox_layers(result.sandbox_layers);
  EXPECT_GT(std::filesystem::file_size(dir_ / "media" / "bars.png"), 1000u);
}

TEST_F(HostileCode, AnEnvironmentsPackagesLoadOnlyOnceTheRunIsConfined) {
  const auto version = run_analysis("import sys\nprint('python%d.%d' % sys.version_info[:2])");
  ASSERT_TRUE(version.success) << version.error;
  const auto packages =
      dir_ / "env" / "lib" / version.output.substr(0, version.output.size() - 1) / "site-packages";
  std::filesystem::create_directories(packages);
  test::write_text(packages / "norvex_probe_pkg.py", "VALUE = 42\n");
  // A start-up file runs when the folder is added: by then it must be confined.
  test::write_text(packages / "norvex_probe.pth",
                   "import os; open('" + (dir_ / "pth-escaped").string() + "', 'w').write('x')\n");
  use_package_environment(dir_ / "env");
  const auto result =
      run_analysis("import norvex_probe_pkg\nprint(norvex_probe_pkg.VALUE)", options_);
  use_package_environment({});
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "42\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "pth-escaped"));
}

TEST_F(HostileCode, ARunWithALandlockLayerOffIsStillConfinedToItsFolders) {
  AnalysisOptions weakened = options_;
  weakened.disabled_sandbox_layers = static_cast<unsigned>(SandboxLayer::landlock_network);
  const auto result = run_analysis(
      "open('media/ok.txt', 'w').write('x')\ntry:\n    open('escaped.txt', 'w')\n"
      "except OSError:\n    print('contained')",
      weakened);
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output, "contained\n");
  EXPECT_EQ(result.sandbox_layers, kAllSandboxLayers & ~weakened.disabled_sandbox_layers);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "media" / "ok.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "escaped.txt"));
}

TEST_F(HostileCode, ARunDoesNotOutliveTheForkServer) {
  // The run tells the test its server's pid, then sleeps past the time limit: killing the
  // server must end the run, so that the caller hears of the server's end, not of a time-out.
  auto sleeper = std::async(std::launch::async, [&] {
    return run_analysis(
        "import os, time\nopen('media/server.pid', 'w').write(str(os.getppid()))\n"
        "time.sleep(600)",
        options_);
  });
  std::string pid;
  for (int i = 0; i < 2000 && pid.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream(dir_ / "media" / "server.pid") >> pid;
  }
  ASSERT_FALSE(pid.empty());
  ASSERT_EQ(::kill(std::stoi(pid), SIGKILL), 0);
  const auto result = sleeper.get();
  EXPECT_FALSE(result.success);
  EXPECT_NE(result.error.find("fork server ended"), std::string::npos) << result.error;
  expect_next_run_works();
  // The killed server could not remove its runs' folders; the next one did.
  for (const char* parent : {"/dev/shm", "/tmp"}) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(parent, ignored)) {
      EXPECT_NE(entry.path().filename().string().rfind("norvex-server-" + pid + "-", 0), 0u)
          << entry.path();
    }
  }
}

TEST_F(HostileCode, StrictSettingRefusesARunWithALayerOff) {
  AnalysisOptions weakened = options_;
  weakened.disabled_sandbox_layers = static_cast<unsigned>(SandboxLayer::seccomp);
  const auto lenient = run_analysis("print('ran')", weakened);
  EXPECT_EQ(lenient.output, "ran\n");
  EXPECT_EQ(lenient.sandbox_layers & static_cast<unsigned>(SandboxLayer::seccomp), 0u);

  weakened.strict_sandbox = true;
  EXPECT_THROW((void)run_analysis("print('ran')", weakened), Error);
  ::setenv("NORVEX_SANDBOX", "strict", 1);
  weakened.strict_sandbox = false;
  EXPECT_THROW((void)run_analysis("print('ran')", weakened), Error);
  EXPECT_THROW((void)run_analysis("print('ran')", {.isolated = false}), Error);
  EXPECT_EQ(run_analysis("print('ran')", options_).output, "ran\n");  // complete: allowed
  ::unsetenv("NORVEX_SANDBOX");
  // The program-wide setting (norvex ask --strict-sandbox) holds without the variable.
  EXPECT_EQ(run_analysis("print('ran')", weakened).output, "ran\n");
  require_strict_sandbox();
  EXPECT_THROW((void)run_analysis("print('ran')", weakened), Error);
}

}  // namespace
}  // namespace norvex::python
