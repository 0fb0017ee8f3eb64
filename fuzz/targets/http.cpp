// The HTTP request parser, fed hostile bytes in pieces as a connection delivers them.
#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz_targets.hpp"
#include "request_parser.hpp"

namespace norvex::fuzz {

// The first byte sets how many bytes arrive at a time; the rest is what the client sends.
// Whatever it is, the parser neither throws nor keeps more than its longest line unread, and
// a request it completes keeps within every limit.
void fuzz_http_request(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  http::ServerLimits limits;
  limits.max_request_line = 128;
  limits.max_header_count = 8;
  limits.max_header_bytes = 512;
  limits.max_body_bytes = 1024;
  const std::size_t piece = data[0] % 64 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t longest =
      std::max({limits.max_request_line, limits.max_header_bytes, http::detail::kChunkLineLimit});
  http::detail::Parser parser(limits);
  using Step = http::detail::Parser::Step;
  std::string in;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    in.append(text.substr(at, piece));
    Step step = Step::more;
    try {
      step = parser.feed(in);
    } catch (...) {
      fuzz_check(false, "the parser threw");
    }
    if (step == Step::failed) {
      const int s = parser.status();
      fuzz_check(s == 400 || s == 413 || s == 414 || s == 431 || s == 501 || s == 505,
                 "a refusal with an unexpected status");
      return;
    }
    if (step == Step::done) {
      const auto& request = parser.request();
      fuzz_check(request.body.size() <= limits.max_body_bytes, "a body beyond the limit");
      fuzz_check(request.headers.size() <= limits.max_header_count, "too many headers");
      std::size_t bytes = 0;
      for (const auto& [name, value] : request.headers) bytes += name.size() + value.size();
      fuzz_check(bytes <= limits.max_header_bytes, "header bytes beyond the limit");
      fuzz_check(!request.method.empty() && request.target.front() == '/',
                 "a request without a method or an origin-form target");
      fuzz_check(request.path.find('\0') == std::string::npos, "a NUL in the decoded path");
      return;
    }
    fuzz_check(in.size() <= longest, "unread bytes beyond the longest line");
  }
}

}  // namespace norvex::fuzz
