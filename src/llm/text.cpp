#include "text.hpp"

namespace norvex::llm::detail {

std::string_view trim(std::string_view text) noexcept {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

std::string excerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Step back over UTF-8 continuation bytes so the excerpt stays valid text.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "…";
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  std::size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

std::string scrub(std::string text, std::string_view secret) {
  // Very short "keys" (such as "none" for a local server) are placeholders, not secrets, and
  // masking them would garble ordinary words.
  if (secret.size() < 5) return text;
  return replace_all(std::move(text), secret, "********");
}

}  // namespace norvex::llm::detail
