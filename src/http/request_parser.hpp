#pragma once
// Reading one HTTP/1.1 request from a connection's bytes as they arrive, within limits (not
// installed; the server and the fuzzer use it).

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "norvex/base/text.hpp"
#include "norvex/http/server.hpp"

namespace norvex::http::detail {

/// The longest chunk-size line.
inline constexpr std::size_t kChunkLineLimit = 256;

/// %XX decoded (and '+' as a space when asked); null for a malformed escape or a NUL byte.
std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space);

int hex_digit(char c) noexcept;
bool is_token_char(char c) noexcept;

/// Reads one request. The bytes it has not consumed never exceed the longest line the
/// current part may have, so a connection's buffer stays bounded whatever arrives.
/// Thread rule: one connection's, used by one thread at a time.
class Parser {
 public:
  enum class Step { more, done, failed };

  explicit Parser(const ServerLimits& limits) : limits_(&limits) {}

  /// Consumes what it can of `in` (from the front); `failed` leaves the status in status().
  Step feed(std::string& in) {
    std::size_t used = 0;
    Step step = Step::more;
    while (step == Step::more) {
      const std::string_view rest = std::string_view(in).substr(used);
      if (state_ == State::body) {
        const std::size_t take = std::min(rest.size(), remaining_);
        request_.body.append(rest.substr(0, take));
        used += take;
        remaining_ -= take;
        if (remaining_ == 0) state_ = chunked_ ? State::chunk_end : State::complete;
        if (take == 0 && remaining_ > 0) break;
        if (state_ == State::complete) step = Step::done;
        continue;
      }
      const std::size_t limit = line_limit();
      const std::size_t end = rest.find('\n');
      if (end == std::string_view::npos) {
        if (rest.size() > limit) step = fail(state_ == State::request_line ? 414 : 431);
        break;
      }
      if (end + 1 > limit) {
        step = fail(state_ == State::request_line ? 414 : 431);
        break;
      }
      std::string_view line = rest.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      used += end + 1;
      step = take_line(line, end + 1);
    }
    in.erase(0, used);
    return step;
  }

  [[nodiscard]] int status() const noexcept { return status_; }
  [[nodiscard]] bool keep_alive() const noexcept { return keep_alive_; }
  [[nodiscard]] bool expects_continue() const noexcept { return expect_continue_; }
  [[nodiscard]] bool started() const noexcept { return started_; }
  void mark_started() { started_ = true; }
  ServerRequest& request() noexcept { return request_; }

 private:
  enum class State { request_line, headers, body, chunk_size, chunk_end, trailers, complete };

  std::size_t line_limit() const noexcept {
    switch (state_) {
      case State::request_line:
        return limits_->max_request_line;
      case State::headers:
      case State::trailers:
        return limits_->max_header_bytes - std::min(limits_->max_header_bytes, header_bytes_);
      default:
        return kChunkLineLimit;
    }
  }

  Step fail(int status) {
    status_ = status;
    keep_alive_ = false;
    return Step::failed;
  }

  Step take_line(std::string_view line, std::size_t length) {
    switch (state_) {
      case State::request_line:
        if (line.empty() && request_.method.empty() && blank_lines_++ < 4) return Step::more;
        return request_line(line);
      case State::headers:
      case State::trailers:
        header_bytes_ += length;
        if (line.empty()) return state_ == State::headers ? headers_done() : finish();
        if (++header_count_ > limits_->max_header_count) return fail(431);
        return header_line(line);
      case State::chunk_size:
        return chunk_size(line);
      case State::chunk_end:
        if (!line.empty()) return fail(400);
        state_ = State::chunk_size;
        return Step::more;
      default:
        return fail(400);
    }
  }

