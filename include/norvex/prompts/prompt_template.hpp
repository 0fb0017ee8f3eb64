#pragma once
/// Prompt templates: one text (PromptTemplate), one chat message (MessagePromptTemplate)
/// and an ordered list of chat messages (ChatPromptTemplate).

#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/prompts/messages.hpp"
#include "norvex/prompts/render.hpp"
#include "norvex/prompts/variables.hpp"

namespace norvex::prompts {

/// A single text template. Thread rule: immutable after construction; safe to share.
class NORVEX_API PromptTemplate {
 public:
  /// Parses `text` in `format`. Throws ValueError for a malformed template.
  [[nodiscard]] static PromptTemplate from_template(
      std::string text, TemplateFormat format = TemplateFormat::f_string);

  /// The rendered text. Throws ArgumentError for a missing variable (default syntax) or
  /// non-object variables, ValueError for a jinja2 loop over something that is not pairs.
  [[nodiscard]] std::string format(const Variables& variables) const;

  /// The variables the text refers to, in order of first use.
  [[nodiscard]] const std::vector<std::string>& input_variables() const noexcept;

  /// The template text as given.
  [[nodiscard]] const std::string& template_text() const noexcept;
  /// The syntax the text was parsed in.
  [[nodiscard]] TemplateFormat template_format() const noexcept;

 private:
  explicit PromptTemplate(CompiledTemplate compiled) : compiled_(std::move(compiled)) {}
  CompiledTemplate compiled_;
};

/// A role and a text template: renders to one chat message.
/// Thread rule: immutable after construction; safe to share.
class NORVEX_API MessagePromptTemplate {
 public:
  MessagePromptTemplate(Role role, PromptTemplate prompt)
      : role_(role), prompt_(std::move(prompt)) {}

  /// The message of this role with the rendered text. Throws as PromptTemplate::format.
  [[nodiscard]] Message format(const Variables& variables) const;

  /// The role of the messages this template makes.
  [[nodiscard]] Role role() const noexcept { return role_; }
  /// The text template of the message content.
  [[nodiscard]] const PromptTemplate& prompt() const noexcept { return prompt_; }

 private:
  Role role_;
  PromptTemplate prompt_;
};

/// Builds system message templates. Thread rule: stateless.
struct NORVEX_API SystemMessagePromptTemplate {
  /// Throws ValueError for a malformed template.
  [[nodiscard]] static MessagePromptTemplate from_template(
      std::string text, TemplateFormat format = TemplateFormat::f_string);
};

/// Builds human message templates. Thread rule: stateless.
struct NORVEX_API HumanMessagePromptTemplate {
  /// Throws ValueError for a malformed template.
  [[nodiscard]] static MessagePromptTemplate from_template(
      std::string text, TemplateFormat format = TemplateFormat::f_string);
};

/// Builds AI message templates (earlier model replies in a conversation). Thread rule:
/// stateless.
struct NORVEX_API AIMessagePromptTemplate {
  /// Throws ValueError for a malformed template.
  [[nodiscard]] static MessagePromptTemplate from_template(
      std::string text, TemplateFormat format = TemplateFormat::f_string);
};

/// One element of ChatPromptTemplate::from_messages: a message template, or a (role, text)
/// pair in the default syntax, so that `{{"system", "{a}"}, {"user", "{b}"}}` reads as a list.
/// Thread rule: a plain value.
class NORVEX_API MessageLike {
 public:
  // Implicit on purpose: these are the spellings of a list element.
  MessageLike(MessagePromptTemplate message)  // NOLINT(google-explicit-constructor)
      : message_(std::move(message)) {}

  /// Role "system"; "user" or "human"; "ai" or "assistant". Throws ArgumentError for
  /// another role, ValueError for a malformed text.
  MessageLike(std::string_view role, std::string text);
  MessageLike(Role role, std::string text);
  MessageLike(const std::pair<std::string, std::string>& role_and_text)  // NOLINT
      : MessageLike(role_and_text.first, role_and_text.second) {}

  /// The message template this element stands for.
  [[nodiscard]] const MessagePromptTemplate& message() const& noexcept { return message_; }
  [[nodiscard]] MessagePromptTemplate&& message() && noexcept { return std::move(message_); }

 private:
  MessagePromptTemplate message_;
};

/// An ordered list of message templates. Thread rule: immutable after construction; safe
/// to share.
class NORVEX_API ChatPromptTemplate {
 public:
  /// Throws ArgumentError for an unknown role, ValueError for a malformed text (both may
  /// already arise while the list's elements are built).
  [[nodiscard]] static ChatPromptTemplate from_messages(std::vector<MessageLike> messages);

  /// Every message rendered with `variables`, in template order. Throws as
  /// PromptTemplate::format.
  [[nodiscard]] std::vector<Message> format_messages(const Variables& variables) const;

  /// The message templates, in order.
  [[nodiscard]] const std::vector<MessagePromptTemplate>& messages() const noexcept {
    return messages_;
  }

  /// The variables of all messages, in order of first use.
  [[nodiscard]] const std::vector<std::string>& input_variables() const noexcept {
    return input_variables_;
  }

 private:
  std::vector<MessagePromptTemplate> messages_;
  std::vector<std::string> input_variables_;
};

}  // namespace norvex::prompts
