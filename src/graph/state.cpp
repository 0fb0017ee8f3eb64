#include "norvex/graph/state.hpp"

#include <atomic>
#include <cstdint>
#include <limits>

#include "norvex/error.hpp"

namespace norvex::graph {
namespace {

std::string describe(const Json& value) {
  return value.type_name();
}

// Lists are only ever created here, as non-const objects, so that a list no other state
// shares can grow in place instead of being copied on every append.
std::shared_ptr<const Json> make_value(Json value) {
  return std::make_shared<Json>(std::move(value));
}

// The list at `slot` ready to be changed: itself when nobody else holds it, else a copy.
Json& writable_list(std::shared_ptr<const Json>& slot) {
  if (slot.use_count() == 1) {
    // Pairs with the release of the last other owner's reference count decrement.
    std::atomic_thread_fence(std::memory_order_acquire);
    return const_cast<Json&>(*slot);
  }
  auto copy = std::make_shared<Json>(*slot);
  Json& ref = *copy;
  slot = std::move(copy);
  return ref;
}

std::int64_t to_counter(const Json& value, const std::string& field) {
  if (value.is_number_unsigned()) {
    const auto raw = value.get<std::uint64_t>();
    if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw ValueError("add field '" + field + "' cannot hold " + std::to_string(raw));
    }
    return static_cast<std::int64_t>(raw);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  throw ValueError("add field '" + field + "' needs an integer update, got " + describe(value));
}

Update::Entry* find_entry(std::vector<Update::Entry>& entries, std::string_view field) {
  for (auto& entry : entries) {
    if (entry.field == field) return &entry;
  }
  return nullptr;
}

const Json* find_value(const std::vector<Update::Entry>& entries, std::string_view field) noexcept {
  for (const auto& entry : entries) {
    if (entry.field == field) return entry.value.get();
  }
  return nullptr;
}

void put(std::vector<Update::Entry>& entries, std::string field, Json value) {
  auto shared = make_value(std::move(value));
  if (auto* existing = find_entry(entries, field)) {
    existing->value = std::move(shared);
  } else {
    entries.push_back({std::move(field), std::move(shared)});
  }
}

}  // namespace

// ---- StateSchema ----

StateSchema::StateSchema(std::initializer_list<std::pair<std::string, MergeRule>> fields) {
  for (const auto& [name, rule] : fields) add(name, rule);
}

StateSchema& StateSchema::add(std::string name, MergeRule rule) {
  if (name.empty()) throw ValueError("a state field needs a name");
  if (index_.contains(name)) throw ValueError("state field '" + name + "' is declared twice");
  index_.emplace(name, names_.size());
  names_.push_back(std::move(name));
  rules_.push_back(rule);
  return *this;
}

std::optional<std::size_t> StateSchema::find(std::string_view name) const {
  const auto it = index_.find(name);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

// ---- State ----

State::State(std::shared_ptr<const StateSchema> schema) : schema_(std::move(schema)) {
  if (!schema_) throw ArgumentError("a state needs a schema");
  values_.resize(schema_->size());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    switch (schema_->rule(i)) {
      case MergeRule::append:
        values_[i] = make_value(Json::array());
        break;
      case MergeRule::add:
        values_[i] = make_value(Json(std::int64_t{0}));
        break;
      case MergeRule::overwrite:
        break;
    }
  }
}

State::State(std::shared_ptr<const StateSchema> schema, const Json& input)
    : State(std::move(schema)) {
  merge(Update::from_json(input));
}

bool State::contains(std::string_view field) const noexcept {
  return find(field) != nullptr;
}

const Json* State::find(std::string_view field) const noexcept {
  const auto index = schema_->find(field);
  return index ? values_[*index].get() : nullptr;
}

const Json& State::at(std::string_view field) const {
  if (const Json* value = find(field)) return *value;
  throw MissingFieldError(std::string(field));
}

Json State::to_json() const {
  Json out = Json::object();
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (values_[i]) out[schema_->name(i)] = *values_[i];
  }
  return out;
}

void State::merge(const Update& update) {
  apply_replacements(update);
  apply_values(update);
}

void State::apply_replacements(const Update& update) {
  for (const auto& [field, value] : update.replacements()) {
    const auto index = schema_->find(field);
    if (!index) continue;
    if (schema_->rule(*index) != MergeRule::append) {
      throw ValueError("cannot replace the last element of '" + field +
                       "': it is not an append (list) field");
    }
    auto& slot = values_[*index];
    if (slot->empty()) {
      throw ValueError("cannot replace the last element of '" + field + "': the list is empty");
    }
    Json& list = writable_list(slot);
    list.back() = *value;
  }
}

void State::apply_values(const Update& update) {
  for (const auto& [field, value] : update.values()) {
    const auto index = schema_->find(field);
    if (!index) continue;
    auto& slot = values_[*index];
    switch (schema_->rule(*index)) {
      case MergeRule::overwrite:
        slot = value;
        break;
      case MergeRule::append: {
        if (!value->is_array()) {
          throw ValueError("append field '" + field + "' needs a list update, got " +
                           describe(*value));
        }
        if (value->empty()) break;
        Json& list = writable_list(slot);
        for (const auto& element : *value) list.push_back(element);
        break;
      }
      case MergeRule::add: {
        const std::int64_t current = slot->get<std::int64_t>();
        const std::int64_t delta = to_counter(*value, field);
        std::int64_t sum = 0;
        if (__builtin_add_overflow(current, delta, &sum)) {
          throw ValueError("add field '" + field + "' overflows");
        }
        slot = make_value(Json(sum));
        break;
      }
    }
  }
}

// ---- Update ----

Update& Update::set(std::string field, Json value) {
  put(values_, std::move(field), std::move(value));
  return *this;
}

Update& Update::replace_last(std::string field, Json value) {
  put(replacements_, std::move(field), std::move(value));
  return *this;
}

Update Update::from_json(const Json& object) {
  if (!object.is_object()) {
    throw ArgumentError("an update must be a JSON object, got " + describe(object));
  }
  Update update;
  update.values_.reserve(object.size());
  for (const auto& [key, value] : object.items()) {
    update.values_.push_back({key, make_value(value)});
  }
  return update;
}

const Json* Update::find(std::string_view field) const noexcept {
  return find_value(values_, field);
}

const Json* Update::find_replacement(std::string_view field) const noexcept {
  return find_value(replacements_, field);
}

Json Update::to_json() const {
  Json out = Json::object();
  for (const auto& [field, value] : values_) out[field] = *value;
  return out;
}

}  // namespace norvex::graph
