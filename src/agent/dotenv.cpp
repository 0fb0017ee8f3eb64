#include "norvex/agent/dotenv.hpp"
#include "norvex/base/output.hpp"
#include "norvex/base/text.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "norvex/error.hpp"

namespace norvex::agent {
namespace {

using base::is_blank;

bool is_newline(char c) {
  return c == '\n' || c == '\r';
}

bool is_name_char(char c) {
  return c != '=' && c != '#' && c != '\'' && c != '"' && c != '\0' && c != '\\' && !is_blank(c) &&
         !is_newline(c) && c != '\v' && c != '\f';
}

// Walks the text once; every "line" it reads is one variable, or one skipped line.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  DotenvFile run() {
    DotenvFile out;
    while (pos_ < text_.size()) {
      const std::size_t start = pos_;
      const std::size_t start_line = line_;
      std::string name;
      std::string value;
      switch (statement(name, value)) {
        case Result::empty:
          break;
        case Result::variable:
          out.variables.emplace_back(std::move(name), std::move(value));
          break;
        case Result::bad:
          // Resume on the line after the one where the statement began, so an unclosed
          // quote costs one line, not the rest of the file.
          pos_ = start;
          line_ = start_line;
          skip_to_line_end();
          out.skipped_lines.push_back(start_line);
          break;
      }
      consume_newline();
    }
    return out;
  }

 private:
  enum class Result { empty, variable, bad };

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool at_end() const { return pos_ >= text_.size(); }
  bool at_line_end() const { return at_end() || is_newline(text_[pos_]); }
  void skip_blanks() {
    while (!at_end() && is_blank(text_[pos_])) ++pos_;
  }
  void skip_to_line_end() {
    while (!at_line_end()) ++pos_;
  }
  void consume_newline() {
    if (at_end()) return;
    if (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
    ++pos_;
    ++line_;
  }
  // Advances over one character inside a quoted value, counting lines.
  char take() {
    const char c = text_[pos_++];
    if (c == '\n' || (c == '\r' && peek() != '\n')) ++line_;
    return c;
  }

  Result statement(std::string& name, std::string& value) {
    skip_blanks();
    if (at_line_end()) return Result::empty;
    if (peek() == '#') {
      skip_to_line_end();
      return Result::empty;
    }
    if (text_.substr(pos_, 6) == "export" && pos_ + 6 < text_.size() && is_blank(text_[pos_ + 6])) {
      pos_ += 6;
      skip_blanks();
    }
    const std::size_t name_start = pos_;
    while (!at_end() && is_name_char(text_[pos_])) ++pos_;
    name = std::string(text_.substr(name_start, pos_ - name_start));
    skip_blanks();
    if (name.empty() || peek() != '=') return Result::bad;
    ++pos_;
    skip_blanks();

    bool ok = true;
    if (peek() == '\'' || peek() == '"') {
      ok = quoted(value);
      if (ok) {
        skip_blanks();
        if (peek() == '#') skip_to_line_end();
        ok = at_line_end();
      }
    } else {
      unquoted(value);
    }
    if (!ok || value.find('\0') != std::string::npos) return Result::bad;
    return Result::variable;
  }

  void unquoted(std::string& value) {
    const std::size_t start = pos_;
    skip_to_line_end();
    std::string_view raw = text_.substr(start, pos_ - start);
    for (std::size_t i = 1; i < raw.size(); ++i) {
      if (raw[i] == '#' && is_blank(raw[i - 1])) {
        raw = raw.substr(0, i);
        break;
      }
    }
    while (!raw.empty() && (is_blank(raw.back()) || raw.back() == '\v' || raw.back() == '\f'))
      raw.remove_suffix(1);
    value = std::string(raw);
  }

  bool quoted(std::string& value) {
    const char quote = text_[pos_++];
    while (!at_end()) {
      const char c = take();
      if (c == quote) return true;
      if (c != '\\' || at_end()) {
        value += c;
        continue;
      }
      const char next = peek();
      if (quote == '\'') {
        if (next == '\'' || next == '\\') {
          value += take();
        } else {
          value += c;
        }
        continue;
      }
      switch (next) {
        case 'n':
          value += '\n';
          break;
        case 't':
          value += '\t';
          break;
        case 'r':
          value += '\r';
          break;
        case '"':
          value += '"';
          break;
        case '\'':
          value += '\'';
          break;
        case '\\':
          value += '\\';
          break;
        case '$':
          value += '$';
          break;
        default:
          value += c;
          continue;  // an unknown escape stays as written
      }
      take();
    }
    return false;  // no closing quote
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
};

}  // namespace

DotenvFile parse_dotenv(std::string_view text) {
  return Parser(text).run();
}

std::filesystem::path dotenv_path() {
  const char* named = std::getenv(std::string(kDotenvVariable).c_str());
  if (named != nullptr && *named != '\0') return named;
  return std::filesystem::path(std::string(kDotenvFileName));
}

std::size_t load_dotenv(const std::filesystem::path& file, bool override_existing) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return 0;
  std::ifstream in(file, std::ios::binary);
  if (!in || std::filesystem::is_directory(file, ec)) {
    throw Error("cannot read the dotenv file '" + file.string() + "'");
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Error("cannot read the dotenv file '" + file.string() + "'");
  const DotenvFile parsed = parse_dotenv(text);
  for (const std::size_t line : parsed.skipped_lines) {
    base::print_line("norvex: skipped line " + std::to_string(line) + " of the dotenv file '" +
                         file.string() + "': not NAME=value",
                     base::Stream::err);
  }
  // A name given twice takes its last value, as in a shell; what the environment held
  // before this load is decided first, so the file's own first value does not count.
  std::vector<std::pair<std::string, std::string>> last;
  // (No structured binding here: clang 14, which builds the fuzzers, cannot capture one.)
  for (const auto& variable : parsed.variables) {
    auto it = std::find_if(last.begin(), last.end(),
                           [&](const auto& e) { return e.first == variable.first; });
    if (it != last.end()) {
      it->second = variable.second;
    } else {
      last.push_back(variable);
    }
  }
  std::size_t set = 0;
  for (const auto& [name, value] : last) {
    if (!override_existing && std::getenv(name.c_str()) != nullptr) continue;
    if (::setenv(name.c_str(), value.c_str(), 1) == 0) ++set;
  }
  return set;
}

std::size_t load_dotenv() noexcept {
  try {
    return load_dotenv(dotenv_path());
  } catch (const std::exception& error) {
    base::print_line(std::string("norvex: ") + error.what(), base::Stream::err);
  } catch (...) {
  }
  return 0;
}

}  // namespace norvex::agent
