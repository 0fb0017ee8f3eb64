#pragma once
/// The question service: an HTTP API (JSON under /v1, an event stream of finished steps, charts
/// by unguessable id, health, readiness and Prometheus metrics) and a web page, over one
/// question pipeline per named database.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/python/analysis.hpp"

namespace norvex::query_flow {
class QueryFlow;
}
namespace norvex::sql {
class CustomSQLDatabase;
}

namespace norvex::serve {

/// How analysis code runs for the service's questions.
enum class SandboxMode { strict, relaxed };

/// "strict" or "relaxed"; throws ArgumentError for any other text.
[[nodiscard]] NORVEX_API SandboxMode parse_sandbox_mode(std::string_view text);
[[nodiscard]] NORVEX_API std::string_view to_string(SandboxMode mode) noexcept;

/// The analysis settings the service runs questions with: the one place where they are chosen.
[[nodiscard]] NORVEX_API python::AnalysisOptions analysis_options_for(SandboxMode mode);

/// One bearer token: a name for the logs, the secret, and the databases it may ask about.
/// Thread rule: a plain value.
struct NORVEX_API Token {
  std::string name;
  std::string secret;
  std::vector<std::string> databases;  ///< names; "*" allows every database
  [[nodiscard]] bool allows(std::string_view database) const;
};

/// Reads tokens, one a line: `NAME SECRET DATABASE[,DATABASE...]` (or `*`), separated by
/// blanks; blank lines and lines starting with '#' are skipped. Throws ArgumentError naming
/// `source` and the line for a malformed line, a repeated name or secret, or no token at all;
/// the secret is never part of a message.
[[nodiscard]] NORVEX_API std::vector<Token> parse_tokens(std::string_view text,
                                                         std::string_view source);
/// parse_tokens() of the file's text. Throws ArgumentError when it cannot be read.
[[nodiscard]] NORVEX_API std::vector<Token> load_tokens(const std::filesystem::path& file);

/// One database the service answers about.
/// Thread rule: a plain value; the flows are shared by concurrent questions.
struct NORVEX_API Database {
  std::string name;
  /// The facade (table lists, readiness, pool occupancy). Required.
  std::shared_ptr<sql::CustomSQLDatabase> db;
  /// The pipeline that answers; null when no model is configured (questions are then refused
  /// with `no_model_message`).
  std::shared_ptr<const query_flow::QueryFlow> flow;
  /// When set, each question gets a pipeline of its own from here instead of `flow` (a
  /// replayed cassette answers in recorded order, so it must start over for every question).
  std::function<std::shared_ptr<const query_flow::QueryFlow>()> fresh_flow;
};

/// Settings of a Server. Thread rule: a plain value.
struct NORVEX_API Options {
  std::string host = "127.0.0.1";
  int port = 8765;  ///< 0 picks a free port (see Server::port())
  /// Bearer tokens. Required when `host` is not a loopback address; without any, every
  /// request is allowed (loopback only).
  std::vector<Token> tokens;
  std::filesystem::path media_dir = "norvex_media";  ///< charts, one folder per question
  /// Question folders older than this are removed (and their charts forgotten).
  std::chrono::seconds media_ttl{24 * 3600};
  std::size_t workers = 8;       ///< questions running at once
  std::size_t queue_limit = 32;  ///< questions waiting for a worker (then 503)
  std::size_t per_token_limit =
      8;  ///< questions of one token running or waiting (then 429); only with tokens
  std::size_t max_body_bytes = 64 * 1024;  ///< request bodies (then 413)
  std::size_t max_question_chars = 4000;   ///< question texts, in bytes (then 413)
  /// A request must arrive whole (headers and body) within this time, however its bytes
  /// trickle in (then 408 and closed).
  std::chrono::milliseconds read_timeout{10'000};
  std::chrono::milliseconds write_timeout{30'000};  ///< a client that stops reading is dropped
  std::chrono::seconds retry_after{2};              ///< the Retry-After of 429 and 503 answers
  std::size_t max_connections = 512;  ///< open connections; beyond, 503 at once and closed
  /// Answer CORS requests from this origin only; it is also the one other origin whose pages
  /// may call the service (any other Origin gets 403).
  std::optional<std::string> cors_origin;
  /// Host names the service answers for besides its listening address and `localhost` (any
  /// other Host gets 421, so a site whose name resolves to 127.0.0.1 reads nothing).
  std::vector<std::string> allowed_hosts;
  /// The pages that may frame the service's page (Content-Security-Policy frame-ancestors).
  std::string frame_ancestors = "'none'";
  /// How long /readyz waits for a database's answer before calling it unreachable.
  std::chrono::milliseconds probe_timeout{2'000};
  bool log_questions = false;  ///< also log question texts
  SandboxMode sandbox = SandboxMode::strict;
  /// Why questions are refused when a database has no flow.
  std::string no_model_message = "no chat model is configured";
  /// Receives the access log, one line per request, and the service's notices; default
  /// standard error. Called from the service's threads until the Server is destroyed.
  std::function<void(std::string_view)> log;
};

/// The service. start() binds and serves on background threads; shutdown() drains.
/// Thread rule: start(), shutdown() and the destructor from one thread; the rest from any.
class NORVEX_API Server {
 public:
  /// Throws ArgumentError for no databases, a repeated or malformed name, a database
  /// without a facade, a non-loopback `host` without tokens, or a zero limit.
  Server(std::vector<Database> databases, Options options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Binds and starts serving. Throws Error when the address cannot be bound.
  void start();
  /// The bound port (after start()).
  [[nodiscard]] int port() const noexcept;
  /// Stops accepting connections and new questions, then waits up to `grace` for the
  /// questions in flight. Returns true when every question finished. Idempotent.
  bool shutdown(std::chrono::milliseconds grace);
  /// Questions running or waiting now.
  [[nodiscard]] std::size_t questions_in_flight() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// True for 127.0.0.0/8, ::1 and "localhost".
[[nodiscard]] NORVEX_API bool is_loopback_host(std::string_view host) noexcept;

}  // namespace norvex::serve
