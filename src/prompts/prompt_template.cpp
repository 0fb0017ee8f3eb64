#include "norvex/prompts/prompt_template.hpp"

#include <algorithm>

namespace norvex::prompts {

PromptTemplate PromptTemplate::from_template(std::string text, TemplateFormat format) {
  return PromptTemplate(CompiledTemplate(std::move(text), format));
}

std::string PromptTemplate::format(const Variables& variables) const {
  return compiled_.render(variables);
}

const std::vector<std::string>& PromptTemplate::input_variables() const noexcept {
  return compiled_.variables();
}

const std::string& PromptTemplate::template_text() const noexcept {
  return compiled_.text();
}

TemplateFormat PromptTemplate::template_format() const noexcept {
  return compiled_.format();
}

Message MessagePromptTemplate::format(const Variables& variables) const {
  return Message{role_, prompt_.format(variables)};
}

MessagePromptTemplate SystemMessagePromptTemplate::from_template(std::string text,
                                                                 TemplateFormat format) {
  return {Role::system, PromptTemplate::from_template(std::move(text), format)};
}

MessagePromptTemplate HumanMessagePromptTemplate::from_template(std::string text,
                                                                TemplateFormat format) {
  return {Role::human, PromptTemplate::from_template(std::move(text), format)};
}

MessagePromptTemplate AIMessagePromptTemplate::from_template(std::string text,
                                                             TemplateFormat format) {
  return {Role::ai, PromptTemplate::from_template(std::move(text), format)};
}

MessageLike::MessageLike(std::string_view role, std::string text)
    : MessageLike(parse_role(role), std::move(text)) {}

MessageLike::MessageLike(Role role, std::string text)
    : message_(role, PromptTemplate::from_template(std::move(text))) {}

ChatPromptTemplate ChatPromptTemplate::from_messages(std::vector<MessageLike> messages) {
  ChatPromptTemplate chat;
  chat.messages_.reserve(messages.size());
  for (auto& message : messages) {
    chat.messages_.push_back(std::move(message).message());
    for (const auto& name : chat.messages_.back().prompt().input_variables()) {
      if (std::find(chat.input_variables_.begin(), chat.input_variables_.end(), name) ==
          chat.input_variables_.end()) {
        chat.input_variables_.push_back(name);
      }
    }
  }
  return chat;
}

std::vector<Message> ChatPromptTemplate::format_messages(const Variables& variables) const {
  std::vector<Message> result;
  result.reserve(messages_.size());
  for (const auto& message : messages_) {
    result.push_back(message.format(variables));
  }
  return result;
}

}  // namespace norvex::prompts
