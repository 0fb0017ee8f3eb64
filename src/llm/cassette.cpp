#include "norvex/llm/cassette.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

#include "norvex/error.hpp"
#include "norvex/llm/usage.hpp"
#include "text.hpp"

namespace norvex::llm {
namespace {

thread_local const SavePathScope* innermost_save_path = nullptr;

using detail::excerpt;
using detail::replace_all;

// Every text inside `value` with `from` replaced by `to`.
Json replace_in_json(const Json& value, std::string_view from, std::string_view to) {
  if (from.empty()) return value;
  if (value.is_string()) return replace_all(value.get<std::string>(), from, to);
  if (value.is_array() || value.is_object()) {
    Json out = value;
    for (auto& item : out) item = replace_in_json(item, from, to);
    return out;
  }
  return value;
}

std::vector<prompts::Message> replace_in_messages(std::vector<prompts::Message> messages,
                                                  std::string_view from, std::string_view to) {
  if (from.empty()) return messages;
  for (auto& m : messages) m.content = replace_all(std::move(m.content), from, to);
  return messages;
}

Json messages_to_json(const std::vector<prompts::Message>& messages) {
  Json out = Json::array();
  for (const auto& m : messages) out.push_back({{"role", m.type()}, {"content", m.content}});
  return out;
}

// Both texts around their first difference, so a mismatch shows where prompts diverged.
std::string first_difference(std::string_view expected, std::string_view received) {
  std::size_t pos = 0;
  while (pos < expected.size() && pos < received.size() && expected[pos] == received[pos]) ++pos;
  std::size_t from = pos > 40 ? pos - 40 : 0;
  // Both texts agree before `pos`: step back to the start of a character in either.
  while (from > 0 && (static_cast<unsigned char>(expected[from]) & 0xC0) == 0x80) --from;
  const auto window = [&](std::string_view text) {
    return from >= text.size() ? std::string("(end of text)") : excerpt(text.substr(from), 120);
  };
  return "at character " + std::to_string(pos) + ": expected «" + window(expected) +
         "», received «" + window(received) + "»";
}

std::string describe_mismatch(const std::vector<prompts::Message>& expected,
                              const std::vector<prompts::Message>& received) {
  if (expected.size() != received.size()) {
    return "expected " + std::to_string(expected.size()) + " messages, received " +
           std::to_string(received.size());
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string which = "message " + std::to_string(i + 1);
    if (expected[i].role != received[i].role) {
      return which + ": expected role " + std::string(expected[i].type()) + ", received " +
             std::string(received[i].type());
    }
    if (expected[i].content != received[i].content) {
      return which + " (" + std::string(expected[i].type()) + ") differs " +
             first_difference(expected[i].content, received[i].content);
    }
  }
  return {};
}

Usage usage_of(const Json& usage) {
  Usage u;
  u.calls = 1;
  if (usage.is_object()) {
    u.prompt_tokens = usage.value("prompt_tokens", std::int64_t{0});
    u.completion_tokens = usage.value("completion_tokens", std::int64_t{0});
  }
  return u;
}

}  // namespace

ReplayChatModel::ReplayChatModel(std::filesystem::path cassette, bool match_messages)
    : path_(std::move(cassette)), match_messages_(match_messages) {
  std::ifstream in(path_);
  if (!in) throw ValueError("cannot read the cassette " + path_.string());
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (detail::trim(line).empty()) continue;
    const auto bad = [&](const std::string& what) {
      return ValueError("cassette " + path_.string() + " line " + std::to_string(number) + ": " +
                        what);
    };
    const Json entry = Json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) throw bad("not a JSON object");
    Exchange exchange;
    exchange.line = number;
    const std::string record = entry.value("record", std::string(kTextExchange));
    const auto messages = entry.find("messages");
    if (messages == entry.end() || !messages->is_array()) throw bad("no \"messages\" list");
    for (const auto& m : *messages) {
      if (!m.is_object() || !m.contains("role") || !m["role"].is_string() ||
          !m.contains("content") || !m["content"].is_string()) {
        throw bad("a message needs a \"role\" and a \"content\" text");
      }
      try {
        exchange.messages.push_back(
            {prompts::parse_role(m["role"].get<std::string>()), m["content"].get<std::string>()});
      } catch (const ArgumentError& error) {
        throw bad(error.what());
      }
    }
    const auto answer = entry.find("answer");
    if (answer == entry.end()) throw bad("no \"answer\"");
    if (record == kTextExchange && !answer->is_string()) throw bad("a text answer must be a text");
    exchange.answer = *answer;
    exchange.usage = entry.value("usage", Json());
    exchanges_[record].push_back(std::move(exchange));
  }
}

