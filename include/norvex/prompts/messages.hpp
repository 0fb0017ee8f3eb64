#pragma once
/// Chat messages: what prompt templates produce and chat models consume.

#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include "norvex/base/export.hpp"

namespace norvex::prompts {

/// Who speaks a message.
enum class Role { system, human, ai };

/// The role's type name: "system", "human" or "ai".
[[nodiscard]] NORVEX_API std::string_view role_name(Role role) noexcept;

/// Reads a role name as chat APIs write it: "system"; "user" or "human"; "ai" or "assistant".
/// Throws ArgumentError for any other name.
[[nodiscard]] NORVEX_API Role parse_role(std::string_view name);

/// A chat message: a role and a text content. The derived kinds add no data, so a
/// `std::vector<Message>` holds any of them without loss.
/// Thread rule: a plain value; share read-only, copy to modify.
struct NORVEX_API BaseMessage {
  Role role = Role::human;
  std::string content;

  /// "system", "human" or "ai".
  [[nodiscard]] std::string_view type() const noexcept { return role_name(role); }

  friend bool operator==(const BaseMessage&, const BaseMessage&) = default;
};

using Message = BaseMessage;

/// Instructions for the model. Thread rule: as BaseMessage.
struct NORVEX_API SystemMessage : BaseMessage {
  explicit SystemMessage(std::string text) : BaseMessage{Role::system, std::move(text)} {}
};

/// A message from the user. Thread rule: as BaseMessage.
struct NORVEX_API HumanMessage : BaseMessage {
  explicit HumanMessage(std::string text) : BaseMessage{Role::human, std::move(text)} {}
};

/// The model's reply. Thread rule: as BaseMessage.
struct NORVEX_API AIMessage : BaseMessage {
  explicit AIMessage(std::string text) : BaseMessage{Role::ai, std::move(text)} {}
};

/// Writes "type: content" (for logs and test failure output).
NORVEX_API std::ostream& operator<<(std::ostream& out, const BaseMessage& message);

}  // namespace norvex::prompts
