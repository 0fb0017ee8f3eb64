// Excel workbooks: Debian's Python with openpyxl writes each sheet as a CSV file, which the
// ordinary CSV path then loads. A workbook may be crafted, so the reader is a child process
// started isolated (-I, in its scratch folder, the workbook on its standard input), confined
// with the analysis sandbox's layers, bounded in memory, time, output and expanded size, and
// killed with us.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "confine.h"
#include "norvex/error.hpp"
#include "source.hpp"

namespace norvex::files::detail {
namespace {

constexpr int kMissingOpenpyxl = 3;
constexpr int kTooLarge = 4;
constexpr int kNotConfined = 125;
constexpr const char* kInstallHint =
    "install the Debian package python3-openpyxl, or name a Python that has it in NORVEX_PYTHON";

// Streams each sheet's rows through openpyxl's own sheet parser, which hands over only the
// cells a row has: a lone cell far out costs nothing, and a formula whose value the workbook
// never saved is counted rather than lost as an empty cell. Dates become ISO text, a midnight
// datetime a date. Each record starts with the row's number in the sheet.
constexpr const char* kConvertScript = R"PY(
import csv, datetime, json, sys, zipfile
limit = int(sys.argv[1])
max_columns = int(sys.argv[2])
try:
    import openpyxl
    from openpyxl.worksheet._reader import WorkSheetParser, FORMULA_TAG
except ImportError:
    sys.exit(3)
source = open(0, "rb", closefd=False)
with zipfile.ZipFile(source) as archive:
    expanded = sum(info.file_size for info in archive.infolist())
if limit and expanded > limit:
    print("the workbook expands to %d bytes, more than the limit of %d bytes" % (expanded, limit),
          file=sys.stderr)
    sys.exit(4)
# Memory in proportion to the contents: a few strings repeated in tiny cells cost far more as
# Python objects than as text, and a workbook crafted so is refused long before the limit.
import resource
cap = max(512 << 20, 64 * expanded)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
if hard == resource.RLIM_INFINITY or cap < hard:
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
source.seek(0)
book = openpyxl.load_workbook(source, read_only=True, data_only=True)
def text(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, datetime.datetime):
        if v.time() == datetime.time(0) and v.tzinfo is None:
            return v.date().isoformat()
        return v.isoformat(sep=" ")
    if isinstance(v, (datetime.date, datetime.time)):
        return v.isoformat()
    if isinstance(v, float) and v.is_integer() and abs(v) < 2**53:
        return str(int(v))
    return str(v)
class Parser(WorkSheetParser):
    missing = 0
    first = ""
    def parse_cell(self, element):
        cell = super().parse_cell(element)
        if cell["value"] is None and element.find(FORMULA_TAG) is not None:
            self.missing += 1
            if not self.first:
                self.first = element.get("r") or ""
        return cell
for number, sheet in enumerate(book.worksheets):
    path = "sheet%d.csv" % number
    rows = 0
    source = sheet._get_source()
    parser = Parser(source, sheet._shared_strings, data_only=True, epoch=book.epoch,
                    date_formats=book._date_formats,
                    timedelta_formats=getattr(book, "_timedelta_formats", set()))
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        for row_number, cells in parser.parse():
            values = {}
            for cell in cells:
                if cell["value"] is not None:
                    values[cell["column"]] = text(cell["value"])
            if not values:
                continue
            width = max(values)
            if width > max_columns:
                print("sheet '%s', row %d has a value in column %d, more than the %d columns a "
                      "table may have" % (sheet.title, row_number, width, max_columns),
                      file=sys.stderr)
                sys.exit(5)
            writer.writerow([row_number] + [values.get(i, "") for i in range(1, width + 1)])
            rows += 1
    source.close()
    print(json.dumps({"sheet": sheet.title, "csv": path, "rows": rows,
                      "missing": parser.missing, "first": parser.first}), flush=True)
)PY";

std::string python_program(const std::string& configured) {
  if (!configured.empty()) return configured;
  if (const char* named = std::getenv("NORVEX_PYTHON"); named && *named) return named;
  return NORVEX_BUILD_PYTHON;
}

// The child's environment: what Python needs to start, nothing secret. (-I ignores the
// PYTHON* variables anyway.)
std::vector<std::string> child_environment() {
  static constexpr const char* kKept[] = {"PATH", "HOME", "LANG", "LC_ALL", "LC_CTYPE", "TZ"};
  std::vector<std::string> out;
  for (const char* name : kKept) {
    if (const char* value = std::getenv(name)) out.push_back(std::string(name) + "=" + value);
  }
  return out;
}

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Finds a program on PATH as execvp would, before the fork (the child only calls execve).
std::string resolve(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto end = rest.find(':');
    const std::string dir(rest.substr(0, end));
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return program;
}

// What the interpreter may read: the system's libraries and its own installation.
std::string read_only_paths(const std::string& python) {
  std::string out =
      "/usr\n/lib\n/lib64\n/lib32\n/bin\n/etc/ld.so.cache\n/etc/localtime\n/etc/mime.types\n"
      "/dev/urandom\n/proc/self\n";
  std::error_code ec;
  const auto real = std::filesystem::canonical(python, ec);
  if (!ec && real.has_parent_path()) {
    out += real.parent_path().parent_path().string() + "\n";
  }
  return out;
}

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Everything the child needs, made before the fork: after it, only system calls.
struct Launch {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  std::vector<char*> argv;
  std::vector<char*> envp;
  int input = -1;
  int output = -1;
  int errors = -1;
  std::string folder;
  int ruleset = -1;
  const norvex_sandbox_filter* filter = nullptr;  // with execve of `program` only
  unsigned covered = 0;
  unsigned wanted = 0;
  WorkbookLimits limits;
  std::uint64_t output_bytes = 0;
  pid_t parent = 0;
};

[[noreturn]] void child(const Launch& l) {
  const auto fail = [](const char* what) {
    (void)!::write(2, what, std::strlen(what));
    ::_exit(kNotConfined);
  };
  if (::dup2(l.input, 0) < 0 || ::dup2(l.output, 1) < 0 || ::dup2(l.errors, 2) < 0) {
    ::_exit(kNotConfined);
  }
  if (::chdir(l.folder.c_str()) != 0) fail("cannot enter the scratch folder\n");
  if (norvex_sandbox_die_with_parent() != 0 || ::getppid() != l.parent) ::_exit(kNotConfined);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int number = 1; number < NSIG; ++number) ::signal(number, SIG_DFL);
  if (norvex_sandbox_limits(l.limits.memory_bytes, l.output_bytes, 64, l.limits.seconds) != 0) {
    fail("cannot set the reader's resource limits\n");
  }
  char why[256] = {};
  const unsigned others = l.wanted & ~NORVEX_LAYER_SECCOMP;
  const unsigned applied = norvex_sandbox_enforce(l.ruleset, l.covered, others, why, sizeof why);
  const bool filtered =
      l.filter == nullptr || norvex_sandbox_load_filter(l.filter, why, sizeof why) == 0;
  if ((applied & others) != others || !filtered) {
    const char* what = "cannot confine the reader: ";
    (void)!::write(2, what, std::strlen(what));
    fail(why);
  }
  ::syscall(SYS_close_range, 3u, ~0u, 0u);
  ::execve(l.program.c_str(), l.argv.data(), l.envp.data());
  ::_exit(127);
}

