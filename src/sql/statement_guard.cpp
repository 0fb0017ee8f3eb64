#include "norvex/sql/statement_guard.hpp"
#include "norvex/base/text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <string>
#include <vector>

#include "convert.hpp"
#include "norvex/error.hpp"

namespace norvex::sql {
namespace {

using base::lower;
using base::upper;

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
    "INTO", "OUTFILE", "DUMPFILE", "COPY", "LOAD", "CALL", "EXEC", "EXECUTE"};

// Functions that write files or objects, read server files, act on other sessions, open
// connections of their own, or run a query given as text (which the guard never sees).
// Refused as bare words and as quoted names that are called.
constexpr std::string_view kForbiddenFunctions[] = {
    // MySQL / MariaDB
    "LOAD_FILE", "SYS_EXEC", "SYS_EVAL",
    // PostgreSQL: large objects, server files, other backends, configuration
    "LO_EXPORT", "LO_IMPORT", "LO_UNLINK", "LO_FROM_BYTEA", "LO_PUT", "LO_CREATE", "LO_TRUNCATE",
    "LOWRITE", "PG_READ_FILE", "PG_READ_BINARY_FILE", "PG_STAT_FILE", "PG_WRITE_FILE",
    "PG_FILE_WRITE", "PG_FILE_RENAME", "PG_FILE_UNLINK", "PG_FILE_SYNC", "PG_LOGDIR_LS",
    "PG_LS_DIR", "PG_LS_LOGDIR", "PG_LS_WALDIR", "PG_LS_TMPDIR", "PG_LS_ARCHIVE_STATUSDIR",
    "PG_LS_LOGICALSNAPDIR", "PG_LS_LOGICALMAPDIR", "PG_LS_REPLSLOTDIR", "PG_TERMINATE_BACKEND",
    "PG_CANCEL_BACKEND", "PG_RELOAD_CONF", "PG_ROTATE_LOGFILE", "PG_PROMOTE", "PG_SWITCH_WAL",
    "PG_CREATE_RESTORE_POINT", "PG_BACKUP_START", "PG_BACKUP_STOP", "PG_NOTIFY", "SET_CONFIG",
    // PostgreSQL: other connections, and queries handed over as text
    "DBLINK", "DBLINK_EXEC", "DBLINK_CONNECT", "DBLINK_CONNECT_U", "DBLINK_SEND_QUERY",
    "DBLINK_OPEN", "QUERY_TO_XML", "QUERY_TO_XMLSCHEMA", "QUERY_TO_XML_AND_XMLSCHEMA", "TS_STAT",
    // SQLite
    "LOAD_EXTENSION", "WRITEFILE",
    // SQL Server: shells, files, registry, linked servers and ad-hoc connections
    "XP_CMDSHELL", "XP_DIRTREE", "XP_FILEEXIST", "XP_SUBDIRS", "XP_REGREAD", "XP_REGWRITE",
    "SP_OACREATE", "SP_EXECUTESQL", "OPENROWSET", "OPENDATASOURCE", "OPENQUERY",
    "FN_XE_FILE_TARGET_READ_FILE", "FN_GET_AUDIT_FILE", "FN_TRACE_GETTABLE"};

// T-SQL statements that control the server; SQL Server has no read-only session mode to
// stop them, so the guard is the layer that must.
constexpr std::string_view kForbiddenTsqlWords[] = {"KILL",   "SHUTDOWN",   "BACKUP",  "RESTORE",
                                                    "DBCC",   "DENY",       "WAITFOR", "DISABLE",
                                                    "ENABLE", "RECONFIGURE"};

// Reserved T-SQL words that can only begin a statement. SQL Server needs no ";" between the
// statements of a batch, so one of these in the middle of a text starts a second statement.
constexpr std::string_view kTsqlStatementStarts[] = {
    "DECLARE",   "IF",         "WHILE",      "BEGIN",   "COMMIT", "ROLLBACK", "SAVE",
    "PRINT",     "RAISERROR",  "USE",        "RETURN",  "GOTO",   "BULK",     "READTEXT",
    "WRITETEXT", "UPDATETEXT", "CHECKPOINT", "SETUSER", "REVERT"};

template <typename List>
bool listed(const List& list, std::string_view word) {
  return std::find(std::begin(list), std::end(list), word) != std::end(list);
}

[[noreturn]] void refuse(const std::string& why) {
  throw DatabaseError(std::string(kRefused) + why, "42000");
}

bool word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

struct Token {
  enum class Kind { word, name, text, punct };
  Kind kind = Kind::punct;
  std::string value;  // word: upper-cased; name: as the engine reads it (quotes removed)
  char punct = 0;
};

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

