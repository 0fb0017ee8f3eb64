#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_targets.hpp"
#include "norvex/error.hpp"
#include "norvex/prompts/render.hpp"

namespace norvex::fuzz {
namespace {

using prompts::CompiledTemplate;
using prompts::TemplateFormat;
using prompts::Variables;

// A value for each variable the text uses, picked by the name's hash, so that one input
// meets strings, numbers, null, lists of pairs, plain lists and objects.
Variables value_for(const std::string& name) {
  switch (std::hash<std::string>{}(name) % 8) {
    case 0:
      return "text {with} {{braces}} and {% tags %}";
    case 1:
      return 42;
    case 2:
      return nullptr;
    case 3:
      return Variables::array({Variables::array({"a", 1}), Variables::array({"b", 2.5})});
    case 4:
      return Variables::array({"x", "y", "z"});
    case 5:
      return Variables{{"k", "v"}, {"n", 1}};
    case 6:
      return Variables::array({Variables::array({1, 2, 3}), "not a pair"});
    default:
      return true;
  }
}

// A jinja2 loop repeats its body once per element; nested loops multiply, so deep nesting
// is bounded here rather than fuzzing the renderer's output size.
bool too_many_loops(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find("for"); at != std::string_view::npos;
       at = text.find("for", at + 1)) {
    if (++count > 4) return true;
  }
  return false;
}

void run(const std::uint8_t* data, std::size_t size, TemplateFormat format) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (format == TemplateFormat::jinja2 && too_many_loops(text)) return;
  std::optional<CompiledTemplate> compiled;
  try {
    compiled.emplace(text, format);
  } catch (const ValueError&) {
    return;  // a malformed template is refused, as documented
  }
  fuzz_check(compiled->text() == text, "the template keeps its text");

  Variables all = Variables::object();
  for (const auto& name : compiled->variables()) {
    fuzz_check(!name.empty(), "variable names are not empty");
    all[name] = value_for(name);
  }
  std::string out = "prefix";
  try {
    compiled->render_to(out, all);
    fuzz_check(out.starts_with("prefix"), "render_to appends");
  } catch (const ValueError&) {
    // a loop over a value that is not a list (of pairs)
    fuzz_check(format == TemplateFormat::jinja2, "only jinja2 loops refuse their values");
    fuzz_check(out == "prefix", "a failed render leaves the output as it was");
  }

  // Every variable as plain text: the default syntax must render without error.
  Variables texts = Variables::object();
  for (const auto& name : compiled->variables()) texts[name] = name;
  if (format == TemplateFormat::f_string) {
    const std::string rendered = compiled->render(texts);
    (void)rendered;
  }

  // No variables at all: the default syntax reports a missing one, jinja2 renders empty.
  try {
    (void)compiled->render(Variables::object());
    fuzz_check(format == TemplateFormat::jinja2 || compiled->variables().empty(),
               "a missing variable is reported in the default syntax");
  } catch (const ArgumentError&) {
    fuzz_check(format == TemplateFormat::f_string && !compiled->variables().empty(),
               "only a missing default-syntax variable is an argument error");
  } catch (const ValueError&) {
    fuzz_check(format == TemplateFormat::jinja2, "only jinja2 loops refuse their values");
  }
}

}  // namespace

void fuzz_prompt_default(const std::uint8_t* data, std::size_t size) {
  run(data, size, TemplateFormat::f_string);
}

void fuzz_prompt_jinja2(const std::uint8_t* data, std::size_t size) {
  run(data, size, TemplateFormat::jinja2);
}

}  // namespace norvex::fuzz
