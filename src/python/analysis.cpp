#include "norvex/python/analysis.hpp"
#include "norvex/base/output.hpp"
#include "norvex/base/process.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "norvex/error.hpp"
#include "norvex/python/embedded.hpp"
#include "norvex/python/interpreter.hpp"
#include "norvex/python/sandbox.hpp"
#include "package_environment.hpp"
#include "runtime_source.hpp"
#include "sandbox/confine.h"

extern char** environ;

namespace py = pybind11;

namespace norvex::python {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// The worker reads requests and writes results on this descriptor, never on stdout.
constexpr int kChannelFd = 3;
// Importing pandas and matplotlib can take a while on a cold disk.
constexpr auto kStartupLimit = std::chrono::seconds(120);
// How long the server may take to fork a run, and to report a run that we killed.
constexpr auto kServerReplyLimit = std::chrono::seconds(30);
// How long a server asked to stop may take to end its runs and remove their folders, and how
// long one that is going may take to end.
constexpr std::chrono::milliseconds kStopGrace{1000};

// The largest frame we read: a result (printed output) larger than this is a failed run,
// never a buffer that grows as the header says.
constexpr std::uint32_t kMaxFrame = 64u << 20;

constexpr std::string_view kTimeoutErrorType = "TimeoutError";
constexpr std::string_view kWorkerErrorType = "ChildProcessError";

std::string errno_text(int error) {
  return std::strerror(error);
}

// matplotlib keeps its font cache in its configuration folder; when the usual one cannot be
// written it builds the cache anew on every start (about a second). Such a worker gets a
// private folder instead; a folder the user chose is left alone.
std::optional<std::filesystem::path> matplotlib_config_dir() {
  if (std::getenv("MPLCONFIGDIR") != nullptr) return std::nullopt;
  std::filesystem::path config_home;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    config_home = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    config_home = std::filesystem::path(home) / ".config";
  }
  if (!config_home.empty()) {
    const auto usual = config_home / "matplotlib";
    std::error_code ignored;
    const auto& probe = std::filesystem::exists(usual, ignored) ? usual : config_home;
    if (::access(probe.c_str(), W_OK) == 0) return std::nullopt;
  }
  auto private_dir =
      std::filesystem::temp_directory_path() / ("norvex-mplconfig-" + std::to_string(::getuid()));
  if (::mkdir(private_dir.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  return private_dir;
}

// The fork server's environment: an allow-list of ours, with the non-interactive chart
// backend. Its children inherit it, with HOME and TMPDIR pointing at the run's own folder.
std::vector<std::string> worker_environment() {
  std::vector<std::string> result = allow_listed_environment();
  result.emplace_back("MPLBACKEND=agg");
  // scikit-learn's n_jobs: threads, since a run cannot start processes.
  result.emplace_back("JOBLIB_MULTIPROCESSING=0");
  if (const char* cap = std::getenv(kLandlockAbiVariable.data()); cap != nullptr) {
    result.push_back(std::string(kLandlockAbiVariable) + "=" + cap);
  }
  if (auto config = matplotlib_config_dir()) result.push_back("MPLCONFIGDIR=" + config->string());
  return result;
}

AnalysisResult failure(std::string_view type_name, const std::string& message) {
  return {.success = false, .output = {}, .error = std::string(type_name) + ": " + message};
}

// Turns the execution function's result dict (as JSON) into ours.
AnalysisResult from_outcome(const Json& outcome) {
  const std::string status = outcome.value("status", "");
  if (status == "ok") {
    return {.success = true, .output = outcome.value("output", ""), .error = {}};
  }
  std::string type_name = outcome.value("type", "");
  std::string message = outcome.value("message", "");
  if (status == "exit") {
    std::optional<int> exit_code;
    if (outcome.contains("exit_code") && outcome["exit_code"].is_number_integer()) {
      exit_code = outcome["exit_code"].get<int>();
    }
    throw PythonExit(std::move(type_name), std::move(message), exit_code);
  }
  return failure(type_name, message);
}

/// Owns one file descriptor. Thread rule: not shared between threads.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

// One line on standard error, once per process, when runs go on with fewer layers.
void warn_once(unsigned missing, const std::string& why) {
  static std::once_flag warned;
  std::call_once(warned, [&] {
    base::print_line("norvex: warning: analysis code runs without these sandbox layers: " +
                         describe_sandbox_layers(missing) + (why.empty() ? "" : " (" + why + ")") +
                         "; set " + std::string(kSandboxVariable) + "=strict to refuse such runs",
                     base::Stream::err);
  });
}

// Where the confinement library lies: we link it, so the loader knows.
std::string confinement_library() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&norvex_sandbox_probe), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  return info.dli_fname;
}

