#pragma once
/// Template variables and the text form in which their values reach a prompt.

#include <string>
#include "norvex/base/export.hpp"

#include <nlohmann/json.hpp>

namespace norvex::prompts {

/// Named values for a template: a JSON object (null counts as an empty object).
using Variables = nlohmann::ordered_json;

/// The text form of a value as a prompt shows it: a string is itself; anything else is
/// written as Python's str() writes the equivalent Python value (2 → "2", 2.0 → "2.0",
/// true → "True", null → "None", ["a", "b"] → "['a', 'b']", {"k": 1} → "{'k': 1}").
/// Never throws for a valid JSON value.
[[nodiscard]] NORVEX_API std::string to_text(const nlohmann::ordered_json& value);

/// Python's repr() of the equivalent Python value: as to_text, except that a string is
/// quoted and escaped ("it's" → "\"it's\"", "a\nb" → "'a\\nb'").
[[nodiscard]] NORVEX_API std::string python_repr(const nlohmann::ordered_json& value);

/// Pairs the elements of two arrays by position, as Python's zip(): [[a0, b0], [a1, b1], ...],
/// as long as the shorter array. This is the sequence a two-name jinja2 loop walks. (Writing
/// the pairs as a nested initializer list instead would make nlohmann::json read them as an
/// object.) Throws ArgumentError when either value is not an array.
[[nodiscard]] NORVEX_API nlohmann::ordered_json zip(const nlohmann::ordered_json& first,
                                                    const nlohmann::ordered_json& second);

/// Appends to_text(value) to `out` (no temporary for strings).
NORVEX_API void append_text(std::string& out, const nlohmann::ordered_json& value);

/// Appends python_repr(value) to `out`.
NORVEX_API void append_python_repr(std::string& out, const nlohmann::ordered_json& value);

}  // namespace norvex::prompts