Json ReplayChatModel::next_answer(const std::string& record,
                                  const std::vector<prompts::Message>& messages) {
  Exchange exchange;
  std::string save_path;
  {
    std::lock_guard lock(mutex_);
    const auto& list = exchanges_[record];
    std::vector<bool>& used = used_[record];
    used.resize(list.size(), false);
    const auto first_unused =
        static_cast<std::size_t>(std::find(used.begin(), used.end(), false) - used.begin());
    if (first_unused >= list.size()) {
      throw ChatServiceError("cassette " + path_.string() + " has no exchange left for '" + record +
                             "' (it holds " + std::to_string(list.size()) + ")");
    }
    const std::string* run_path = SavePathScope::current();
    save_path = run_path != nullptr ? *run_path : save_path_;
    const auto expected_of = [&](std::size_t i) {
      return save_path.empty()
                 ? list[i].messages
                 : replace_in_messages(list[i].messages, kSavePathPlaceholder, save_path);
    };
    std::size_t chosen = first_unused;
    if (match_messages_) {
      // The first unused exchange recorded for this very request, wherever it stands.
      chosen = list.size();
      for (std::size_t i = first_unused; i < list.size(); ++i) {
        if (!used[i] && describe_mismatch(expected_of(i), messages).empty()) {
          chosen = i;
          break;
        }
      }
      if (chosen == list.size()) {
        throw ChatServiceError("cassette " + path_.string() + " line " +
                               std::to_string(list[first_unused].line) + ": request " +
                               std::to_string(first_unused + 1) + " for '" + record +
                               "' does not match the recording: " +
                               describe_mismatch(expected_of(first_unused), messages));
      }
    }
    used[chosen] = true;
    exchange = list[chosen];
  }
  UsageScope::record(usage_of(exchange.usage));
  return save_path.empty() ? exchange.answer
                           : replace_in_json(exchange.answer, kSavePathPlaceholder, save_path);
}

prompts::AIMessage ReplayChatModel::invoke(const std::vector<prompts::Message>& messages) {
  return prompts::AIMessage(next_answer(std::string(kTextExchange), messages).get<std::string>());
}

Json ReplayChatModel::invoke_record(const RecordSchema& schema,
                                    const std::vector<prompts::Message>& messages) {
  const Json answer = next_answer(schema.name, messages);
  return answer.is_string() ? parse_record(schema, answer.get<std::string>())
                            : validate_record(schema, answer);
}

void ReplayChatModel::set_save_path(const std::string& save_path) {
  std::lock_guard lock(mutex_);
  save_path_ = save_path;
}

std::size_t ReplayChatModel::remaining() const {
  std::lock_guard lock(mutex_);
  std::size_t total = 0;
  for (const auto& [record, list] : exchanges_) {
    const auto used = used_.find(record);
    total +=
        list.size() - (used == used_.end() ? 0
                                           : static_cast<std::size_t>(std::count(
                                                 used->second.begin(), used->second.end(), true)));
  }
  return total;
}

SavePathScope::SavePathScope(std::string save_path)
    : save_path_(std::move(save_path)), previous_(innermost_save_path) {
  innermost_save_path = this;
}

SavePathScope::~SavePathScope() {
  innermost_save_path = previous_;
}

const std::string* SavePathScope::current() noexcept {
  return innermost_save_path != nullptr ? &innermost_save_path->save_path_ : nullptr;
}

RecordingChatModel::RecordingChatModel(std::shared_ptr<ChatModel> inner,
                                       std::filesystem::path cassette)
    : inner_(std::move(inner)), path_(std::move(cassette)) {
  if (!inner_) throw ArgumentError("a recording chat model needs a model to wrap");
  std::ofstream probe(path_, std::ios::app);
  if (!probe) throw ValueError("cannot write the cassette " + path_.string());
}

void RecordingChatModel::append(std::string_view record,
                                const std::vector<prompts::Message>& messages, const Json& answer,
                                const Json& usage) {
  std::lock_guard lock(mutex_);
  Json entry = Json::object();
  entry["record"] = record;
  const std::string* run_path = SavePathScope::current();
  const std::string& save_path = run_path != nullptr ? *run_path : save_path_;
  entry["messages"] = replace_in_json(messages_to_json(messages), save_path, kSavePathPlaceholder);
  entry["answer"] = replace_in_json(answer, save_path, kSavePathPlaceholder);
  entry["usage"] = usage;
  std::ofstream out(path_, std::ios::app);
  out << entry.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  out.flush();
  if (!out) throw ValueError("cannot write the cassette " + path_.string());
}

prompts::AIMessage RecordingChatModel::invoke(const std::vector<prompts::Message>& messages) {
  UsageScope scope;
  prompts::AIMessage reply = inner_->invoke(messages);
  const Usage u = scope.totals();
  append(kTextExchange, messages, reply.content,
         {{"prompt_tokens", u.prompt_tokens}, {"completion_tokens", u.completion_tokens}});
  return reply;
}

Json RecordingChatModel::invoke_record(const RecordSchema& schema,
                                       const std::vector<prompts::Message>& messages) {
  UsageScope scope;
  Json record = inner_->invoke_record(schema, messages);
  const Usage u = scope.totals();
  append(schema.name, messages, record,
         {{"prompt_tokens", u.prompt_tokens}, {"completion_tokens", u.completion_tokens}});
  return record;
}

void RecordingChatModel::set_save_path(const std::string& save_path) {
  {
    std::lock_guard lock(mutex_);
    save_path_ = save_path;
  }
  inner_->set_save_path(save_path);
}

}  // namespace norvex::llm