  // Reads the next token.
  Token next() {
    Token t;
    const char c = s_[pos_];
    if (c == '\'') {
      t.kind = Token::Kind::text;
      t.value = quoted('\'', lex_.backslash_escapes);
    } else if (c == '"') {
      // A name on every engine but MySQL, where it is text unless ANSI_QUOTES is on: read
      // as a name everywhere, so that a call through it is checked either way.
      t.kind = Token::Kind::name;
      t.value = quoted('"', lex_.backslash_escapes && !lex_.exact_quoted_names);
    } else if (c == '`' && lex_.backtick_quotes) {
      t.kind = Token::Kind::name;
      t.value = quoted('`', false);
    } else if (c == '[' && lex_.bracket_quotes) {
      t.kind = Token::Kind::name;
      t.value = bracketed();
    } else if (c == '$' && lex_.dollar_quotes && dollar_quote()) {
      t.kind = Token::Kind::text;
    } else if ((c == 'U' || c == 'u') && lex_.exact_quoted_names && peek(1) == '&' &&
               (peek(2) == '"' || peek(2) == '\'')) {
      // PostgreSQL's U&"d\0061ta": a name (or text) whose characters may be escapes.
      const char quote = peek(2);
      pos_ += 2;
      t.kind = quote == '"' ? Token::Kind::name : Token::Kind::text;
      t.value = unicode_escapes(quoted(quote, false));
    } else if (word_char(c)) {
      const std::size_t start = pos_;
      while (pos_ < s_.size() && word_char(s_[pos_])) ++pos_;
      // PostgreSQL's E'...' string honours backslash escapes.
      if (pos_ - start == 1 && (c == 'E' || c == 'e') && pos_ < s_.size() && s_[pos_] == '\'') {
        t.kind = Token::Kind::text;
        t.value = quoted('\'', true);
        return t;
      }
      t.kind = Token::Kind::word;
      t.value = upper(s_.substr(start, pos_ - start));
    } else {
      t.punct = c;
      ++pos_;
    }
    return t;
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

  // Reads a quoted text or name and returns its content as the engine reads it.
  std::string quoted(char quote, bool backslash) {
    std::string content;
    ++pos_;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (backslash && c == '\\') {
        if (pos_ + 1 < s_.size()) content += s_[pos_ + 1];
        pos_ += 2;
        continue;
      }
      if (c == quote) {
        if (peek(1) == quote) {  // doubled quote: an escaped one
          content += quote;
          pos_ += 2;
          continue;
        }
        ++pos_;
        return content;
      }
      content += c;
      ++pos_;
    }
    refuse(std::string("unterminated quoted text (") + quote + ")");
  }

  // [name], where "]]" stands for one "]".
  std::string bracketed() {
    std::string content;
    ++pos_;
    while (pos_ < s_.size()) {
      if (s_[pos_] == ']') {
        if (peek(1) == ']') {
          content += ']';
          pos_ += 2;
          continue;
        }
        ++pos_;
        return content;
      }
      content += s_[pos_++];
    }
    refuse("unterminated [name]");
  }

  // Decodes \XXXX, \+XXXXXX and \\ of a U&"..." name. A UESCAPE clause (another escape
  // character) is refused rather than followed.
  std::string unicode_escapes(const std::string& raw) {
    const std::size_t after = pos_;
    if (skip_space() && word_char(s_[pos_])) {
      std::size_t end = pos_;
      while (end < s_.size() && word_char(s_[end])) ++end;
      if (upper(s_.substr(pos_, end - pos_)) == "UESCAPE") refuse("UESCAPE is not allowed");
    }
    pos_ = after;
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\') {
        out += raw[i];
        continue;
      }
      if (i + 1 < raw.size() && raw[i + 1] == '\\') {
        out += '\\';
        ++i;
        continue;
      }
      const bool wide = i + 1 < raw.size() && raw[i + 1] == '+';
      const std::size_t digits = wide ? 6 : 4;
      const std::size_t from = i + (wide ? 2 : 1);
      if (from + digits > raw.size()) refuse("a malformed Unicode escape in a U& name");
      unsigned long cp = 0;
      for (std::size_t k = from; k < from + digits; ++k) {
        if (std::isxdigit(static_cast<unsigned char>(raw[k])) == 0) {
          refuse("a malformed Unicode escape in a U& name");
        }
        const char h = static_cast<char>(std::tolower(static_cast<unsigned char>(raw[k])));
        cp = cp * 16 + static_cast<unsigned long>(h <= '9' ? h - '0' : h - 'a' + 10);
      }
      if (cp == 0 || cp > 0x10FFFF) refuse("a malformed Unicode escape in a U& name");
      detail::append_utf8(out, static_cast<std::uint32_t>(cp));
      i = from + digits - 1;
    }
    return out;
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

// Whether a quoted name, when called, is one of the forbidden functions, as the engine
// resolves it: exactly (PostgreSQL keeps a quoted name's case; its functions are lower
// case) or case-folded (the others).
bool forbidden_function_name(const std::string& name, const SqlLexicon& lexicon) {
  if (lexicon.exact_quoted_names) {
    return name == lower(name) && listed(kForbiddenFunctions, upper(name));
  }
  return listed(kForbiddenFunctions, upper(name));
}

}  // namespace

