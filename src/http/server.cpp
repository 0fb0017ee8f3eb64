// The HTTP server: one reading thread (epoll) that parses requests within their limits, and
// handler threads that answer complete requests with blocking writes.
#include "norvex/http/server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "request_parser.hpp"

namespace norvex::http {
namespace {

using detail::Parser;

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64 * 1024;
// After refusing a request the rest of what the client sends is read and dropped for a
// moment (up to this much), so that closing does not reset the connection before the client
// has read the refusal.
constexpr std::size_t kDrainBytes = 1 << 20;
constexpr std::chrono::milliseconds kDrainTime{1000};

std::string random_id() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  auto bits = generator();
  for (auto& c : out) {
    c = kHex[bits & 0xf];
    bits >>= 4;
  }
  return out;
}

// Sends everything or fails; a blocking socket with a send time-out, or a non-blocking one
// (then whatever does not fit at once is a failure).
bool send_all(int fd, std::string_view data, Clock::time_point deadline) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < deadline) {
      pollfd p{fd, POLLOUT, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 1))) > 0) continue;
    }
    return false;
  }
  return true;
}

// Sends what the socket takes now without waiting; the bytes sent, or npos once the
// connection is broken.
std::size_t send_now(int fd, std::string_view data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n =
        ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return std::string_view::npos;
    }
  }
  return sent;
}

void set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

