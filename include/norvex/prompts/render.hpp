#pragma once
/// The two placeholder syntaxes of prompt texts, parsed once and rendered many times.
///
/// Default syntax: `{name}` inserts the variable's text form, `{{` and `}}` are literal
/// braces; a missing variable is an error.
/// "jinja2" subset: `{{ name }}`, `{{ loop.index }}`, `{% for a, b in seq %}` …
/// `{% endfor %}` (also single-name and nested loops) and `{# comments #}`; a missing
/// variable renders as empty text; one line break at the very end of the text is dropped.

#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/prompts/variables.hpp"

namespace norvex::prompts {

/// The placeholder syntax of a template text.
enum class TemplateFormat { f_string, jinja2 };

/// The syntax's name: "f-string" or "jinja2".
[[nodiscard]] NORVEX_API std::string_view template_format_name(TemplateFormat format) noexcept;

/// Reads "f-string" or "jinja2". Throws ArgumentError for any other name.
[[nodiscard]] NORVEX_API TemplateFormat parse_template_format(std::string_view name);

/// A template text checked and parsed into a node list once, at construction.
/// Thread rule: immutable after construction; copies share the parsed form; safe to share.
class NORVEX_API CompiledTemplate {
 public:
  /// Parses `text` in `format`. Throws ValueError (with line and column) for a malformed
  /// template: in the default syntax an unclosed `{`, a lone `}`, an empty `{}` or anything
  /// but a bare name between braces; in jinja2 an unclosed tag, an unknown tag, an
  /// unsupported expression, an unclosed loop or an `endfor` without a loop.
  CompiledTemplate(std::string text, TemplateFormat format);

  // Copies share the parsed form; there are no move operations on purpose, so a template
  // that was moved from still renders.
  CompiledTemplate(const CompiledTemplate&) = default;
  CompiledTemplate& operator=(const CompiledTemplate&) = default;
  ~CompiledTemplate() = default;

  /// Renders with `variables` (a JSON object; null counts as empty; unused names are
  /// ignored). Throws ArgumentError when `variables` is not an object or, in the default
  /// syntax, lacks a variable the text uses; ValueError when a jinja2 loop's sequence is
  /// not an array or a two-name loop meets an element that is not a pair.
  [[nodiscard]] std::string render(const Variables& variables) const;

  /// As render(), appending to `out`; on an exception `out` is left as it was.
  void render_to(std::string& out, const Variables& variables) const;

  /// The syntax the text was parsed in.
  [[nodiscard]] TemplateFormat format() const noexcept;

  /// The template text as given.
  [[nodiscard]] const std::string& text() const noexcept;

  /// The outside variables the text refers to, in order of first use (loop names and
  /// `loop.index` excluded).
  [[nodiscard]] const std::vector<std::string>& variables() const noexcept;

 private:
  struct Impl;
  std::shared_ptr<const Impl> impl_;
};

/// Parses and renders `text` in one call (parse once with CompiledTemplate when rendering
/// repeatedly). Throws as CompiledTemplate's constructor and render().
[[nodiscard]] NORVEX_API std::string render(std::string_view text, TemplateFormat format,
                                            const Variables& variables);

}  // namespace norvex::prompts