SqlLexicon lexicon_for_dialect(std::string_view dialect, bool backslash_escapes) {
  SqlLexicon l;
  if (dialect == "mysql") {
    l.hash_comments = true;
    l.backtick_quotes = true;
    l.backslash_escapes = backslash_escapes;
  } else if (dialect == "postgresql") {
    l.dollar_quotes = true;
    l.exact_quoted_names = true;
  } else if (dialect == "sqlite") {
    l.backtick_quotes = true;
    l.bracket_quotes = true;
  } else if (dialect == "mssql") {
    l.bracket_quotes = true;
    l.tsql_batches = true;
  }
  return l;
}

void check_read_only_statement(std::string_view statement, const SqlLexicon& lexicon) {
  if (statement.find('\0') != std::string_view::npos) refuse("the statement holds a NUL byte");
  Scanner scanner(statement, lexicon);
  bool first = true;
  bool ended = false;  // a ";" was seen
  bool opened_with_with = false;
  bool main_select_seen = false;  // after WITH: the SELECT that the common tables lead to
  int depth = 0;                  // parentheses
  std::string previous_word;      // the word just before, empty after anything else
  // The dotted name being read (a.b."c"): its quoted parts, checked when it is called.
  std::vector<std::string> quoted_parts;
  bool in_name = false;    // the last token was a word or name of that chain
  bool after_dot = false;  // the last token was the "." of that chain
  while (scanner.skip_space()) {
    const Token token = scanner.next();
    const std::string& word = token.kind == Token::Kind::word ? token.value : std::string();
    const char punct = token.kind == Token::Kind::punct ? token.punct : 0;
    if (ended) {
      if (punct == ';') continue;
      refuse("only one statement may be run at a time");
    }
    if (punct == ';') {
      if (first) refuse("the statement is empty");
      ended = true;
      continue;
    }

    // A quoted name that is called: "pg_read_file"(...), pg_catalog."lo_export"(...).
    if (token.kind == Token::Kind::word || token.kind == Token::Kind::name) {
      if (!after_dot) quoted_parts.clear();
      if (token.kind == Token::Kind::name) quoted_parts.push_back(token.value);
      in_name = true;
      after_dot = false;
    } else if (punct == '.' && in_name) {
      after_dot = true;
      in_name = false;
    } else {
      if (punct == '(' && in_name) {
        for (const auto& part : quoted_parts) {
          if (forbidden_function_name(part, lexicon)) {
            refuse("calling " + part + " is not allowed in a read-only query");
          }
        }
      }
      quoted_parts.clear();
      in_name = after_dot = false;
    }

    if (first) {
      if (punct == '(') {  // "(SELECT ...) UNION (SELECT ...)"
        ++depth;
        continue;
      }
      if (word.empty() || !listed(kAllowedFirst, word)) {
        refuse(
            "only read-only queries may run; a statement must begin with SELECT, WITH, "
            "VALUES, SHOW, DESCRIBE or EXPLAIN" +
            (word.empty() ? std::string() : " (found " + word + ")"));
      }
      first = false;
      opened_with_with = word == "WITH";
      main_select_seen = word == "SELECT" && depth == 0;
      previous_word = word;
      continue;
    }
    if (punct == '(') ++depth;
    if (punct == ')' && depth > 0) --depth;

    if (!word.empty() && (listed(kForbiddenWords, word) || listed(kForbiddenFunctions, word) ||
                          (lexicon.tsql_batches && listed(kForbiddenTsqlWords, word)))) {
      std::string shown = word;
      if (word == "INTO") {
        // Name the whole construct: INTO OUTFILE, INTO DUMPFILE, SELECT ... INTO a table.
        std::string following;
        if (scanner.skip_space()) {
          const Token next = scanner.next();
          if (next.kind == Token::Kind::word) following = next.value;
        }
        shown = (following == "OUTFILE" || following == "DUMPFILE") ? "INTO " + following
                                                                    : "SELECT ... INTO";
      }
      refuse(shown + " is not allowed in a read-only query");
    }

    if (lexicon.tsql_batches && !word.empty() && depth == 0) {
      // SQL Server needs no ";" between statements: a word that can only begin one, or a
      // SELECT that no set operator, parenthesis or WITH leads to, begins a second.
      bool second = listed(kTsqlStatementStarts, word);
      if (word == "SELECT") {
        const bool continues = previous_word == "UNION" || previous_word == "ALL" ||
                               previous_word == "EXCEPT" || previous_word == "INTERSECT";
        if (!continues && opened_with_with && !main_select_seen) {
          main_select_seen = true;
        } else if (!continues) {
          second = true;
        }
      }
      if (second) {
        refuse("only one statement may be run at a time (SQL Server runs " + word +
               " as a second statement even without a \";\")");
      }
    }
    previous_word = word;
  }
  if (first) refuse("the statement is empty");
}

}  // namespace norvex::sql
