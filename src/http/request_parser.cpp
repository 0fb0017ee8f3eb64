// Reading requests: the pieces the server and the fuzzer share.
#include "request_parser.hpp"

#include <cstring>

namespace norvex::http {
namespace detail {

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_token_char(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return false;
  return std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
}

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hex_digit(text[i + 1]);
      const int lo = hex_digit(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    if (c == '\0') return std::nullopt;
    out += c;
  }
  return out;
}

}  // namespace detail

using detail::percent_decode;

std::optional<std::string_view> ServerRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (base::iequals(n, name)) return std::string_view(v);
  }
  return std::nullopt;
}

std::size_t ServerRequest::header_count(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& h) { return base::iequals(h.first, name); }));
}

std::optional<std::string> ServerRequest::param(std::string_view name) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const auto eq = pair.find('=');
    const auto key = percent_decode(pair.substr(0, eq), true);
    if (key && *key == name) {
      return percent_decode(eq == std::string_view::npos ? "" : pair.substr(eq + 1), true);
    }
  }
  return std::nullopt;
}

}  // namespace norvex::http
