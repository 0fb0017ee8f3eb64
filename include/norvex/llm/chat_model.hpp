#pragma once
/// The chat-model interface, record schemas and structured answers.

#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/llm/settings.hpp"
#include "norvex/prompts/messages.hpp"

namespace norvex::llm {

/// The type of one record field.
enum class FieldType {
  text,       ///< a JSON string
  text_list,  ///< a JSON array of strings
};

/// One field of a structured answer: its name, type and the description the model sees.
/// Thread rule: a plain value.
struct NORVEX_API RecordField {
  std::string name;
  FieldType type = FieldType::text;
  std::string description;
};

/// A structured answer's shape: a name and its fields, every one required, in order.
/// Thread rule: a plain value.
struct NORVEX_API RecordSchema {
  std::string name;
  std::vector<RecordField> fields;
};

/// The JSON schema of a record (an object with typed, described, required properties and no
/// others), as sent to the service.
[[nodiscard]] NORVEX_API Json record_json_schema(const RecordSchema& schema);

/// Checks and tidies a candidate record: every field present and of its type; a text field
/// whose whole value is wrapped in a tag of the field's own name (`<sql_query>…</sql_query>`)
/// or in a code fence is unwrapped. Returns an object with exactly the schema's fields, in
/// order. Throws OutputParseError saying what was wrong, with a short excerpt.
[[nodiscard]] NORVEX_API Json validate_record(const RecordSchema& schema, const Json& candidate);

/// Reads a record from a model's text: a JSON object, alone, in a code fence, or amid prose;
/// then validate_record(). Throws OutputParseError.
[[nodiscard]] NORVEX_API Json parse_record(const RecordSchema& schema, std::string_view text);

class StructuredModel;

/// A chat-completion client.
/// Thread rule: safe for concurrent calls from any number of threads.
class NORVEX_API ChatModel : public std::enable_shared_from_this<ChatModel> {
 public:
  ChatModel() = default;
  ChatModel(const ChatModel&) = delete;
  ChatModel& operator=(const ChatModel&) = delete;
  virtual ~ChatModel();

  /// One request with these messages; returns the reply. Throws ChatServiceError.
  virtual prompts::AIMessage invoke(const std::vector<prompts::Message>& messages) = 0;

  /// One request with a single human message holding `text`. Throws ChatServiceError.
  prompts::AIMessage invoke(std::string_view text);

  /// One request that asks for a record of this schema; returns it validated (see
  /// validate_record). The default asks in plain text for a JSON object; clients of a real
  /// service override it. Throws ChatServiceError, OutputParseError.
  virtual Json invoke_record(const RecordSchema& schema,
                             const std::vector<prompts::Message>& messages);

  /// A model that answers with records of `schema`. It shares this model (when this model is
  /// owned by a shared_ptr; otherwise the caller keeps this model alive). Throws
  /// ArgumentError for a schema without a name or fields, or with a repeated field name.
  std::shared_ptr<StructuredModel> with_structured_output(RecordSchema schema);

  /// Run-specific values that answers may refer to, such as the save path that replayed
  /// analysis code writes its chart to. Clients of a live service ignore it.
  virtual void set_save_path(const std::string& save_path);
};

/// A chat model bound to a record schema.
/// Thread rule: safe for concurrent calls, like its chat model.
class NORVEX_API StructuredModel {
 public:
  StructuredModel(std::shared_ptr<ChatModel> model, RecordSchema schema);

  /// One request; returns the record as an ordered JSON object with every field present and
  /// typed. Throws ChatServiceError, OutputParseError.
  [[nodiscard]] Json invoke(const std::vector<prompts::Message>& messages) const;
  /// As above, with a single human message. Throws ChatServiceError, OutputParseError.
  [[nodiscard]] Json invoke(std::string_view text) const;

  [[nodiscard]] const RecordSchema& schema() const noexcept { return schema_; }
  [[nodiscard]] const std::shared_ptr<ChatModel>& model() const noexcept { return model_; }

 private:
  std::shared_ptr<ChatModel> model_;
  RecordSchema schema_;
};

}  // namespace norvex::llm