std::string_view status_reason(int status) noexcept {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 421:
      return "Misdirected Request";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

void ServerResponse::set_header(std::string_view name, std::string value) {
  std::erase_if(headers, [&](const auto& h) { return base::iequals(h.first, name); });
  headers.emplace_back(std::string(name), std::move(value));
}

void ServerResponse::set_content(int code, std::string text, std::string type) {
  status = code;
  body = std::move(text);
  content_type = std::move(type);
}

struct Connection {
  Connection(int f, const ServerLimits& limits) : fd(f), parser(limits) {}
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
  std::string in;
  Parser parser;
  Clock::time_point deadline;
  bool got_bytes = false;  // of the current request
  bool draining = false;   // refused: reading and dropping until the deadline
  std::size_t drained = 0;
  // The rest of an answer the client has not taken yet, written by the reading thread as the
  // client reads; then the connection reads its next request, or closes.
  std::string out;
  bool keep_after_out = false;
  std::atomic<bool> closing{false};  // close_all(): every write fails from now on
};
using ConnectionPtr = std::shared_ptr<Connection>;

struct Server::Impl {
  Impl(ServerHooks h, ServerLimits l) : hooks(std::move(h)), limits(l) {
    if (!hooks.error_page) {
      hooks.error_page = [](int status, const ServerRequest&, ServerResponse& res) {
        res.set_content(status, std::string(status_reason(status)) + "\n",
                        "text/plain; charset=utf-8");
      };
    }
  }

  ServerHooks hooks;
  ServerLimits limits;
  int listen_fd = -1;
  int epoll_fd = -1;
  int wake_fd = -1;
  int bound_port = 0;
  std::thread reactor;
  std::vector<std::thread> handlers;

  // Every open connection; the reading thread owns those not being handled.
  mutable std::mutex mutex;
  std::unordered_map<int, ConnectionPtr> connections;
  std::deque<ConnectionPtr> handed_back;  // kept alive after an answer: back to reading
  bool stop_accepting = false;
  bool quit = false;

  std::mutex jobs_mutex;
  std::condition_variable jobs_cv;
  std::deque<ConnectionPtr> jobs;
  bool jobs_closed = false;

  void wake() const {
    const std::uint64_t one = 1;
    (void)!::write(wake_fd, &one, sizeof one);
  }

  // --- the reading thread ---------------------------------------------------------------

  void watch(const ConnectionPtr& c) const {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = c->fd;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, c->fd, &event);
  }

  void forget(const ConnectionPtr& c) {
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
    std::lock_guard lock(mutex);
    connections.erase(c->fd);
  }

  void accept_all() {
    for (;;) {
      const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN, or out of descriptors: the next round tries again
      }
      auto c = std::make_shared<Connection>(fd, limits);
      bool full = false;
      {
        std::lock_guard lock(mutex);
        full = connections.size() >= limits.max_connections;
        if (!full) connections.emplace(fd, c);
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (full) {
        // Refused before anything is read: a fixed answer that fits any socket buffer.
        static constexpr std::string_view kFull =
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\n"
            "Connection: close\r\n\r\n";
        (void)!::send(fd, kFull.data(), kFull.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        continue;  // closed by the destructor
      }
      timeval timeout{};
      timeout.tv_sec = static_cast<time_t>(limits.write_timeout.count() / 1000);
      timeout.tv_usec = static_cast<suseconds_t>((limits.write_timeout.count() % 1000) * 1000);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      c->deadline = Clock::now() + limits.request_deadline;
      c->parser.mark_started();  // the first request's time starts with the connection
      c->parser.request().start = Clock::now();
      watch(c);
    }
  }

  // Answers a request refused while reading, then reads and drops for a moment.
  void refuse(const ConnectionPtr& c, int status) {
    ServerRequest& request = c->parser.request();
    if (request.id.empty()) request.id = random_id();
    ServerResponse res;
    try {
      hooks.error_page(status, request, res);
    } catch (...) {
      res.set_content(status, "", "text/plain");
    }
    res.status = status;
    const std::string head = response_head(res, res.body.size(), false, false);
    (void)send_all(c->fd, head + res.body, Clock::now());
    done(request, status);
    ::shutdown(c->fd, SHUT_WR);
    c->draining = true;
    c->deadline = Clock::now() + kDrainTime;
  }

  void read_from(const ConnectionPtr& c) {
    char buffer[kReadChunk];
    for (;;) {
      const ssize_t n = ::recv(c->fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) return forget(c);  // closed or broken
      if (c->draining) {
        c->drained += static_cast<std::size_t>(n);
        if (c->drained > kDrainBytes) return forget(c);
        continue;
      }
      if (!c->parser.started()) {
        c->parser.mark_started();
        c->parser.request().start = Clock::now();
        c->deadline = Clock::now() + limits.request_deadline;
      }
      c->got_bytes = true;
      c->in.append(buffer, static_cast<std::size_t>(n));
      if (!parse(c)) return;
    }
  }

  // Moves a connection on once its bytes hold a whole request; false when it left reading.
  bool parse(const ConnectionPtr& c) {
    const bool expected_continue = c->parser.expects_continue();
    const auto step = c->parser.feed(c->in);
    if (step == Parser::Step::failed) {
      refuse(c, c->parser.status());
      return false;
    }
    if (step == Parser::Step::more) {
      if (c->parser.expects_continue() && !expected_continue) {
        (void)send_all(c->fd, "HTTP/1.1 100 Continue\r\n\r\n", Clock::now());
      }
      return true;
    }
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
    bool queued = false;
    {
      std::lock_guard lock(jobs_mutex);
      if (jobs.size() < limits.max_waiting) {
        jobs.push_back(c);
        queued = true;
      }
    }
    if (queued) {
      jobs_cv.notify_one();
      return false;
    }
    watch(c);
    refuse(c, 503);
    return false;
  }

  void expire(Clock::time_point now) {
    std::vector<ConnectionPtr> late;
    {
      std::lock_guard lock(mutex);
      for (const auto& [fd, c] : connections) {
        if (c.use_count() == 1 && c->deadline <= now) late.push_back(c);
      }
    }
    // `use_count() == 1` leaves out connections being handled (the handler holds one too).
    for (const auto& c : late) {
      // Nothing of a request yet (a kept-alive or a speculative connection), or an answer
      // the client did not take in time: closed quietly.
      if (c->draining || !c->got_bytes || !c->out.empty()) {
        forget(c);
      } else {
        refuse(c, 408);
      }
    }
  }

  void take_back() {
    std::deque<ConnectionPtr> back;
    {
      std::lock_guard lock(mutex);
      back.swap(handed_back);
    }
    for (const auto& c : back) {
      if (c->out.empty()) {
        read_next(c);
        continue;
      }
      c->deadline = Clock::now() + limits.write_timeout;
      epoll_event event{};
      event.events = EPOLLOUT;
      event.data.fd = c->fd;
      ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, c->fd, &event);
    }
  }

  // Writes more of an answer as the client reads it.
  void write_more(const ConnectionPtr& c) {
    const std::size_t n = send_now(c->fd, c->out);
    if (n == std::string_view::npos) return forget(c);
    c->out.erase(0, n);
    if (!c->out.empty()) return;
    bool stopping = false;
    {
      std::lock_guard lock(mutex);
      stopping = stop_accepting;
    }
    if (!c->keep_after_out || stopping) return forget(c);
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
    read_next(c);
  }

  // A kept-alive connection after its answer: reads its next request.
  void read_next(const ConnectionPtr& c) {
    c->parser = Parser(limits);
    c->got_bytes = !c->in.empty();
    c->deadline = Clock::now() + limits.idle_timeout;
    watch(c);
    if (!c->in.empty()) {  // the next request had already arrived
      c->parser.mark_started();
      c->parser.request().start = Clock::now();
      c->deadline = Clock::now() + limits.request_deadline;
      (void)parse(c);
    }
  }

  void close_readers() {
    std::vector<ConnectionPtr> readers;
    {
      std::lock_guard lock(mutex);
      for (const auto& [fd, c] : connections) {
        if (c.use_count() == 1 && c->out.empty()) readers.push_back(c);
      }
    }
    for (const auto& c : readers) forget(c);
  }

  void run_reactor() {
    epoll_event events[64];
    auto next_sweep = Clock::now();
    bool listening = true;
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (quit) break;
        if (stop_accepting && listening) {
          listening = false;
          ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr);
          ::close(listen_fd);
          listen_fd = -1;
        }
      }
      if (!listening) close_readers();
      const int n = ::epoll_wait(epoll_fd, events, 64, 50);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listen_fd && listening) {
          accept_all();
        } else if (fd == wake_fd) {
          std::uint64_t count = 0;
          (void)!::read(wake_fd, &count, sizeof count);
          take_back();
        } else {
          ConnectionPtr c;
          {
            std::lock_guard lock(mutex);
            const auto it = connections.find(fd);
            if (it != connections.end()) c = it->second;
          }
          if (c && !c->out.empty()) {
            write_more(c);
          } else if (c) {
            read_from(c);
          }
        }
      }
      const auto now = Clock::now();
      if (now >= next_sweep) {
        expire(now);
        next_sweep = now + std::chrono::milliseconds(50);
      }
    }
  }

  // --- the handler threads --------------------------------------------------------------

  static std::string response_head(const ServerResponse& res, std::size_t length, bool chunked,
                                   bool keep_alive) {
    std::string head = "HTTP/1.1 " + std::to_string(res.status) + " ";
    head += status_reason(res.status);
    head += "\r\n";
    for (const auto& [name, value] : res.headers) {
      // A header value never starts a new line, whatever a handler put in it.
      if (value.find_first_of("\r\n") != std::string::npos) continue;
      head += name + ": " + value + "\r\n";
    }
    if (!res.content_type.empty() && (res.status != 204)) {
      head += "Content-Type: " + res.content_type + "\r\n";
    }
    if (chunked) {
      head += "Transfer-Encoding: chunked\r\n";
    } else if (res.status != 204) {
      head += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    head += keep_alive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return head;
  }

  class Writer : public StreamWriter {
   public:
    Writer(const Connection& c, std::chrono::milliseconds timeout) : c_(c), timeout_(timeout) {}
    bool write(std::string_view data) override {
      if (gone_ || c_.closing) return false;
      if (data.empty()) return true;
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", data.size());
      std::string chunk = size;
      chunk.append(data);
      chunk += "\r\n";
      gone_ = !send_all(c_.fd, chunk, Clock::now() + timeout_);
      return !gone_;
    }
    bool client_gone() override {
      if (gone_ || c_.closing) return true;
      pollfd p{c_.fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        gone_ = true;
      }
      return gone_;
    }
    bool finish() {
      if (gone_ || c_.closing) return false;
      return send_all(c_.fd, "0\r\n\r\n", Clock::now() + timeout_);
    }

   private:
    const Connection& c_;
    std::chrono::milliseconds timeout_;
    bool gone_ = false;
  };

  void done(const ServerRequest& request, int status) {
    if (!hooks.on_done) return;
    try {
      hooks.on_done(request, status);
    } catch (...) {  // a log that fails loses its line, nothing more
    }
  }

  // Answers one request; true when the connection goes back to the reading thread: to serve
  // another, or to write the rest of this answer.
  bool answer(Connection& c) {
    ServerRequest& request = c.parser.request();
    request.id = random_id();
    ServerResponse res;
    try {
      hooks.handler(request, res);
    } catch (...) {
      res = ServerResponse{};
      try {
        hooks.error_page(500, request, res);
      } catch (...) {
        res.set_content(500, "", "text/plain");
      }
      res.status = 500;
    }
    bool keep_alive = c.parser.keep_alive();
    {
      std::lock_guard lock(mutex);
      keep_alive = keep_alive && !stop_accepting;
    }
    const auto deadline = Clock::now() + limits.write_timeout;
    bool sent = false;
    if (res.stream) {
      sent = send_all(c.fd, response_head(res, 0, true, keep_alive), deadline);
      Writer writer(c, limits.write_timeout);
      if (sent) {
        try {
          res.stream(writer);
          sent = writer.finish();
        } catch (...) {
          sent = false;
        }
      }
    } else {
      // What the socket takes now goes from here; the rest is the reading thread's to write,
      // so a client that stops reading holds no handler thread.
      std::string out = response_head(res, res.body.size(), false, keep_alive);
      if (request.method != "HEAD") out += res.body;
      const std::size_t n = send_now(c.fd, out);
      sent = n != std::string_view::npos;
      if (sent && n < out.size()) {
        c.out = out.substr(n);
        c.keep_after_out = keep_alive;
        done(request, res.status);
        return !c.closing;
      }
    }
    done(request, res.status);
    return sent && keep_alive && !c.closing;
  }

  void run_handler() {
    for (;;) {
      ConnectionPtr c;
      {
        std::unique_lock lock(jobs_mutex);
        jobs_cv.wait(lock, [&] { return jobs_closed || !jobs.empty(); });
        if (jobs_closed) return;
        c = std::move(jobs.front());
        jobs.pop_front();
      }
      set_blocking(c->fd, true);
      const bool again = answer(*c);
      set_blocking(c->fd, false);
      std::lock_guard lock(mutex);
      if (again && !quit && (!stop_accepting || !c->out.empty())) {
        handed_back.push_back(std::move(c));
        wake();
      } else {
        connections.erase(c->fd);
      }
    }
  }
};

