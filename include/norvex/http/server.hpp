#pragma once
/// A small HTTP/1.1 server whose limits hold against hostile clients. One thread reads every
/// connection without blocking and checks each request as it arrives: the request line, the
/// number and total size of header lines, the body whatever its transfer encoding (a declared
/// length is refused before the body is read, chunks are counted as they arrive) and a
/// deadline for the whole request. Only a complete request reaches a handler thread, so slow
/// or huge clients cost bounded memory and never hold the threads that do the work.
/// Connections beyond a limit are answered 503 and closed at once.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::http {

/// Limits of a Server. Thread rule: a plain value.
struct NORVEX_API ServerLimits {
  std::size_t max_request_line = 8 * 1024;   ///< method, target and version (then 414)
  std::size_t max_header_count = 64;         ///< header fields, trailers too (then 431)
  std::size_t max_header_bytes = 32 * 1024;  ///< all header and trailer lines (then 431)
  std::size_t max_body_bytes = 64 * 1024;    ///< declared or chunked (then 413)
  /// From a request's first byte to its last, however the bytes trickle in (then 408).
  std::chrono::milliseconds request_deadline{10'000};
  std::chrono::milliseconds idle_timeout{5'000};  ///< a kept-alive connection between requests
  /// Writing one response (a stream: each of its writes); a client that stops reading loses
  /// its connection.
  std::chrono::milliseconds write_timeout{30'000};
  std::size_t max_connections = 512;  ///< open at once; beyond, 503 and closed
  std::size_t handler_threads = 16;   ///< complete requests handled at once
  std::size_t max_waiting = 1024;     ///< complete requests waiting for a thread (then 503)
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// A complete request. Thread rule: a plain value.
struct NORVEX_API ServerRequest {
  std::string method;
  std::string target;  ///< as sent: path and query
  std::string path;    ///< percent-decoded
  std::string query;   ///< as sent, without '?'
  std::string version;
  HeaderList headers;                             ///< names as sent, in order
  std::string body;                               ///< de-chunked
  std::string id;                                 ///< a random id for logs and error answers
  std::chrono::steady_clock::time_point start{};  ///< its first byte arrived
  /// The first header of that name (case-insensitive).
  [[nodiscard]] std::optional<std::string_view> header(std::string_view name) const;
  /// How many headers have that name.
  [[nodiscard]] std::size_t header_count(std::string_view name) const;
  /// A percent-decoded query parameter ('+' is a space); null when absent or malformed.
  [[nodiscard]] std::optional<std::string> param(std::string_view name) const;
};

/// Writes a streamed body. Thread rule: used by the handler's thread only.
class NORVEX_API StreamWriter {
 public:
  virtual ~StreamWriter() = default;
  /// Sends `data` at once; false once the client is gone (then every later call is false).
  virtual bool write(std::string_view data) = 0;
  /// True once the client closed its side, a write failed or the server is closing.
  [[nodiscard]] virtual bool client_gone() = 0;
};

/// The answer to a request. Thread rule: a plain value.
struct NORVEX_API ServerResponse {
  int status = 200;
  HeaderList headers;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  /// When set, the body is what this writes, sent in chunks as it writes; it may throw (the
  /// connection is then closed).
  std::function<void(StreamWriter&)> stream;
  /// Replaces any header of that name.
  void set_header(std::string_view name, std::string value);
  void set_content(int code, std::string text, std::string type);
};

/// What a Server calls. Called from its threads until it is destroyed.
struct NORVEX_API ServerHooks {
  /// Answers a complete request. What it throws becomes `error_page(500)`.
  std::function<void(const ServerRequest&, ServerResponse&)> handler;
  /// Fills in the answer to a request the server refuses itself (400, 405, 408, 413, 414, 431,
  /// 501, 503, 505) or whose handler threw (500). Default: the status line's reason as text.
  std::function<void(int status, const ServerRequest&, ServerResponse&)> error_page;
  /// After each answer: the request (only the parts read so far for one refused early) and
  /// its status.
  std::function<void(const ServerRequest&, int status)> on_done;
};

/// The server. Thread rule: bind(), start(), stop_accepting(), close_all() and the
/// destructor from one thread; the rest from any.
class NORVEX_API Server {
 public:
  Server(ServerHooks hooks, ServerLimits limits);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Listens on host:port (port 0: any free port). Throws Error when it cannot.
  void bind(const std::string& host, int port);
  [[nodiscard]] int port() const noexcept;
  /// Starts the reading thread and the handler threads.
  void start();
  /// Stops accepting connections and closes those idle or still sending a request; requests
  /// being handled finish, then their connections close.
  void stop_accepting();
  /// After stop_accepting(): waits up to `timeout` for the answers being written; true when
  /// every connection has closed.
  bool wait_closed(std::chrono::milliseconds timeout);
  /// Closes every connection now (a stream sees its client gone) and ends the threads once
  /// their handlers return.
  void close_all();
  /// Connections open now.
  [[nodiscard]] std::size_t open_connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// The reason phrase of a status ("Not Found"); "Unknown" for one it does not know.
NORVEX_API std::string_view status_reason(int status) noexcept;

}  // namespace norvex::http