  Step request_line(std::string_view line) {
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) return fail(400);
    request_.method = std::string(line.substr(0, first));
    request_.target = std::string(line.substr(first + 1, last - first - 1));
    request_.version = std::string(line.substr(last + 1));
    if (request_.method.empty() || !std::all_of(request_.method.begin(), request_.method.end(),
                                                [](char c) { return c >= 'A' && c <= 'Z'; })) {
      return fail(400);
    }
    if (request_.version != "HTTP/1.1" && request_.version != "HTTP/1.0") {
      return fail(request_.version.rfind("HTTP/", 0) == 0 ? 505 : 400);
    }
    // Only the origin form: a full URL would name a host other than the Host header does.
    if (request_.target.empty() || request_.target.front() != '/') return fail(400);
    const auto q = request_.target.find('?');
    const auto path = percent_decode(std::string_view(request_.target).substr(0, q), false);
    if (!path) return fail(400);
    request_.path = *path;
    if (q != std::string::npos) request_.query = request_.target.substr(q + 1);
    state_ = State::headers;
    return Step::more;
  }

  Step header_line(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return fail(400);
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), is_token_char)) return fail(400);
    const std::string_view value = base::trim(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(),
                    [](char c) { return c == '\0' || c == '\r' || c == '\n'; })) {
      return fail(400);
    }
    if (state_ == State::headers) request_.headers.emplace_back(name, value);
    return Step::more;
  }

  Step headers_done() {
    const bool http11 = request_.version == "HTTP/1.1";
    const auto connection = base::lower(request_.header("Connection").value_or(""));
    keep_alive_ = http11 ? connection.find("close") == std::string::npos
                         : connection.find("keep-alive") != std::string::npos;
    if (request_.header_count("Host") > 1 || (http11 && request_.header_count("Host") == 0)) {
      return fail(400);
    }
    const auto encoding = request_.header("Transfer-Encoding");
    const std::size_t lengths = request_.header_count("Content-Length");
    if (encoding) {
      // Both, or an encoding we do not read, could make a proxy in front read another body.
      if (lengths > 0 || request_.header_count("Transfer-Encoding") > 1 || !http11) {
        return fail(400);
      }
      if (!base::iequals(*encoding, "chunked")) return fail(501);
      chunked_ = true;
      state_ = State::chunk_size;
    } else if (lengths > 0) {
      std::optional<std::string_view> length;
      for (const auto& [n, v] : request_.headers) {
        if (!base::iequals(n, "Content-Length")) continue;
        if (v.empty() || v.size() > 18 ||
            !std::all_of(v.begin(), v.end(), [](char d) { return d >= '0' && d <= '9'; }) ||
            (length && *length != v)) {
          return fail(400);
        }
        length = v;
      }
      remaining_ = std::stoull(std::string(*length));
      if (remaining_ > limits_->max_body_bytes) return fail(413);
      state_ = remaining_ > 0 ? State::body : State::complete;
    } else {
      state_ = State::complete;
    }
    const auto expect = request_.header("Expect");
    expect_continue_ =
        expect && base::iequals(*expect, "100-continue") && state_ != State::complete;
    if (state_ == State::complete) return Step::done;
    request_.body.reserve(chunked_ ? 0 : remaining_);
    return Step::more;
  }

  Step chunk_size(std::string_view line) {
    const std::string_view digits = base::trim(line.substr(0, line.find(';')));
    if (digits.empty() || digits.size() > 15) return fail(digits.empty() ? 400 : 413);
    std::size_t size = 0;
    for (const char c : digits) {
      const int d = hex_digit(c);
      if (d < 0) return fail(400);
      size = size * 16 + static_cast<std::size_t>(d);
    }
    if (size == 0) {
      state_ = State::trailers;
      return Step::more;
    }
    if (size > limits_->max_body_bytes - request_.body.size()) return fail(413);
    remaining_ = size;
    state_ = State::body;
    return Step::more;
  }

  Step finish() {
    state_ = State::complete;
    return Step::done;
  }

  const ServerLimits* limits_;
  ServerRequest request_;
  State state_ = State::request_line;
  std::size_t header_bytes_ = 0;
  std::size_t header_count_ = 0;
  std::size_t remaining_ = 0;
  std::size_t blank_lines_ = 0;
  bool chunked_ = false;
  bool keep_alive_ = false;
  bool expect_continue_ = false;
  bool started_ = false;
  int status_ = 0;
};

}  // namespace norvex::http::detail
