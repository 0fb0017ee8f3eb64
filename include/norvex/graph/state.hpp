#pragma once
/// The state that a graph run carries from node to node: a schema of named fields with merge
/// rules, the read-only state a node sees, and the update a node hands back.

#include <nlohmann/json.hpp>
#include "norvex/base/export.hpp"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace norvex::graph {

/// JSON with object keys kept in insertion order, so states print fields in declared order.
using Json = nlohmann::ordered_json;

/// How an update's value for a field combines with the field's current value.
enum class MergeRule {
  overwrite,  ///< the update's value replaces the current one; unwritten fields are absent
  append,     ///< list concatenation; the field starts as []
  add,        ///< integer addition; the field starts at 0
};

/// The ordered list of state fields and their merge rules.
/// Thread rule: immutable once built; concurrent reads are safe, building is single-threaded.
class NORVEX_API StateSchema {
 public:
  StateSchema() = default;
  /// Declares the fields in order. Throws ValueError on a duplicate or empty field name.
  StateSchema(std::initializer_list<std::pair<std::string, MergeRule>> fields);

  /// Appends a field. Throws ValueError on a duplicate or empty field name.
  StateSchema& add(std::string name, MergeRule rule);

  /// The position of a field, or nothing when the name is not a field.
  [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const;
  [[nodiscard]] std::size_t size() const noexcept { return names_.size(); }
  /// Field names in declared order.
  [[nodiscard]] const std::vector<std::string>& names() const noexcept { return names_; }
  /// Name and rule of the field at `index` (< size()).
  [[nodiscard]] const std::string& name(std::size_t index) const { return names_.at(index); }
  [[nodiscard]] MergeRule rule(std::size_t index) const { return rules_.at(index); }

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::vector<std::string> names_;
  std::vector<MergeRule> rules_;
  std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> index_;
};

class Update;

/// The state of one run: the fields that hold a value, in declared order. Values are shared
/// between copies (copying a State copies one pointer per field), so snapshots are cheap.
/// Thread rule: a const State may be read from any number of threads; merging needs exclusive
/// access.
class NORVEX_API State {
 public:
  /// A fresh state: append fields [], add fields 0, overwrite fields absent.
  /// Throws ArgumentError when `schema` is null.
  explicit State(std::shared_ptr<const StateSchema> schema);
  /// A fresh state with `input` merged by the field rules (keys that are not fields ignored).
  /// Throws ArgumentError when `input` is not an object, ValueError when a value breaks a rule.
  State(std::shared_ptr<const StateSchema> schema, const Json& input);

  /// True when `field` is a field and holds a value.
  [[nodiscard]] bool contains(std::string_view field) const noexcept;
  /// The value of `field`. Throws MissingFieldError naming the field when it is absent or
  /// not a field at all.
  [[nodiscard]] const Json& at(std::string_view field) const;
  /// The value of `field`, or nullptr when absent or not a field.
  [[nodiscard]] const Json* find(std::string_view field) const noexcept;
  /// An object of the present fields in declared order.
  [[nodiscard]] Json to_json() const;
  [[nodiscard]] const StateSchema& schema() const noexcept { return *schema_; }
  [[nodiscard]] const std::shared_ptr<const StateSchema>& shared_schema() const noexcept {
    return schema_;
  }

  /// Merges one update: its last-element replacements first, then its values by the field
  /// rules; keys that are not fields are ignored. Throws ValueError naming the field when a
  /// value breaks its field's rule (the state may then be partly merged).
  void merge(const Update& update);
  /// The two halves of merge(), for callers that merge several updates as one step.
  void apply_replacements(const Update& update);
  void apply_values(const Update& update);

 private:
  std::shared_ptr<const StateSchema> schema_;
  std::vector<std::shared_ptr<const Json>> values_;  // by field position; null = absent
};

/// What a node returns: values to merge into the state by the field rules, plus explicit
/// "replace the last element of list field F with V" operations.
/// Thread rule: not synchronised; one thread builds it, any number may then read it.
class NORVEX_API Update {
 public:
  /// One field's value; `value` is shared so merging never copies it.
  struct Entry {
    std::string field;
    std::shared_ptr<const Json> value;
  };

  Update() = default;

  /// Sets `field` to be merged with `value` by its rule; a second set of the same field
  /// replaces the first. Keys that are not fields are ignored at merge time.
  Update& set(std::string field, Json value);
  /// Replaces the last element of append field `field` with `value`, before the step's
  /// values are merged. Merging fails (ValueError) when the field is not an append field or
  /// its list is empty.
  Update& replace_last(std::string field, Json value);
  /// Every key of `object` becomes a set(). Throws ArgumentError when it is not an object.
  static Update from_json(const Json& object);

  [[nodiscard]] bool empty() const noexcept { return values_.empty() && replacements_.empty(); }
  /// The value given to set(field), or nullptr.
  [[nodiscard]] const Json* find(std::string_view field) const noexcept;
  /// The value given to replace_last(field), or nullptr.
  [[nodiscard]] const Json* find_replacement(std::string_view field) const noexcept;
  [[nodiscard]] const std::vector<Entry>& values() const noexcept { return values_; }
  [[nodiscard]] const std::vector<Entry>& replacements() const noexcept { return replacements_; }
  /// The set() values as an object, in the order they were first set.
  [[nodiscard]] Json to_json() const;

 private:
  std::vector<Entry> values_;
  std::vector<Entry> replacements_;
};

}  // namespace norvex::graph