Server::Server(ServerHooks hooks, ServerLimits limits)
    : impl_(std::make_unique<Impl>(std::move(hooks), limits)) {
  if (!impl_->hooks.handler) throw ArgumentError("the HTTP server needs a handler");
  if (limits.handler_threads == 0 || limits.max_connections == 0) {
    throw ArgumentError("the HTTP server's limits must be positive");
  }
}

Server::~Server() {
  close_all();
  if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
  if (impl_->epoll_fd >= 0) ::close(impl_->epoll_fd);
  if (impl_->wake_fd >= 0) ::close(impl_->wake_fd);
}

void Server::bind(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const std::string name = host == "localhost" ? "127.0.0.1" : host;
  if (::getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    throw Error("cannot listen on " + host + ":" + service + " (not a numeric address)");
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, ::freeaddrinfo);
  const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    if (fd >= 0) ::close(fd);
    throw Error("cannot listen on " + host + ":" + service + " (address in use or not available)");
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  impl_->bound_port =
      ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  impl_->listen_fd = fd;
}

int Server::port() const noexcept {
  return impl_->bound_port;
}

void Server::start() {
  auto& i = *impl_;
  if (i.listen_fd < 0) throw Error("the HTTP server is not bound");
  i.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  i.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (i.epoll_fd < 0 || i.wake_fd < 0) throw Error("the HTTP server cannot start (epoll)");
  for (const int fd : {i.listen_fd, i.wake_fd}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(i.epoll_fd, EPOLL_CTL_ADD, fd, &event);
  }
  for (std::size_t t = 0; t < i.limits.handler_threads; ++t) {
    i.handlers.emplace_back([&i] { i.run_handler(); });
  }
  i.reactor = std::thread([&i] { i.run_reactor(); });
}

void Server::stop_accepting() {
  std::lock_guard lock(impl_->mutex);
  impl_->stop_accepting = true;
}

void Server::close_all() {
  auto& i = *impl_;
  {
    std::lock_guard lock(i.mutex);
    i.stop_accepting = true;
    i.quit = true;
    for (const auto& [fd, c] : i.connections) {
      c->closing = true;
      ::shutdown(fd, SHUT_RDWR);  // blocked writes fail at once
    }
  }
  {
    std::lock_guard lock(i.jobs_mutex);
    i.jobs_closed = true;
  }
  i.jobs_cv.notify_all();
  if (i.reactor.joinable()) i.reactor.join();
  for (auto& t : i.handlers) {
    if (t.joinable()) t.join();
  }
  i.handlers.clear();
  {
    std::lock_guard lock(i.jobs_mutex);
    i.jobs.clear();
  }
  std::lock_guard lock(i.mutex);
  i.connections.clear();
  i.handed_back.clear();
}

bool Server::wait_closed(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (open_connections() > 0) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::size_t Server::open_connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections.size();
}

}  // namespace norvex::http
