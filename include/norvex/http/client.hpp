#pragma once
/// A small HTTP client over libcurl, used by the chat clients and the diagram renderer.
/// Thread rule: perform() may be called from any number of threads at once (one curl handle
/// per thread, reused between requests so connections stay open).

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/error.hpp"

namespace norvex::http {

/// Why a request produced no HTTP answer; stable across libcurl versions.
enum class ErrorCode {
  bad_url,         ///< the address cannot be parsed or uses a scheme other than http(s)
  refused_host,    ///< NORVEX_LOOPBACK_ONLY=1 and the host is not a loopback address
  resolve_failed,  ///< the host name could not be resolved
  connect_failed,  ///< nobody accepted the connection
  timeout,         ///< the connect or request time-out expired
  too_large,       ///< the answer exceeded Request::max_response_bytes
  transport,       ///< any other transfer failure (TLS, a broken connection, ...)
};

/// A request that got no HTTP answer. The message names scheme, host and port, never the
/// path, the query or any header, so keys and tokens cannot leak through it.
class NORVEX_API RequestError : public norvex::Error {
 public:
  RequestError(ErrorCode code, const std::string& message)
      : Error(message, code == ErrorCode::connect_failed || code == ErrorCode::timeout ||
                           code == ErrorCode::transport || code == ErrorCode::resolve_failed),
        code_(code) {}
  [[nodiscard]] ErrorCode code() const noexcept { return code_; }

 private:
  ErrorCode code_;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

struct NORVEX_API Request {
  std::string method = "GET";
  std::string url;
  Headers headers;
  std::string body;
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds timeout{120'000};
  std::size_t max_response_bytes = 64u << 20;
};

struct NORVEX_API Response {
  long status = 0;
  std::string body;
  Headers headers;  ///< names as the server sent them, in order
  /// The first header of that name (case-insensitive), if present.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

/// Sends one request and waits for the whole answer. Any HTTP status is a Response; only a
/// missing answer throws. Throws RequestError.
NORVEX_API Response perform(const Request& request);

/// True when NORVEX_LOOPBACK_ONLY=1 is set: then every host but loopback is refused.
NORVEX_API bool loopback_only();

/// True for 127.0.0.0/8, ::1 and "localhost" (any case, with or without IPv6 brackets).
NORVEX_API bool is_loopback_host(std::string_view host);

/// "scheme://host:port" of an address, for messages that must not show paths or queries.
NORVEX_API std::string origin_of(std::string_view url);

}  // namespace norvex::http
