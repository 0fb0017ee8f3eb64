#include "output.hpp"

#include <iostream>

#include "norvex/error.hpp"

namespace norvex::dbkit::detail {
namespace {

constexpr std::string_view kMask = "***";

}  // namespace

void print_line(std::string_view text) {
  std::cout << text << '\n' << std::flush;
}

std::string scrub(std::string message, std::string_view secret) {
  if (secret.empty()) return message;
  for (auto at = message.find(secret); at != std::string::npos;
       at = message.find(secret, at + kMask.size())) {
    message.replace(at, secret.size(), kMask);
  }
  return message;
}

void reject_nul(std::string_view value, std::string_view what) {
  if (value.find('\0') != std::string_view::npos) {
    throw ArgumentError(std::string(what) + " must not contain a NUL character");
  }
}

}  // namespace norvex::dbkit::detail
