// Hostile analysis code through run_analysis: secrets, network, files outside the media
// folder, the database file, persistence, processes, signals, disk filling and state for the
// next run. Every attempt must be contained, and the next run must work.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "norvex/error.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/python/interpreter.hpp"
#include "support/hostile_cases.hpp"
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

// Runs every case; returns the names of those that escaped (with their output).
std::vector<std::string> escaped_cases(const AnalysisOptions& options) {
  const bool files =
      (sandbox_layers().available & static_cast<unsigned>(SandboxLayer::landlock_files)) != 0;
  std::vector<std::string> escaped;
  for (const auto& hostile : test::hostile_cases()) {
    if (hostile.needs_files && !files) continue;
    const auto result = run_analysis(attempt(hostile.body), options);
    if (!result.success || result.output.rfind("contained", 0) != 0 ||
        result.output.find("Error") == std::string::npos) {
      escaped.push_back(hostile.name + ": " + result.output + result.error);
    }
  }
  test::remove_outside_file();
  return escaped;
}

class HostileCode : public testing::Test {
 protected:
  void SetUp() override {
    if (!sandbox_layers().complete()) {
      NORVEX_SKIP_OR_FAIL(
          "this kernel lacks sandbox layers: " +
          describe_sandbox_layers(kRequiredSandboxLayers & ~sandbox_layers().available));
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
  // Folders nested past the depth the clean-up's recursion reaches (and past PATH_MAX): gone.
  const auto deep = run_analysis(
      "import os\nos.chdir(os.environ['TMPDIR'])\nprint(os.getcwd())\n"
      "for _ in range(3000):\n    os.mkdir('d')\n    os.chdir('d')\n"
      "os.mkdir('closed', 0)\nopen('bottom', 'w').write('x' * 4096)",
      options_);
  ASSERT_TRUE(deep.success) << deep.error;
  const std::filesystem::path deep_home = deep.output.substr(0, deep.output.find('\n'));
  for (int i = 0; i < 400 && std::filesystem::exists(deep_home); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // cleaned up after the run
  }
  EXPECT_FALSE(std::filesystem::exists(deep_home)) << deep_home;

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
  // The run nests folders deeper than Python's recursion limit in its private folder, tells
  // the test its server's pid, then sleeps past the time limit: killing the server must end
  // the run, so that the caller hears of the server's end, not of a time-out; and the next
  // server must still remove the folders (and start).
  auto sleeper = std::async(std::launch::async, [&] {
    return run_analysis(
        "import os, time\nbase = os.getcwd()\nos.chdir(os.environ['TMPDIR'])\n"
        "for _ in range(1500):\n    os.mkdir('d')\n    os.chdir('d')\n"
        "open(os.path.join(base, 'media/server.pid'), 'w').write(str(os.getppid()))\n"
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

// Every case of the table, at whatever Landlock ABI the kernel (or the cap) gives: the cases
// that need Landlock's file rules are left out without them, the rest hold by the filter.
TEST(HostileCases, AreContainedAtThisLandlockAbi) {
  if ((sandbox_layers().available & static_cast<unsigned>(SandboxLayer::seccomp)) == 0) {
    NORVEX_SKIP_OR_FAIL("this kernel has no seccomp");
  }
  ScratchDir dir;
  AnalysisOptions options{.time_limit = std::chrono::seconds(20),
                          .working_directory = dir.path(),
                          .media_directory = "media"};
  const auto escaped = escaped_cases(options);
  EXPECT_TRUE(escaped.empty()) << testing::PrintToString(escaped);
  const auto next = run_analysis("import pandas\nprint(pandas.Series([1, 2]).sum())", options);
  EXPECT_EQ(next.output, "3\n") << next.error;
}

// The same table as an ordinary user (the test runs as root in CI): a child of the test drops
// to nobody, starts its own fork server and reports the cases that escaped.
TEST(HostileCases, AreContainedForAnOrdinaryUser) {
  if (::getuid() != 0) GTEST_SKIP() << "already an ordinary user: the test above covers it";
  ScratchDir dir;
  const uid_t nobody = 65534;
  ASSERT_EQ(::chown(dir.path().c_str(), nobody, nobody), 0);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
      ::_exit(100);
    }
    std::string text;
    try {
      AnalysisOptions options{.time_limit = std::chrono::seconds(20),
                              .working_directory = dir.path(),
                              .media_directory = "media"};
      for (const auto& name : escaped_cases(options)) text += name + "\n";
      const auto caps = run_analysis(
          "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('Cap')])",
          options);
      if (caps.output.find("'0000000000000000', '0000000000000000', '0000000000000000'") ==
          std::string::npos) {
        text += "capabilities: " + caps.output + caps.error + "\n";
      }
    } catch (const std::exception& error) {
      text += std::string("error: ") + error.what() + "\n";
    }
    (void)!::write(report[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(report[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(text, "");
}

TEST_F(HostileCode, ARunHasNoPrivilegeNoTerminalAndNothingInherited) {
  const auto result = run_analysis(
      "import os\n"
      "print(sorted(int(fd) for fd in os.listdir('/proc/self/fd'))[:4])\n"
      "print(os.readlink('/proc/self/fd/2'))\n"
      "print(os.getsid(0) == os.getpid() == os.getpgid(0))\n"
      "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('Cap')])",
      options_);
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_EQ(result.output,
            "[0, 1, 2, 3]\n/dev/null\nTrue\n['0000000000000000', '0000000000000000', "
            "'0000000000000000', '0000000000000000', '0000000000000000']\n");
}

TEST_F(HostileCode, ARunCannotChangeOrSignalAnotherProcessWithTheFilterAlone) {
  // Landlock's scopes off: the filter alone keeps the library's limits as they were.
  AnalysisOptions weakened = options_;
  weakened.disabled_sandbox_layers = static_cast<unsigned>(SandboxLayer::landlock_scopes);
  rlimit before{};
  ::getrlimit(RLIMIT_NOFILE, &before);
  const std::string pid = std::to_string(::getpid());
  const auto result = run_analysis(
      attempt("import resource\nresource.prlimit(" + pid + ", resource.RLIMIT_NOFILE, (12, 12))"),
      weakened);
  EXPECT_EQ(result.output.rfind("contained", 0), 0u) << result.output << result.error;
  const auto signalled = run_analysis(attempt("os.kill(" + pid + ", 18)"), weakened);
  EXPECT_EQ(signalled.output.rfind("contained", 0), 0u) << signalled.output;
  rlimit after{};
  ::getrlimit(RLIMIT_NOFILE, &after);
  EXPECT_EQ(after.rlim_cur, before.rlim_cur);
  // Its own limits stay its to lower.
  const auto own = run_analysis(
      "import resource\nresource.prlimit(0, resource.RLIMIT_NOFILE, (64, 64))\n"
      "resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))\nprint('lowered')",
      weakened);
  EXPECT_EQ(own.output, "lowered\n") << own.error;
}

TEST_F(HostileCode, NoDatagramReachesANamedSocket) {
  const int listener = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un named{.sun_family = AF_UNIX, .sun_path = {}};
  const std::string path = (dir_ / "listen.sock").string();
  path.copy(named.sun_path, sizeof named.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&named), sizeof named), 0);
  for (const std::string& body :
       {"a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)\na.sendto(b'x', '" + path +
            "')",
        "a, b = socket.socketpair()\na.sendto(b'x', '" + path + "')",
        "a, b = socket.socketpair()\na.sendmsg([b'x'], [], 0, '" + path + "')"}) {
    expect_contained(body, body);
  }
  char byte = 0;
  EXPECT_LT(::recv(listener, &byte, 1, MSG_DONTWAIT), 0);
  ::close(listener);
}

TEST_F(HostileCode, ThreadsAndWritesPastTheirLimitsStopTheRun) {
  AnalysisOptions bounded = options_;
  bounded.thread_limit = 32;
  const auto threads = run_analysis(
      // A run that runs out of room for threads before the server's next look (a loaded
      // machine) waits for that look rather than ending first.
      "import threading, time\n"
      "for _ in range(10000):\n    try:\n        threading.Thread(target=time.sleep, "
      "args=(30,), daemon=True).start()\n    except RuntimeError:\n        time.sleep(5)\n"
      "print('all started')",
      bounded);
  EXPECT_FALSE(threads.success);
  EXPECT_NE(threads.error.find("more than 32 threads"), std::string::npos) << threads.error;

  bounded.disk_limit = std::size_t{4} << 20;
  bounded.file_size_limit = std::size_t{1} << 20;
  const auto written = run_analysis(
      "import os, time\nfor i in range(64):\n"
      "    for folder in ('media', os.environ['TMPDIR']):\n"
      "        open(os.path.join(folder, 'f%d' % i), 'wb').write(b'x' * (1 << 20))\n"
      "time.sleep(30)",
      bounded);
  EXPECT_FALSE(written.success);
  EXPECT_NE(written.error.find("wrote more than 4 MiB"), std::string::npos) << written.error;
  // Files removed while open still hold their pages.
  const auto hidden = run_analysis(
      "import os, time\nkept = []\nfor i in range(64):\n"
      "    f = open(os.path.join(os.environ['TMPDIR'], 'f%d' % i), 'wb')\n"
      "    os.unlink(f.name)\n    f.write(b'x' * (1 << 20))\n    f.flush()\n    kept.append(f)\n"
      "time.sleep(30)",
      bounded);
  EXPECT_NE(hidden.error.find("wrote more than 4 MiB"), std::string::npos) << hidden.error;
  // Empty files take no bytes but memory and the server's time: their number is bounded.
  const auto empty = run_analysis(
      "import os, time\nfor i in range(20000):\n"
      "    os.close(os.open(os.path.join(os.environ['TMPDIR'], 'e%d' % i), os.O_CREAT))\n"
      "time.sleep(30)",
      bounded);
  EXPECT_NE(empty.error.find("more than 10000 files and folders"), std::string::npos)
      << empty.error;
  expect_next_run_works();
}

TEST_F(HostileCode, ARunFindsNothingOfAnEarlierRequestInItsMemory) {
  // The first request holds the marker; the second run builds it at run time, so that its
  // own request does not.
  const auto first = run_analysis("print(len('tenant-row-7f3a9c'))", options_);
  ASSERT_EQ(first.output, "17\n") << first.error;
  const auto second = run_analysis(
      "marker = ('c9a3f7' + '-wor' + '-tnanet')[::-1].encode()\nfound = 0\n"
      "with open('/proc/self/maps') as maps, open('/proc/self/mem', 'rb') as mem:\n"
      "    for line in maps:\n"
      "        span, perms = line.split()[:2]\n"
      "        if not perms.startswith('rw'): continue\n"
      "        start, end = (int(x, 16) for x in span.split('-'))\n"
      "        try:\n"
      "            mem.seek(start)\n"
      "            found += mem.read(end - start).count(marker)\n"
      "        except (OSError, OverflowError, ValueError):\n"
      "            pass\n"
      "print(found)",
      options_);
  ASSERT_TRUE(second.success) << second.error;
  // Once: the marker the second run built itself.
  EXPECT_EQ(second.output, "1\n");
}

TEST_F(HostileCode, AForgedResultFrameFailsTheRunWithoutGrowingTheCaller) {
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto huge = run_analysis(
      "import os, time\nos.write(3, b'\\xf0\\x00\\x00\\x00' + b'x' * 65536)\ntime.sleep(30)",
      options_);
  EXPECT_FALSE(huge.success);
  EXPECT_NE(huge.error.find("malformed result"), std::string::npos) << huge.error;
  const auto garbled =
      run_analysis("import os\nos.write(3, b'\\x00\\x00\\x00\\x03abc')\nos._exit(0)", options_);
  EXPECT_FALSE(garbled.success);
  EXPECT_NE(garbled.error.find("malformed result"), std::string::npos) << garbled.error;
  // Fields of the wrong type fail the run as well, rather than throw out of the caller.
  for (const std::string frame : {R"({"status": 5})", R"({"status": "ok", "output": [1]})",
                                  R"({"status": "died", "how": {}})", R"({"layers": "all"})"}) {
    const auto typed = run_analysis("import os, struct\nb = b'" + frame +
                                        "'\nos.write(3, struct.pack('>I', len(b)) + b)\n"
                                        "os._exit(0)",
                                    options_);
    EXPECT_NE(typed.error.find("malformed result"), std::string::npos) << frame << typed.error;
  }
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "kB";  // far below 4 GB
  expect_next_run_works();
}

TEST_F(HostileCode, TheAnalysisStackWorksConfined) {
  std::ifstream in(NORVEX_ANALYSIS_STACK);
  std::stringstream code;
  code << in.rdbuf();
  AnalysisOptions options = options_;
  options.time_limit = std::chrono::seconds(120);
  const auto result = run_analysis(code.str(), options);
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_NE(result.output.find("stack works"), std::string::npos) << result.output;
  EXPECT_GT(std::filesystem::file_size(dir_ / "media" / "forecast.png"), 1000u);
}

}  // namespace
}  // namespace norvex::python
