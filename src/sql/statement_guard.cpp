#include "norvex/sql/statement_guard.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <string>

#include "norvex/error.hpp"

namespace norvex::sql {
namespace {

constexpr std::string_view kRefused = "Statement refused: ";

constexpr std::array<std::string_view, 7> kAllowedFirst = {"SELECT",   "WITH", "VALUES", "SHOW",
                                                           "DESCRIBE", "DESC", "EXPLAIN"};

// Words that write, change the session, or reach outside the database. Checked as whole
// words outside quotes and comments, so column values and quoted names never trip them.
constexpr std::string_view kForbiddenWords[] = {
    // writes and schema changes (also inside WITH, EXPLAIN ANALYZE and FOR UPDATE)
    "INSERT", "UPDATE", "DELETE", "MERGE", "UPSERT", "DROP", "CREATE", "ALTER", "TRUNCATE",
    "RENAME", "GRANT", "REVOKE",
    // session and engine control
    "SET", "PRAGMA", "ATTACH", "DETACH", "VACUUM", "REINDEX",
    // files, server-side code and copies
    "INTO", "OUTFILE", "DUMPFILE", "COPY", "LOAD", "CALL", "EXEC", "EXECUTE",
    // functions that write files or objects, read server files, or act on other sessions
    "LOAD_FILE", "LO_EXPORT", "LO_IMPORT", "LO_UNLINK", "LO_FROM_BYTEA", "LO_PUT", "LO_CREATE",
    "PG_READ_FILE", "PG_READ_BINARY_FILE", "PG_WRITE_FILE", "PG_FILE_WRITE", "PG_LS_DIR",
    "PG_TERMINATE_BACKEND", "PG_CANCEL_BACKEND", "PG_RELOAD_CONF", "PG_NOTIFY", "SET_CONFIG",
    "DBLINK", "DBLINK_EXEC", "LOAD_EXTENSION", "WRITEFILE", "XP_CMDSHELL", "OPENROWSET",
    "OPENDATASOURCE"};

[[noreturn]] void refuse(const std::string& why) {
  throw DatabaseError(std::string(kRefused) + why, "42000");
}

bool word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string upper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

class Scanner {
 public:
  Scanner(std::string_view text, const SqlLexicon& lexicon) : s_(text), lex_(lexicon) {}

