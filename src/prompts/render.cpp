// Both placeholder syntaxes compile to one flat node list: text slices of the template,
// value insertions and loops (a loop node's body is the run of nodes after it). Every name
// is resolved while parsing (outside variable, loop binding or loop.index), so rendering is
// a walk with no lookups beyond one per outside variable.
#include "norvex/prompts/render.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "norvex/error.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kFStringName = "f-string";
constexpr std::string_view kJinja2Name = "jinja2";

// Deep enough for any real prompt, shallow enough that rendering cannot exhaust the stack.
constexpr std::size_t kMaxLoopDepth = 16;
// How much of the template an error message quotes at the position of the fault.
constexpr std::size_t kExcerptLength = 24;

// Words that mean something else in jinja2 (literals, operators, statements); reading them as
// variable names would silently change the output, so templates may not use them.
constexpr std::array<std::string_view, 18> kReservedWords{
    "and",    "or",   "not",   "in",   "is",   "if",    "else", "elif", "for",
    "endfor", "true", "false", "none", "True", "False", "None", "loop", "recursive"};

enum class RefKind : std::uint8_t {
  variable,      // an outside variable: slot = index into variables
  loop_item,     // the element of a one-name loop: slot = loop depth
  loop_element,  // element `element` of the pair of a two-name loop: slot = loop depth
  loop_index,    // loop.index of the innermost loop: slot = loop depth
};

struct Ref {
  RefKind kind = RefKind::variable;
  std::uint8_t element = 0;
  std::uint32_t slot = 0;
};

enum class NodeKind : std::uint8_t { text, value, loop };

struct Node {
  NodeKind kind = NodeKind::text;
  std::uint8_t arity = 0;  // loop: one or two bound names
  Ref ref;                 // value: what to insert; loop: the sequence
  std::size_t begin = 0;   // text: slice of the template text
  std::size_t length = 0;
  std::size_t end = 0;  // loop: index of the first node after the body
};

// One loop pass while rendering: the current element and its 1-based position.
struct Frame {
  const Json* item;
  std::size_t index;
};

bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_name_char(char c) {
  return is_name_start(c) || (c >= '0' && c <= '9');
}
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_name(std::string_view text) {
  return !text.empty() && is_name_start(text.front()) &&
         std::all_of(text.begin() + 1, text.end(), is_name_char);
}

bool is_reserved(std::string_view name) {
  return std::find(kReservedWords.begin(), kReservedWords.end(), name) != kReservedWords.end();
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string quoted(std::string_view text) {
  return python_repr(Json(std::string(text)));
}

[[noreturn]] void fail(TemplateFormat format, std::string_view text, std::size_t offset,
                       const std::string& what) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::string message = "invalid ";
  message += format == TemplateFormat::jinja2 ? "jinja2 template" : "prompt template";
  message += " at line " + std::to_string(line) + ", column " +
             std::to_string(offset - line_start + 1) + ": " + what;
  if (offset < text.size()) {
    message += " (at " + quoted(text.substr(offset, kExcerptLength)) + ")";
  }
  throw ValueError(message);
}

const char* type_name(const Json& value) {
  return value.is_null() ? "None" : value.type_name();
}

std::string describe(const Json& value) {
  if (value.is_array()) return "a list of " + std::to_string(value.size()) + " elements";
  return std::string("a value of type ") + type_name(value);
}

}  // namespace

struct CompiledTemplate::Impl {
  TemplateFormat format = TemplateFormat::f_string;
  std::string text;
  std::vector<Node> nodes;
  std::vector<std::string> variables;

  // --- building -------------------------------------------------------------------------

  void add_text(std::size_t begin, std::size_t end) {
    if (end <= begin) return;
    // Adjacent slices (e.g. before and after a "{{" escape) merge into one node.
    if (!nodes.empty() && nodes.back().kind == NodeKind::text &&
        nodes.back().begin + nodes.back().length == begin) {
      nodes.back().length += end - begin;
      return;
    }
    Node node;
    node.begin = begin;
    node.length = end - begin;
    nodes.push_back(node);
  }

  std::uint32_t variable_slot(std::string_view name) {
    const auto found = std::find(variables.begin(), variables.end(), name);
    if (found != variables.end()) return static_cast<std::uint32_t>(found - variables.begin());
    variables.emplace_back(name);
    return static_cast<std::uint32_t>(variables.size() - 1);
  }

