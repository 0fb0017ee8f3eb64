#pragma once
/// Cassettes: recorded chat exchanges as JSON Lines, one exchange a line:
///   {"record": "SQLQueryInput" | "text", "messages": [{"role": "system", "content": "…"}, …],
///    "answer": {…record…} | "reply text", "usage": {"prompt_tokens": n, "completion_tokens": m}}
/// The run's save path is written as "{save_path}" in messages and answers, so a cassette
/// replays under any save path; keys are never written.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/llm/chat_model.hpp"

namespace norvex::llm {

/// The record name of plain (unstructured) exchanges.
inline constexpr std::string_view kTextExchange = "text";
/// The placeholder a cassette holds where the run's save path was.
inline constexpr std::string_view kSavePathPlaceholder = "{save_path}";

/// The save path of the run the calling thread is working for. Whoever runs a pipeline opens
/// one around each step, so runs in flight at once on one cassette model each keep their own
/// save path; while one is open, cassette models use it instead of set_save_path()'s.
/// Thread rule: a scope belongs to the thread that opened it; close scopes in reverse order.
class NORVEX_API SavePathScope {
 public:
  explicit SavePathScope(std::string save_path);
  ~SavePathScope();
  SavePathScope(const SavePathScope&) = delete;
  SavePathScope& operator=(const SavePathScope&) = delete;

  /// The innermost open scope's save path on this thread, or null. Never throws.
  [[nodiscard]] static const std::string* current() noexcept;

 private:
  std::string save_path_;
  const SavePathScope* previous_;
};

/// A chat model that answers from a cassette: each request is matched to the next exchange
/// of the same record name ("text" for plain calls); its messages must equal the recorded
/// ones (after "{save_path}" is replaced by the save path set with set_save_path()).
/// Thread rule: safe for concurrent calls. A request is answered by the first unused
/// exchange of its record name whose recorded messages it matches, so concurrent questions
/// sharing one cassette each get their own answers whatever order they arrive in; without
/// message matching, exchanges are used in the order the calls arrive.
class NORVEX_API ReplayChatModel : public ChatModel {
 public:
  /// Reads the whole cassette. With match_messages false, requests are not compared.
  /// Throws ValueError naming the file (and line) when it cannot be read or parsed.
  explicit ReplayChatModel(std::filesystem::path cassette, bool match_messages = true);

  using ChatModel::invoke;
  /// Throws ChatServiceError on a mismatch (expected vs received) or when the cassette has no
  /// further exchange for plain calls.
  prompts::AIMessage invoke(const std::vector<prompts::Message>& messages) override;
  /// As invoke(); the recorded answer is validated against `schema`.
  /// Throws ChatServiceError, OutputParseError.
  Json invoke_record(const RecordSchema& schema,
                     const std::vector<prompts::Message>& messages) override;
  void set_save_path(const std::string& save_path) override;

  /// Exchanges not yet used, over all record names.
  [[nodiscard]] std::size_t remaining() const;

 private:
  struct Exchange {
    std::size_t line = 0;
    std::vector<prompts::Message> messages;
    Json answer;
    Json usage;
  };
  Json next_answer(const std::string& record, const std::vector<prompts::Message>& messages);

  std::filesystem::path path_;
  bool match_messages_;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Exchange>> exchanges_;
  std::map<std::string, std::vector<bool>> used_;  // per record name, per exchange
  std::string save_path_;
};

/// Wraps any chat model (and the structured models made from it) and appends every completed
/// exchange to a cassette. Failed calls are not recorded.
/// Thread rule: safe for concurrent calls; each exchange is written as one whole line.
class NORVEX_API RecordingChatModel : public ChatModel {
 public:
  /// Appends to `cassette` (created when missing). Throws ValueError when it cannot be opened.
  RecordingChatModel(std::shared_ptr<ChatModel> inner, std::filesystem::path cassette);

  using ChatModel::invoke;
  prompts::AIMessage invoke(const std::vector<prompts::Message>& messages) override;
  Json invoke_record(const RecordSchema& schema,
                     const std::vector<prompts::Message>& messages) override;
  /// Also passed to the wrapped model. Occurrences of the save path are written as
  /// "{save_path}".
  void set_save_path(const std::string& save_path) override;

 private:
  void append(std::string_view record, const std::vector<prompts::Message>& messages,
              const Json& answer, const Json& usage);

  std::shared_ptr<ChatModel> inner_;
  std::filesystem::path path_;
  std::mutex mutex_;
  std::string save_path_;
};

}  // namespace norvex::llm
