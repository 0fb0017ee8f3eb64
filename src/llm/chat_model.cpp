#include "norvex/llm/chat_model.hpp"

#include <cctype>
#include <optional>
#include <set>
#include <utility>

#include "norvex/error.hpp"
#include "text.hpp"

namespace norvex::llm {
namespace {

using detail::excerpt;
using detail::trim;

// What a model without native structured output is told, followed by the record's schema.
constexpr std::string_view kJsonAnswerInstruction =
    "Answer with only a JSON object that matches this JSON schema, without any other text:\n";

constexpr std::string_view kFence = "```";

[[noreturn]] void fail(const RecordSchema& schema, const std::string& what,
                       std::string_view answer) {
  throw OutputParseError(schema.name + ": " + what + "; answer: " + excerpt(answer));
}

// The inside of a code fence that spans the whole text (its language tag dropped), or
// nullopt when the text is not one fenced block.
std::optional<std::string_view> fenced_body(std::string_view text) {
  if (text.size() < 2 * kFence.size() || !text.starts_with(kFence) || !text.ends_with(kFence)) {
    return std::nullopt;
  }
  std::string_view body = text.substr(kFence.size(), text.size() - 2 * kFence.size());
  if (body.find(kFence) != std::string_view::npos) return std::nullopt;  // several blocks
  const auto newline = body.find('\n');
  if (newline != std::string_view::npos) {
    const std::string_view tag = body.substr(0, newline);
    bool is_tag = true;
    for (char c : tag) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '+' ||
            c == '.' || c == '\r')) {
        is_tag = false;
      }
    }
    if (is_tag) body.remove_prefix(newline + 1);
  }
  return trim(body);
}

// A text field's value without a wrapping tag of the field's own name or a code fence; both
// may be nested either way round. Values that are not wholly wrapped stay as they are.
std::string unwrap_text(const std::string& field, std::string value) {
  const std::string open = "<" + field + ">";
  const std::string close = "</" + field + ">";
  for (int round = 0; round < 2; ++round) {
    const std::string_view t = trim(value);
    if (t.size() >= open.size() + close.size() && t.starts_with(open) && t.ends_with(close)) {
      const std::string_view inner = t.substr(open.size(), t.size() - open.size() - close.size());
      if (inner.find(open) == std::string_view::npos) {
        value = std::string(trim(inner));
        continue;
      }
    }
    if (auto body = fenced_body(t)) {
      value = std::string(*body);
      continue;
    }
    break;
  }
  return value;
}

bool has_any_field(const RecordSchema& schema, const Json& object) {
  for (const auto& field : schema.fields) {
    if (object.contains(field.name)) return true;
  }
  return false;
}

// Some servers answering in text wrap the record as a function call ({"name": …,
// "arguments": {…}}) or under the record's name; look inside such a wrapper.
const Json& unwrap_call(const RecordSchema& schema, const Json& object, Json& holder) {
  if (has_any_field(schema, object)) return object;
  for (const char* key : {"arguments", "parameters"}) {
    const auto it = object.find(key);
    if (it == object.end()) continue;
    if (it->is_object()) return *it;
    if (it->is_string()) {
      holder = Json::parse(it->get<std::string>(), nullptr, false);
      if (holder.is_object()) return holder;
    }
  }
  const auto named = object.find(schema.name);
  if (named != object.end() && named->is_object()) return *named;
  return object;
}

}  // namespace

Json record_json_schema(const RecordSchema& schema) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const auto& field : schema.fields) {
    Json property = Json::object();
    if (field.type == FieldType::text) {
      property["type"] = "string";
    } else {
      property["type"] = "array";
      property["items"] = {{"type", "string"}};
    }
    property["description"] = field.description;
    properties[field.name] = std::move(property);
    required.push_back(field.name);
  }
  return Json{{"type", "object"},
              {"properties", std::move(properties)},
              {"required", std::move(required)},
              {"additionalProperties", false}};
}