  void parse_f_string() {
    const std::string_view s = text;
    std::size_t text_start = 0;
    std::size_t pos = 0;
    while ((pos = s.find_first_of("{}", pos)) != std::string_view::npos) {
      const bool doubled = pos + 1 < s.size() && s[pos + 1] == s[pos];
      if (doubled) {
        add_text(text_start, pos + 1);  // keep one brace of the pair
        pos += 2;
        text_start = pos;
        continue;
      }
      if (s[pos] == '}') {
        fail(format, s, pos, "single '}' (write '}}' for a literal brace)");
      }
      if (s.find('}', pos + 1) == std::string_view::npos) {
        fail(format, s, pos, "'{' is never closed (write '{{' for a literal brace)");
      }
      std::size_t name_end = pos + 1;
      while (name_end < s.size() && is_name_char(s[name_end])) ++name_end;
      const std::string_view name = s.substr(pos + 1, name_end - pos - 1);
      if (s[name_end] != '}') {
        const char c = s[name_end];
        if (!name.empty() && (c == ':' || c == '!' || c == '.' || c == '[')) {
          fail(format, s, pos,
               "placeholder '" + std::string(name) +
                   "' is followed by a format, conversion, attribute or index; only "
                   "bare names are supported");
        }
        fail(format, s, pos, "a placeholder must be a bare name followed by '}'");
      }
      if (name.empty()) {
        fail(format, s, pos, "empty placeholder '{}'; name the variable");
      }
      if (!is_name_start(name.front())) {
        fail(format, s, pos, "placeholder '{" + std::string(name) + "}' is not a name");
      }
      add_text(text_start, pos);
      Node node;
      node.kind = NodeKind::value;
      node.ref.slot = variable_slot(name);
      nodes.push_back(node);
      pos = name_end + 1;
      text_start = pos;
    }
    add_text(text_start, s.size());
  }

  // Loop bindings visible while parsing jinja2, innermost last.
  struct Scope {
    std::array<std::string_view, 2> names;
    std::uint8_t arity;
    std::size_t node;    // index of the loop node
    std::size_t offset;  // where its tag starts, for error messages
  };

  Ref resolve(std::string_view name, const std::vector<Scope>& scopes) {
    for (std::size_t depth = scopes.size(); depth-- > 0;) {
      const Scope& scope = scopes[depth];
      for (std::uint8_t i = 0; i < scope.arity; ++i) {
        if (scope.names[i] == name) {
          Ref ref;
          ref.kind = scope.arity == 1 ? RefKind::loop_item : RefKind::loop_element;
          ref.element = i;
          ref.slot = static_cast<std::uint32_t>(depth);
          return ref;
        }
      }
    }
    Ref ref;
    ref.slot = variable_slot(name);
    return ref;
  }

  void parse_expression(std::size_t offset, std::string_view content,
                        const std::vector<Scope>& scopes) {
    const std::string_view expression = trim(content);
    Node node;
    node.kind = NodeKind::value;
    if (expression == "loop.index") {
      if (scopes.empty()) fail(format, text, offset, "loop.index outside a for loop");
      node.ref.kind = RefKind::loop_index;
      node.ref.slot = static_cast<std::uint32_t>(scopes.size() - 1);
    } else if (expression.empty()) {
      fail(format, text, offset, "empty expression in '{{ }}'");
    } else if (!is_name(expression) || is_reserved(expression)) {
      fail(
          format, text, offset,
          "unsupported expression " + quoted(expression) + " (only a variable name or loop.index)");
    } else {
      node.ref = resolve(expression, scopes);
    }
    nodes.push_back(node);
  }