/// What one isolated run asks of the fork server.
struct RunRequest {
  std::string body;    // for the run only, on its own channel
  std::string limits;  // for the server: threads, disk and the media folder it watches
  std::chrono::seconds time_limit;
  unsigned wanted_layers;
};

enum class Read { message, closed, timeout, malformed };

/// One end of a stream socket carrying length-prefixed JSON frames.
/// Thread rule: not thread-safe; one user at a time.
class Channel {
 public:
  Channel() = default;
  explicit Channel(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  [[nodiscard]] bool open() const noexcept { return fd_.get() >= 0; }

  // Sends one frame; `passed` (when not -1) travels with its first byte. False when the
  // other end is gone.
  bool send_frame(const std::string& body, int passed = -1) {
    std::string frame(4, '\0');
    const auto size = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
    frame += body;
    std::size_t sent = 0;
    while (sent < frame.size()) {
      iovec part{.iov_base = frame.data() + sent, .iov_len = frame.size() - sent};
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
      if (sent == 0 && passed >= 0) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passed, sizeof(int));
      }
      // MSG_NOSIGNAL: a dead server must give us EPIPE, not a SIGPIPE that ends the process.
      const ssize_t n = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // The fields this side reads hold the types it reads them as: a run's code may write any
  // frame on its channel, and a number where text belongs must fail that run, not throw out
  // of the caller.
  bool well_typed(const Json& message) {
    for (const char* key : {"status", "output", "type", "message", "how", "sandbox_warning"}) {
      if (const auto found = message.find(key); found != message.end() && !found->is_string()) {
        why_ = std::string("a frame whose \"") + key + "\" is not text";
        return false;
      }
    }
    if (const auto found = message.find("layers");
        found != message.end() &&
        (!found->is_number_unsigned() || found->get<std::uint64_t>() > ~0u)) {
      why_ = "a frame whose \"layers\" is not a set of layers";
      return false;
    }
    return true;
  }

  // One frame. Read::malformed (with why()) for a frame larger than kMaxFrame, one that is
  // not a JSON object or one with a field of the wrong type: the other end is not to be
  // trusted further.
  Read read_frame(Json& message, Clock::time_point deadline) {
    for (;;) {
      if (input_.size() >= 4) {
        std::uint32_t size = 0;
        for (int i = 0; i < 4; ++i) size = (size << 8) | static_cast<unsigned char>(input_[i]);
        if (size > kMaxFrame) {
          why_ = "a frame of " + std::to_string(size) + " bytes, more than the " +
                 std::to_string(kMaxFrame >> 20) + " MiB allowed";
          input_.clear();
          return Read::malformed;
        }
        if (input_.size() >= 4 + std::size_t{size}) {
          message = Json::parse(input_.begin() + 4, input_.begin() + 4 + size, nullptr, false);
          input_.erase(0, 4 + std::size_t{size});
          if (!message.is_object()) {
            why_ = "a frame that is not a JSON object";
            return Read::malformed;
          }
          return well_typed(message) ? Read::message : Read::malformed;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return Read::timeout;
      pollfd entry{.fd = fd_.get(), .events = POLLIN, .revents = 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) continue;  // the deadline check above decides
      std::array<char, 65536> chunk;
      const ssize_t n = ::read(fd_.get(), chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Read::closed;
      input_.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }

  [[nodiscard]] const std::string& why() const noexcept { return why_; }

 private:
  UniqueFd fd_;
  std::string input_;
  std::string why_;
};

// A child's report, with what the server adds: a run that ended without a result, a strict
// run that was refused, the layers that confined the run.
AnalysisResult run_outcome(const Json& outcome, const RunRequest& request) {
  const std::string status = outcome.value("status", "");
  const unsigned layers = outcome.value("layers", 0u);
  if (status == "died") {
    return failure(kWorkerErrorType, "the analysis run " +
                                         outcome.value("how", std::string("ended")) +
                                         " while running the code");
  }
  if (status == "refused") {
    throw Error(
        "analysis code was not run: the strict sandbox setting requires every guarantee, "
        "and these layers could not be applied: " +
        describe_sandbox_layers(request.wanted_layers & kRequiredSandboxLayers & ~layers) + " (" +
        outcome.value("message", std::string()) + ")");
  }
  if (const unsigned missing = request.wanted_layers & kRequiredSandboxLayers & ~layers;
      missing != 0) {
    warn_once(missing, outcome.value("sandbox_warning", std::string()));
  }
  AnalysisResult result = from_outcome(outcome);
  result.sandbox_layers = layers;
  return result;
}

/// The warm analysis fork server: one process that has the analysis stack imported and, for
/// each request, forks a fresh child that confines itself and runs it. Requests go in on the
/// server's channel, each with its own result channel, so runs overlap.
/// Thread rule: not thread-safe; ServerSlot guards it with its mutex, held only to start,
/// check and hand a request over, never for a run.
class Server {
 public:
  // Hands a run over; its result comes on `result_end`'s peer. Starts (or replaces) the
  // server as needed and waits for it to be ready.
  void submit(const std::string& body, int result_end) {
    if (pid_ > 0 && !alive()) stop();
    // A server that died while idle has run nothing of this request: one retry is safe.
    for (int attempt = 0;; ++attempt) {
      ensure_ready();
      if (channel_.send_frame(body, result_end)) return;
      stop();
      if (attempt > 0) throw Error("the analysis fork server closed its channel before a run");
    }
  }

  // Starts the process without waiting for it to be ready: the first run waits. A failure
  // is left for that run to find and report.
  void start_early() noexcept {
    if (pid_ > 0) return;
    try {
      start();
    } catch (const Error&) {
    }
  }

  void ensure_ready() {
    if (pid_ <= 0) start();
    await_ready();
  }

  // True when the server ended (it is then stopped, so the next run starts a new one). Asked
  // when a run's channel closed without a word from the server, which happens only while the
  // server is going: its runs can end before it does, so it gets a moment to.
  bool check_ended() noexcept {
    if (pid_ > 0 && ended_within(kStopGrace).has_value()) {
      pid_ = -1;  // reaped
      stop();
      start_early();
      return true;
    }
    return false;
  }

  void stop() noexcept {
    // A closed channel asks the server to end its runs and remove their folders; a server
    // that does not end soon is killed (its runs die with it).
    channel_ = Channel();
    if (pid_ > 0 && !ended_within(kStopGrace).has_value()) {
      ::kill(-pid_, SIGKILL);  // its process group
      ::kill(pid_, SIGKILL);
      reap();
    }
    pid_ = -1;
    ready_ = false;
  }

 private:
  void start() {
    // Model-written code is about to run near us: other processes of our user must not
    // read our environment (API keys, passwords) or memory through /proc.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const std::string program = python_program().string();
    std::vector<std::string> arguments = {program, "-c", std::string(runtime_source()),
                                          confinement_library()};
    std::vector<std::string> environment = worker_environment();

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      throw Error("cannot create the analysis worker's channel: " + errno_text(errno));
    }
    UniqueFd ours(fds[0]);
    UniqueFd theirs(fds[1]);
    if (theirs.get() == kChannelFd) {  // dup2 onto itself would keep close-on-exec set
      theirs = UniqueFd(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, kChannelFd + 1));
      if (theirs.get() < 0) throw Error("cannot set up the analysis worker's channel");
    }

    base::SpawnOptions spawn_options;
    spawn_options.environment = std::move(environment);
    spawn_options.files = {{0, "/dev/null", O_RDONLY}};
    spawn_options.descriptors = {{theirs.get(), kChannelFd}};
    // Its own process group, so a kill reaches whatever the code started.
    spawn_options.own_process_group = true;
    pid_t pid = -1;
    try {
      pid = base::spawn(arguments, spawn_options);
    } catch (const Error& error) {
      throw Error(std::string("cannot start the analysis fork server: ") + error.what());
    }
    pid_ = pid;
    channel_ = Channel(std::move(ours));
    ready_ = false;
  }

  void await_ready() {
    if (ready_) return;
    Json hello;
    switch (channel_.read_frame(hello, Clock::now() + kStartupLimit)) {
      case Read::message:
        ready_ = true;
        return;
      case Read::timeout:
        stop();
        throw Error("the analysis fork server did not get ready within " +
                    std::to_string(kStartupLimit.count()) + " s");
      case Read::closed:
      default: {
        const std::string how = base::describe_status(reap_closed());
        stop();
        throw Error("the analysis fork server " + how + " while starting (" +
                    python_program().string() + ")");
      }
    }
  }

  bool alive() {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }

  // The status of a server that closed its channel: it is normally ending already, but one
  // that garbled the channel may live on, so it gets a moment, then a kill.
  int reap_closed() noexcept {
    std::optional<int> status = ended_within(std::chrono::seconds(2));
    ::kill(-pid_, SIGKILL);
    if (!status) {
      ::kill(pid_, SIGKILL);
      status = reap();
    }
    pid_ = -1;  // reaped: stop() must not wait for it again
    return *status;
  }

  // The server's wait status when it ended (and was reaped) within `grace` (0 when it had
  // been reaped already); nothing when it still runs.
  std::optional<int> ended_within(std::chrono::milliseconds grace) noexcept {
    const auto deadline = Clock::now() + grace;
    for (;;) {
      int status = 0;
      const pid_t rc = ::waitpid(pid_, &status, WNOHANG);
      if (rc == pid_) return status;
      if (rc < 0 && errno != EINTR) return 0;
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Waits for the server to end and returns its status (0 when it was already reaped).
  int reap() noexcept {
    int status = 0;
    if (pid_ <= 0) return status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  pid_t pid_ = -1;
  Channel channel_;
  bool ready_ = false;
};

/// The one fork server of the process and its lock.
struct ServerSlot {
  std::mutex mutex;
  Server server;
};

ServerSlot& server_slot() {
  static auto* slot = new ServerSlot;  // never destroyed: the server ends with our channel
  return *slot;
}

// One run per core; asked once, since the answer reads a file under /sys.
unsigned default_run_limit() {
  static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return cores;
}

/// Turns for isolated runs: a counting semaphore with a bounded queue and a bounded wait.
/// Thread rule: thread-safe.
class RunTurns {
 public:
  /// Holds one turn until destroyed.
  class Turn {
   public:
    explicit Turn(RunTurns& turns) noexcept : turns_(turns) {}
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() { turns_.release(); }

   private:
    RunTurns& turns_;
  };

  // Waits for a turn; throws a retryable Error when the queue is full or the wait too long.
  void acquire() {
    std::unique_lock lock(mutex_);
    const AnalysisPoolOptions limits = options_;
    const unsigned max_runs = run_limit();
    if (running_ < max_runs) {
      ++running_;
      return;
    }
    if (waiting_ >= limits.max_waiting) {
      throw Error("analysis code was not run: all " + std::to_string(max_runs) +
                      " analysis slots are busy and " + std::to_string(waiting_) +
                      " runs already wait for one",
                  true);
    }
    ++waiting_;
    const bool free =
        freed_.wait_for(lock, limits.max_wait, [&] { return running_ < run_limit(); });
    --waiting_;
    if (!free) {
      throw Error("analysis code was not run: all " + std::to_string(max_runs) +
                      " analysis slots stayed busy; waited " +
                      std::to_string(limits.max_wait.count()) + " ms for one",
                  true);
    }
    ++running_;
  }

  void configure(const AnalysisPoolOptions& options) {
    {
      std::lock_guard lock(mutex_);
      options_ = options;
    }
    freed_.notify_all();  // a larger limit lets waiting runs in
  }

  AnalysisPoolStatus status() {
    std::lock_guard lock(mutex_);
    return {.max_runs = run_limit(), .running = running_, .waiting = waiting_};
  }

 private:
  // The configured limit; 0 means one run per core. Call under mutex_.
  [[nodiscard]] unsigned run_limit() const noexcept {
    return options_.max_runs == 0 ? default_run_limit() : options_.max_runs;
  }

  void release() noexcept {
    {
      std::lock_guard lock(mutex_);
      --running_;
    }
    freed_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable freed_;
  AnalysisPoolOptions options_;
  unsigned running_ = 0;
  std::size_t waiting_ = 0;
};

RunTurns& run_turns() {
  static auto* turns = new RunTurns;
  return *turns;
}

AnalysisResult run_isolated(const RunRequest& request) {
  run_turns().acquire();
  const RunTurns::Turn turn(run_turns());

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw Error("cannot create an analysis run's channel: " + errno_text(errno));
  }
  Channel results{UniqueFd(fds[0])};
  {
    const UniqueFd theirs(fds[1]);  // ours is closed once the server holds its copy
    auto& slot = server_slot();
    std::lock_guard lock(slot.mutex);
    slot.server.submit(request.limits, theirs.get());
  }
  // The run's process once it said it started, and a descriptor for it taken at once: a kill
  // through the descriptor never reaches another process that got the pid after the server
  // reaped the run (only a run that ended and was reaped before the descriptor was taken,
  // and whose pid went to another process in that moment, could escape it). Without one
  // (kernels before 5.3), the pid and its group. The server kills the group when our end
  // closes.
  pid_t child = -1;
  UniqueFd process;
  const auto kill_run = [&] {
    if (child <= 0) return;
    if (process.get() >= 0) {
      ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0);  // gone: ESRCH
    } else {
      ::kill(-child, SIGKILL);
      ::kill(child, SIGKILL);
    }
  };
  // The run's channel closed without a result or a word from the server: the whole server
  // went (then a new one starts for the next run).
  const auto lost = [&] {
    kill_run();
    auto& slot = server_slot();
    std::lock_guard lock(slot.mutex);
    const bool server_ended = slot.server.check_ended();
    return failure(kWorkerErrorType,
                   server_ended ? "the analysis fork server ended while running the code; a new "
                                  "one was started"
                                : "the analysis run's channel closed while running the code");
  };

  // The request goes to the run itself: the server, whose memory every later run inherits,
  // never holds it.
  if (!results.send_frame(request.body)) return lost();

  // A run's frame that is too large or not JSON: the run is ended and fails, saying so.
  const auto malformed = [&] {
    kill_run();
    return failure(kWorkerErrorType,
                   "the analysis run sent a malformed result (" + results.why() + ")");
  };

  Json started;
  switch (results.read_frame(started, Clock::now() + kServerReplyLimit)) {
    case Read::message:
      if (started.contains("started") && started["started"].is_number_integer() &&
          started["started"].get<long long>() > 1) {
        break;
      }
      if (started.contains("status")) return run_outcome(started, request);  // fork failed
      return lost();
    case Read::malformed:
      return malformed();
    case Read::timeout:
      return failure(kWorkerErrorType, "the analysis fork server did not start the run within " +
                                           std::to_string(kServerReplyLimit.count()) + " s");
    case Read::closed:
    default:
      return lost();
  }
  child = started["started"].get<pid_t>();
  process = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));

  Json outcome;
  switch (results.read_frame(outcome, Clock::now() + request.time_limit)) {
    case Read::message:
      return run_outcome(outcome, request);
    case Read::malformed:
      return malformed();
    case Read::timeout:
      // Closing our channel tells the server as well, which cleans up after the run.
      kill_run();
      return failure(kTimeoutErrorType, "the analysis code did not finish within " +
                                            std::to_string(request.time_limit.count()) +
                                            " s and was stopped");
    case Read::closed:
    default:
      return lost();
  }
}

AnalysisResult run_in_process(std::string_view code) {
  return call_on_interpreter([&] {
    const auto [env_dir, generation] = detail::package_environment();
    py::object outcome = embedded::runtime().attr("analyse")(
        py::str(code.data(), code.size()),
        env_dir.empty() ? py::object(py::none()) : py::object(py::str(env_dir.string())),
        generation);
    Json converted;
    for (auto item : py::reinterpret_borrow<py::dict>(outcome)) {
      const auto key = item.first.cast<std::string>();
      if (item.second.is_none()) {
        converted[key] = nullptr;
      } else if (py::isinstance<py::int_>(item.second)) {
        converted[key] = item.second.cast<long long>();
      } else {
        converted[key] = item.second.cast<std::string>();
      }
    }
    return from_outcome(converted);
  });
}

}  // namespace

std::filesystem::path python_program() {
  const char* configured = std::getenv(kPythonVariable.data());
  if (configured != nullptr && *configured != '\0') return configured;
  return NORVEX_BUILD_PYTHON;
}

AnalysisResult run_analysis(std::string_view code, const AnalysisOptions& options) {
  const bool strict = options.strict_sandbox || strict_sandbox_required();
  if (!options.isolated) {
    if (strict) {
      throw Error("analysis code was not run: the strict sandbox setting refuses in-process runs");
    }
    return run_in_process(code);
  }
  if (options.time_limit.count() <= 0) {
    throw ArgumentError("the analysis time limit must be positive");
  }
  const unsigned wanted = kAllSandboxLayers & ~options.disabled_sandbox_layers;
  if (const unsigned missing = kRequiredSandboxLayers & ~(sandbox_layers().available & wanted);
      strict && missing != 0) {
    throw Error("analysis code was not run: the strict sandbox setting requires every guarantee: " +
                describe_missing_guarantees(missing));
  }
  std::filesystem::path directory = options.working_directory;
  std::filesystem::path media = options.media_directory;
  try {
    directory =
        directory.empty() ? std::filesystem::current_path() : std::filesystem::absolute(directory);
    if (!media.empty()) {
      // Relative media paths mean what they mean to the caller: beneath its directory.
      media = (directory / media).lexically_normal();
      std::filesystem::create_directories(media);
    }
  } catch (const std::filesystem::filesystem_error& error) {
    return failure("FileNotFoundError", error.what());
  }
  const auto [env_dir, generation] = detail::package_environment();
  const Json body = {{"code", std::string(code)},
                     {"cwd", directory.string()},
                     {"media", media.string()},
                     {"env", env_dir.empty() ? Json(nullptr) : Json(env_dir.string())},
                     {"generation", generation},
                     {"time_limit", options.time_limit.count()},
                     {"memory_limit", options.memory_limit},
                     {"file_size_limit", options.file_size_limit},
                     {"layers", wanted},
                     {"strict", strict}};
  const Json limits = {
      {"threads", options.thread_limit}, {"disk", options.disk_limit}, {"media", media.string()}};
  const RunRequest request{.body = body.dump(-1, ' ', false, Json::error_handler_t::replace),
                           .limits = limits.dump(-1, ' ', false, Json::error_handler_t::replace),
                           .time_limit = options.time_limit,
                           .wanted_layers = wanted};
  return run_isolated(request);
}

void prewarm_analysis() {
  auto& slot = server_slot();
  std::lock_guard lock(slot.mutex);
  slot.server.ensure_ready();
}

void start_analysis_server() noexcept {
  auto& slot = server_slot();
  std::lock_guard lock(slot.mutex);
  slot.server.start_early();
}

void configure_analysis_pool(const AnalysisPoolOptions& options) {
  if (options.max_wait.count() < 0) {
    throw ArgumentError("the longest wait for an analysis slot must not be negative");
  }
  run_turns().configure(options);
}

AnalysisPoolStatus analysis_pool_status() {
  return run_turns().status();
}

void shutdown_analysis_worker() noexcept {
  auto& slot = server_slot();
  std::lock_guard lock(slot.mutex);
  slot.server.stop();
}

}  // namespace norvex::python