// Waits for the child at most `seconds` (0: without end); kills it when time runs out.
// Returns its wait status, or -2 after a kill for time.
int wait_bounded(pid_t pid, unsigned seconds) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (pidfd >= 0) ::close(pidfd);
      return status;
    }
    if (done < 0 && errno != EINTR) {
      if (pidfd >= 0) ::close(pidfd);
      return -1;
    }
    int wait_ms = 100;
    if (seconds != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        if (pidfd >= 0) ::close(pidfd);
        return -2;
      }
      wait_ms = static_cast<int>(std::min<long long>(left, 1000));
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, wait_ms);
    } else {
      ::usleep(static_cast<useconds_t>(wait_ms) * 1000);
    }
  }
}

}  // namespace

std::vector<Sheet> convert_workbook(const std::filesystem::path& path,
                                    const std::filesystem::path& out_dir,
                                    const std::string& python_executable,
                                    const WorkbookLimits& limits,
                                    const std::filesystem::path& shown) {
  const std::string python = python_program(python_executable);
  const std::string name = shown.string();
  const auto out_file = out_dir / "sheets.jsonl";
  const auto err_file = out_dir / "python.err";

  Launch l;
  l.program = resolve(python);
  if (::access(l.program.c_str(), X_OK) != 0) {
    throw ValueError("reading the workbook " + name + " needs Python with openpyxl, but '" +
                     python + "' cannot be run: " + std::strerror(errno) + ": " + kInstallHint);
  }
  l.arguments = {python,
                 "-I",
                 "-c",
                 kConvertScript,
                 std::to_string(limits.expanded_bytes),
                 std::to_string(kMaxFields)};
  l.environment = child_environment();
  for (auto& a : l.arguments) l.argv.push_back(a.data());
  l.argv.push_back(nullptr);
  for (auto& e : l.environment) l.envp.push_back(e.data());
  l.envp.push_back(nullptr);
  const Fd input(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (input.fd < 0) {
    throw ArgumentError("cannot read '" + name + "': " + std::strerror(errno));
  }
  const Fd output(::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const Fd errors(::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (output.fd < 0 || errors.fd < 0) {
    throw Error("cannot write in " + out_dir.string() + ": " + std::strerror(errno));
  }
  l.input = input.fd;
  l.output = output.fd;
  l.errors = errors.fd;
  l.folder = out_dir.string();
  l.limits = limits;
  // What the sheets may become: as much as the workbook holds expanded, and no more.
  l.output_bytes = limits.expanded_bytes != 0 ? limits.expanded_bytes + (1u << 20) : 0;
  l.parent = ::getpid();

  // The same layers as an analysis run, less those this kernel lacks.
  int abi = 0;
  const unsigned available = norvex_sandbox_probe(&abi);
  l.wanted =
      available & (NORVEX_LAYER_LANDLOCK_FILES | NORVEX_LAYER_LANDLOCK_NETWORK |
                   NORVEX_LAYER_LANDLOCK_SCOPES | NORVEX_LAYER_SECCOMP | NORVEX_LAYER_NO_NEW_PRIVS);
  char why[256] = {};
  // The analysis filter refuses execve; the reader's has it for the interpreter alone.
  const std::unique_ptr<norvex_sandbox_filter, decltype(&norvex_sandbox_filter_free)> filter(
      (l.wanted & NORVEX_LAYER_SECCOMP) != 0 ? norvex_sandbox_exec_filter(l.program.c_str())
                                             : nullptr,
      &norvex_sandbox_filter_free);
  if ((l.wanted & NORVEX_LAYER_SECCOMP) != 0 && filter == nullptr) {
    throw Error("cannot prepare the workbook reader's system call filter");
  }
  l.filter = filter.get();
  const std::string read_only = read_only_paths(l.program);
  l.ruleset = norvex_sandbox_ruleset(read_only.c_str(), l.folder.c_str(), l.wanted, &l.covered, why,
                                     sizeof why);
  const Fd ruleset(l.ruleset);
  if (why[0] != '\0') throw Error(std::string("cannot confine the workbook reader: ") + why);
  l.wanted &= ~(NORVEX_LAYER_LANDLOCK_FILES | NORVEX_LAYER_LANDLOCK_NETWORK |
                NORVEX_LAYER_LANDLOCK_SCOPES) |
              l.covered;

  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0)
    throw Error(std::string("cannot start the workbook reader: ") + std::strerror(errno));
  if (pid == 0) child(l);
  const int status = wait_bounded(pid, limits.seconds);
  if (status == -2) {
    throw ValueError("reading the workbook " + name + " took longer than " +
                     std::to_string(limits.seconds) + " seconds; it was stopped");
  }
  std::string reason = read_all(err_file);
  // The last line of a Python traceback says what went wrong.
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (const auto at = reason.rfind('\n'); at != std::string::npos) reason.erase(0, at + 1);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kMissingOpenpyxl) {
    throw ValueError("reading the workbook " + name + " needs the Python package openpyxl, which " +
                     python + " does not have: " + kInstallHint);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    throw ValueError("reading the workbook " + name + " needs Python with openpyxl, but '" +
                     python + "' could not be started: " + kInstallHint);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL)) {
      reason = "it used more than its " + std::to_string(limits.seconds) + " seconds of CPU";
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) {
      reason = "its sheets grew larger than the workbook's limit";
    } else if (reason.find("MemoryError") != std::string::npos) {
      reason = "reading it needs more memory than a workbook of its size may take (at most " +
               std::to_string(limits.memory_bytes >> 20) + " MiB)";
    } else if (reason.empty()) {
      reason = "the reader " +
               std::string(WIFSIGNALED(status) ? "was killed by a signal" : "ended with an error");
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kTooLarge) {
      throw ValueError("cannot read the workbook " + name + ": " + reason +
                       " (raise --max-file-size to allow more)");
    }
    throw ValueError("cannot read the workbook " + name + ": " + reason);
  }

  std::vector<Sheet> sheets;
  std::ifstream listing(out_file);
  for (std::string line; std::getline(listing, line);) {
    const auto record = nlohmann::json::parse(line);
    if (record.at("rows").get<long>() == 0) continue;  // an empty sheet makes no table
    sheets.push_back(
        {record.at("sheet").get<std::string>(), out_dir / record.at("csv").get<std::string>(),
         record.at("missing").get<std::uint64_t>(), record.at("first").get<std::string>()});
  }
  return sheets;
}

}  // namespace norvex::files::detail