  // Splits a tag's content into names and commas; anything else is outside the subset.
  std::vector<std::string_view> tag_words(std::size_t offset, std::string_view content) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < content.size()) {
      if (is_blank(content[i])) {
        ++i;
      } else if (content[i] == ',') {
        words.push_back(content.substr(i, 1));
        ++i;
      } else if (is_name_start(content[i])) {
        const std::size_t start = i;
        while (i < content.size() && is_name_char(content[i])) ++i;
        words.push_back(content.substr(start, i - start));
      } else {
        fail(format, text, offset,
             "unsupported character " + quoted(content.substr(i, 1)) + " in a '{% %}' tag" +
                 (content[i] == '-' ? " (whitespace control is not supported)" : ""));
      }
    }
    return words;
  }

  void parse_for(std::size_t offset, const std::vector<std::string_view>& words,
                 std::vector<Scope>& scopes) {
    // for NAME [, NAME] in NAME
    const bool pair = words.size() == 6 && words[2] == ",";
    const std::size_t in_at = pair ? 4 : 2;
    const bool shape_ok = (words.size() == 4 || pair) && words[in_at] == "in";
    if (!shape_ok) {
      fail(format, text, offset,
           "a loop tag must read '{% for x in seq %}' or '{% for a, b in seq %}'");
    }
    const std::string_view first = words[1];
    const std::string_view second = pair ? words[3] : std::string_view{};
    const std::string_view sequence = words[in_at + 1];
    for (const auto name : {first, second, sequence}) {
      if (!name.empty() && (!is_name(name) || is_reserved(name))) {
        fail(format, text, offset, quoted(name) + " cannot be used as a name in a loop tag");
      }
    }
    if (pair && first == second) {
      fail(format, text, offset, "a loop binds the same name twice");
    }
    if (scopes.size() == kMaxLoopDepth) {
      fail(format, text, offset,
           "loops are nested deeper than " + std::to_string(kMaxLoopDepth) + " levels");
    }
    Node node;
    node.kind = NodeKind::loop;
    node.arity = pair ? 2 : 1;
    node.ref = resolve(sequence, scopes);  // the sequence is read in the enclosing scope
    nodes.push_back(node);
    scopes.push_back(Scope{{first, second}, node.arity, nodes.size() - 1, offset});
  }

  void parse_tag(std::size_t offset, std::string_view content, std::vector<Scope>& scopes) {
    const auto words = tag_words(offset, content);
    if (words.empty()) fail(format, text, offset, "empty '{% %}' tag");
    if (words[0] == "for") {
      parse_for(offset, words, scopes);
    } else if (words[0] == "endfor") {
      if (words.size() != 1) fail(format, text, offset, "'endfor' takes nothing after it");
      if (scopes.empty()) fail(format, text, offset, "'endfor' without a matching 'for'");
      nodes[scopes.back().node].end = nodes.size();
      scopes.pop_back();
    } else {
      fail(format, text, offset,
           "unknown tag " + quoted(words[0]) + " (only 'for' and 'endfor' are supported)");
    }
  }

  void parse_jinja2() {
    std::string_view s = text;
    // One line break at the very end of the text is not part of the output.
    if (!s.empty() && s.back() == '\n') {
      s.remove_suffix(1);
      if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    }
    std::vector<Scope> scopes;
    std::size_t text_start = 0;
    std::size_t pos = 0;
    while ((pos = s.find('{', pos)) != std::string_view::npos) {
      if (pos + 1 >= s.size()) break;
      const char kind = s[pos + 1];
      std::string_view closer;
      if (kind == '{') {
        closer = "}}";
      } else if (kind == '%') {
        closer = "%}";
      } else if (kind == '#') {
        closer = "#}";
      } else {
        ++pos;  // a lone brace is plain text
        continue;
      }
      const std::size_t close = s.find(closer, pos + 2);
      if (close == std::string_view::npos) {
        fail(format, s, pos,
             "'" + std::string(s.substr(pos, 2)) + "' is never closed by '" + std::string(closer) +
                 "'");
      }
      add_text(text_start, pos);
      const std::string_view content = s.substr(pos + 2, close - pos - 2);
      if (kind == '{') {
        parse_expression(pos, content, scopes);
      } else if (kind == '%') {
        parse_tag(pos, content, scopes);
      }
      pos = close + 2;
      text_start = pos;
    }
    add_text(text_start, s.size());
    if (!scopes.empty()) {
      fail(format, s, scopes.back().offset, "loop is never closed by '{% endfor %}'");
    }
  }

  // --- rendering ------------------------------------------------------------------------

  // Looks up every outside variable once; nullptr where one is not given.
  std::vector<const Json*> bind(const Variables& values) const {
    if (!values.is_object() && !values.is_null()) {
      throw ArgumentError(std::string("template variables must be a JSON object, not ") +
                          type_name(values));
    }
    std::vector<const Json*> slots(variables.size(), nullptr);
    if (values.is_null()) return slots;
    for (std::size_t i = 0; i < variables.size(); ++i) {
      const auto found = values.find(variables[i]);
      if (found != values.end()) slots[i] = &*found;
    }
    return slots;
  }

  const Json* lookup(const Ref& ref, const std::vector<const Json*>& slots,
                     const std::vector<Frame>& frames) const {
    switch (ref.kind) {
      case RefKind::variable:
        return slots[ref.slot];
      case RefKind::loop_item:
        return frames[ref.slot].item;
      case RefKind::loop_element:
        return &(*frames[ref.slot].item)[ref.element];
      case RefKind::loop_index:
        break;
    }
    return nullptr;
  }

  void walk(std::size_t first, std::size_t last, const std::vector<const Json*>& slots,
            std::vector<Frame>& frames, std::string& out) const {
    for (std::size_t i = first; i < last;) {
      const Node& node = nodes[i];
      switch (node.kind) {
        case NodeKind::text:
          out.append(text, node.begin, node.length);
          ++i;
          break;
        case NodeKind::value:
          if (node.ref.kind == RefKind::loop_index) {
            out += std::to_string(frames[node.ref.slot].index);
          } else if (const Json* value = lookup(node.ref, slots, frames)) {
            append_text(out, *value);
          }
          ++i;
          break;
        case NodeKind::loop:
          run_loop(i, slots, frames, out);
          i = node.end;
          break;
      }
    }
  }

  void run_loop(std::size_t at, const std::vector<const Json*>& slots, std::vector<Frame>& frames,
                std::string& out) const {
    const Node& node = nodes[at];
    const Json* sequence = lookup(node.ref, slots, frames);
    if (sequence == nullptr) return;  // a missing sequence loops zero times
    if (!sequence->is_array()) {
      throw ValueError("a jinja2 loop needs a list to iterate over, got " +
                       std::string(type_name(*sequence)));
    }
    std::size_t index = 0;
    for (const Json& element : *sequence) {
      ++index;
      if (node.arity == 2 && !(element.is_array() && element.size() == 2)) {
        // The value itself stays out of the message: it may be query data.
        throw ValueError("a jinja2 loop over pairs met element " + std::to_string(index) +
                         ", which is " + describe(element) + ", not a pair");
      }
      frames.push_back(Frame{&element, index});
      walk(at + 1, node.end, slots, frames, out);
      frames.pop_back();
    }
  }

  void render_to(std::string& out, const Variables& values) const {
    const auto slots = bind(values);
    if (format == TemplateFormat::f_string) {
      std::string missing;
      for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] != nullptr) continue;
        missing += missing.empty() ? "'" : ", '";
        missing += variables[i] + "'";
      }
      if (!missing.empty()) {
        throw ArgumentError("missing variable " + missing +
                            " for the prompt template (the template uses it, the call did "
                            "not give it)");
      }
    }
    const std::size_t mark = out.size();
    std::vector<Frame> frames;
    try {
      walk(0, nodes.size(), slots, frames, out);
    } catch (...) {
      out.resize(mark);
      throw;
    }
  }
};