  // Moves past blanks and comments. False at the end of the text.
  bool skip_space() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (std::isspace(static_cast<unsigned char>(c)) != 0) {
        ++pos_;
      } else if (c == '-' && peek(1) == '-' && dash_comment()) {
        skip_line();
      } else if (c == '#' && lex_.hash_comments) {
        skip_line();
      } else if (c == '/' && peek(1) == '*') {
        // MySQL runs the text of /*! ... */ and /*M! ... */: never treat it as a comment.
        if (peek(2) == '!' || (peek(2) == 'M' && peek(3) == '!')) {
          refuse("executable comments (/*! ... */) are not allowed");
        }
        const std::size_t end = s_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) refuse("unterminated comment");
        pos_ = end + 2;
      } else {
        return true;
      }
    }
    return false;
  }

  // Reads the next token; words come back upper-cased in `word`, other tokens leave it empty.
  void next(std::string& word, char& punct) {
    word.clear();
    punct = 0;
    const char c = s_[pos_];
    if (c == '\'') {
      quoted('\'', lex_.backslash_escapes);
    } else if (c == '"') {
      quoted('"', lex_.backslash_escapes);
    } else if (c == '`' && lex_.backtick_quotes) {
      quoted('`', false);
    } else if (c == '[' && lex_.bracket_quotes) {
      const std::size_t end = s_.find(']', pos_ + 1);
      if (end == std::string_view::npos) refuse("unterminated [name]");
      pos_ = end + 1;
    } else if (c == '$' && lex_.dollar_quotes && dollar_quote()) {
      // consumed
    } else if (word_char(c)) {
      const std::size_t start = pos_;
      while (pos_ < s_.size() && word_char(s_[pos_])) ++pos_;
      // PostgreSQL's E'...' string honours backslash escapes.
      if (pos_ - start == 1 && (c == 'E' || c == 'e') && pos_ < s_.size() && s_[pos_] == '\'') {
        quoted('\'', true);
        return;
      }
      word = upper(s_.substr(start, pos_ - start));
    } else {
      punct = c;
      ++pos_;
    }
  }

 private:
  char peek(std::size_t ahead) const { return pos_ + ahead < s_.size() ? s_[pos_ + ahead] : '\0'; }

  // MySQL reads "--" as a comment only when a blank or control character follows; "1--1" is
  // arithmetic there. The other engines always start a comment.
  bool dash_comment() const {
    if (!lex_.hash_comments) return true;
    const char after = peek(2);
    return after == '\0' || std::isspace(static_cast<unsigned char>(after)) != 0 ||
           std::iscntrl(static_cast<unsigned char>(after)) != 0;
  }

  void skip_line() {
    const std::size_t end = s_.find('\n', pos_);
    pos_ = end == std::string_view::npos ? s_.size() : end + 1;
  }

  void quoted(char quote, bool backslash) {
    ++pos_;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (backslash && c == '\\') {
        pos_ += 2;
        continue;
      }
      if (c == quote) {
        if (peek(1) == quote) {  // doubled quote: an escaped one
          pos_ += 2;
          continue;
        }
        ++pos_;
        return;
      }
      ++pos_;
    }
    refuse(std::string("unterminated quoted text (") + quote + ")");
  }

  // $tag$ ... $tag$; a lone "$1" is a parameter, not a quote.
  bool dollar_quote() {
    std::size_t k = pos_ + 1;
    while (k < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[k])) != 0 || s_[k] == '_'))
      ++k;
    if (k >= s_.size() || s_[k] != '$') return false;
    if (k > pos_ + 1 && std::isdigit(static_cast<unsigned char>(s_[pos_ + 1])) != 0) return false;
    const std::string_view tag = s_.substr(pos_, k - pos_ + 1);
    const std::size_t end = s_.find(tag, k + 1);
    if (end == std::string_view::npos) refuse("unterminated $-quoted text");
    pos_ = end + tag.size();
    return true;
  }

  std::string_view s_;
  const SqlLexicon& lex_;
  std::size_t pos_ = 0;
};

}  // namespace

void check_read_only_statement(std::string_view statement, const SqlLexicon& lexicon) {
  if (statement.find('\0') != std::string_view::npos) refuse("the statement holds a NUL byte");
  Scanner scanner(statement, lexicon);
  std::string word;
  char punct = 0;
  bool first = true;
  bool ended = false;  // a ";" was seen
  while (scanner.skip_space()) {
    scanner.next(word, punct);
    if (ended) {
      if (punct == ';') continue;
      refuse("only one statement may be run at a time");
    }
    if (punct == ';') {
      if (first) refuse("the statement is empty");
      ended = true;
      continue;
    }
    if (first) {
      if (punct == '(') continue;  // "(SELECT ...) UNION (SELECT ...)"
      if (word.empty() ||
          std::find(kAllowedFirst.begin(), kAllowedFirst.end(), word) == kAllowedFirst.end()) {
        refuse(
            "only read-only queries may run; a statement must begin with SELECT, WITH, "
            "VALUES, SHOW, DESCRIBE or EXPLAIN" +
            (word.empty() ? std::string() : " (found " + word + ")"));
      }
      first = false;
    }
    if (!word.empty() && std::find(std::begin(kForbiddenWords), std::end(kForbiddenWords), word) !=
                             std::end(kForbiddenWords)) {
      std::string shown = word;
      if (word == "INTO") {
        // Name the whole construct: INTO OUTFILE, INTO DUMPFILE, SELECT ... INTO a table.
        std::string following;
        char ignored = 0;
        if (scanner.skip_space()) scanner.next(following, ignored);
        shown = (following == "OUTFILE" || following == "DUMPFILE") ? "INTO " + following
                                                                    : "SELECT ... INTO";
      }
      refuse(shown + " is not allowed in a read-only query");
    }
  }
  if (first) refuse("the statement is empty");
}

}  // namespace norvex::sql