Json validate_record(const RecordSchema& schema, const Json& candidate) {
  if (!candidate.is_object()) {
    fail(schema, std::string("expected a JSON object, got ") + candidate.type_name(),
         candidate.dump());
  }
  Json holder;
  const Json& object = unwrap_call(schema, candidate, holder);
  Json record = Json::object();
  for (const auto& field : schema.fields) {
    const auto it = object.find(field.name);
    if (it == object.end()) {
      fail(schema, "the required field '" + field.name + "' is missing", candidate.dump());
    }
    if (field.type == FieldType::text) {
      if (!it->is_string()) {
        fail(schema,
             "the field '" + field.name + "' must be a text, got " + std::string(it->type_name()),
             candidate.dump());
      }
      record[field.name] = unwrap_text(field.name, it->get<std::string>());
    } else {
      bool ok = it->is_array();
      if (ok) {
        for (const auto& item : *it) ok = ok && item.is_string();
      }
      if (!ok) {
        fail(schema,
             "the field '" + field.name + "' must be a list of texts, got " +
                 (it->is_array() ? std::string("a list holding other values")
                                 : std::string(it->type_name())),
             candidate.dump());
      }
      record[field.name] = *it;
    }
  }
  return record;
}

Json parse_record(const RecordSchema& schema, std::string_view text) {
  std::string_view body = trim(text);
  if (auto fenced = fenced_body(body)) body = *fenced;
  Json value = Json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    // A JSON object amid prose (or in a fence amid prose): take the outermost braces.
    const auto first = body.find('{');
    const auto last = body.rfind('}');
    if (first != std::string_view::npos && last != std::string_view::npos && last > first) {
      value = Json::parse(body.substr(first, last - first + 1), nullptr, false);
    }
  }
  if (value.is_discarded()) {
    fail(schema, body.empty() ? "the answer is empty" : "the answer holds no valid JSON object",
         text);
  }
  return validate_record(schema, value);
}

ChatModel::~ChatModel() = default;

prompts::AIMessage ChatModel::invoke(std::string_view text) {
  return invoke(std::vector<prompts::Message>{prompts::HumanMessage(std::string(text))});
}

Json ChatModel::invoke_record(const RecordSchema& schema,
                              const std::vector<prompts::Message>& messages) {
  std::vector<prompts::Message> asked = messages;
  asked.push_back(prompts::HumanMessage(std::string(kJsonAnswerInstruction) +
                                        record_json_schema(schema).dump(2)));
  return parse_record(schema, invoke(asked).content);
}

std::shared_ptr<StructuredModel> ChatModel::with_structured_output(RecordSchema schema) {
  std::shared_ptr<ChatModel> self = weak_from_this().lock();
  // A model not owned by a shared_ptr is referenced without ownership.
  if (!self) self = std::shared_ptr<ChatModel>(std::shared_ptr<void>(), this);
  return std::make_shared<StructuredModel>(std::move(self), std::move(schema));
}

void ChatModel::set_save_path(const std::string& /*save_path*/) {}

StructuredModel::StructuredModel(std::shared_ptr<ChatModel> model, RecordSchema schema)
    : model_(std::move(model)), schema_(std::move(schema)) {
  if (!model_) throw ArgumentError("a structured model needs a chat model");
  if (schema_.name.empty()) throw ArgumentError("a record schema needs a name");
  if (schema_.fields.empty()) {
    throw ArgumentError("the record schema '" + schema_.name + "' has no fields");
  }
  std::set<std::string> seen;
  for (const auto& field : schema_.fields) {
    if (field.name.empty() || !seen.insert(field.name).second) {
      throw ArgumentError("the record schema '" + schema_.name +
                          "' has an empty or repeated field name '" + field.name + "'");
    }
  }
}

Json StructuredModel::invoke(const std::vector<prompts::Message>& messages) const {
  return model_->invoke_record(schema_, messages);
}

Json StructuredModel::invoke(std::string_view text) const {
  return invoke(std::vector<prompts::Message>{prompts::HumanMessage(std::string(text))});
}

}  // namespace norvex::llm