std::string_view template_format_name(TemplateFormat format) noexcept {
  return format == TemplateFormat::jinja2 ? kJinja2Name : kFStringName;
}

TemplateFormat parse_template_format(std::string_view name) {
  if (name == kFStringName) return TemplateFormat::f_string;
  if (name == kJinja2Name) return TemplateFormat::jinja2;
  throw ArgumentError("unknown template format " + quoted(name) +
                      " (expected 'f-string' or 'jinja2')");
}

CompiledTemplate::CompiledTemplate(std::string text, TemplateFormat format) {
  auto impl = std::make_shared<Impl>();
  impl->format = format;
  impl->text = std::move(text);
  if (format == TemplateFormat::jinja2) {
    impl->parse_jinja2();
  } else {
    impl->parse_f_string();
  }
  impl_ = std::move(impl);
}

std::string CompiledTemplate::render(const Variables& variables) const {
  std::string out;
  // Values usually outweigh the template text; this saves the first few regrowths.
  out.reserve(impl_->text.size() + impl_->text.size() / 2);
  impl_->render_to(out, variables);
  return out;
}

void CompiledTemplate::render_to(std::string& out, const Variables& variables) const {
  impl_->render_to(out, variables);
}

TemplateFormat CompiledTemplate::format() const noexcept {
  return impl_->format;
}

const std::string& CompiledTemplate::text() const noexcept {
  return impl_->text;
}

const std::vector<std::string>& CompiledTemplate::variables() const noexcept {
  return impl_->variables;
}

std::string render(std::string_view text, TemplateFormat format, const Variables& variables) {
  return CompiledTemplate(std::string(text), format).render(variables);
}

}  // namespace norvex::prompts
