#include "norvex/prompts/messages.hpp"

#include <ostream>
#include <string>

#include "norvex/error.hpp"

namespace norvex::prompts {
namespace {

constexpr std::string_view kSystem = "system";
constexpr std::string_view kHuman = "human";
constexpr std::string_view kUser = "user";
constexpr std::string_view kAi = "ai";
constexpr std::string_view kAssistant = "assistant";

}  // namespace

std::string_view role_name(Role role) noexcept {
  switch (role) {
    case Role::system:
      return kSystem;
    case Role::ai:
      return kAi;
    case Role::human:
      break;
  }
  return kHuman;
}

Role parse_role(std::string_view name) {
  if (name == kSystem) return Role::system;
  if (name == kUser || name == kHuman) return Role::human;
  if (name == kAi || name == kAssistant) return Role::ai;
  throw ArgumentError("unknown message role '" + std::string(name) +
                      "' (expected system, user, human, ai or assistant)");
}

std::ostream& operator<<(std::ostream& out, const BaseMessage& message) {
  return out << message.type() << ": " << message.content;
}

}  // namespace norvex::prompts
