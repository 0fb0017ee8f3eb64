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
using Reading = SqlLexicon::Reading;

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

// Functions refused as bare words and as quoted names that are called, each group with the
// reason. A function that runs a query given as text is refused because the guard never sees
// that query: its text may be built at run time ('pg_read' || '_file').
constexpr std::string_view kForbiddenFunctions[] = {
    // MySQL / MariaDB: server files and user-defined shells
    "LOAD_FILE", "SYS_EXEC", "SYS_EVAL",
    // MySQL / MariaDB: named locks held by the session, not the transaction: they would
    // outlive the rollback on a pooled connection
    "GET_LOCK", "RELEASE_LOCK", "RELEASE_ALL_LOCKS",
    // MySQL / MariaDB: XPath evaluation, which neither the statement time-out nor KILL stops
    "EXTRACTVALUE", "UPDATEXML",
    // PostgreSQL: large objects, server files, other backends, configuration
    "LO_EXPORT", "LO_IMPORT", "LO_UNLINK", "LO_FROM_BYTEA", "LO_PUT", "LO_CREATE", "LO_CREAT",
    "LO_TRUNCATE", "LOWRITE", "PG_READ_FILE", "PG_READ_BINARY_FILE", "PG_STAT_FILE",
    "PG_WRITE_FILE", "PG_FILE_WRITE", "PG_FILE_RENAME", "PG_FILE_UNLINK", "PG_FILE_SYNC",
    "PG_LOGDIR_LS", "PG_LS_DIR", "PG_LS_LOGDIR", "PG_LS_WALDIR", "PG_LS_TMPDIR",
    "PG_LS_ARCHIVE_STATUSDIR", "PG_LS_LOGICALSNAPDIR", "PG_LS_LOGICALMAPDIR", "PG_LS_REPLSLOTDIR",
    "PG_TERMINATE_BACKEND", "PG_CANCEL_BACKEND", "PG_RELOAD_CONF", "PG_ROTATE_LOGFILE",
    "PG_PROMOTE", "PG_SWITCH_WAL", "PG_CREATE_RESTORE_POINT", "PG_BACKUP_START", "PG_BACKUP_STOP",
    "PG_NOTIFY", "SET_CONFIG", "PG_LOGICAL_EMIT_MESSAGE",
    // PostgreSQL: other connections
    "DBLINK", "DBLINK_EXEC", "DBLINK_CONNECT", "DBLINK_CONNECT_U", "DBLINK_SEND_QUERY",
    "DBLINK_OPEN",
    // PostgreSQL: queries handed over as text (or as a cursor named in text)
    "QUERY_TO_XML", "QUERY_TO_XMLSCHEMA", "QUERY_TO_XML_AND_XMLSCHEMA", "CURSOR_TO_XML",
    "CURSOR_TO_XMLSCHEMA", "TS_STAT", "TS_REWRITE",
    // PostgreSQL extensions: tablefunc's crosstab() runs its text, connectby() pastes its
    // names into a query; pg_background runs text in a transaction of its own, not read-only
    "CROSSTAB", "CROSSTAB2", "CROSSTAB3", "CROSSTAB4", "CONNECTBY", "PG_BACKGROUND_LAUNCH",
    // PostgreSQL: session-level advisory locks, which outlive the rollback (the
    // transaction-level pg_advisory_xact_lock family ends with it and stays allowed)
    "PG_ADVISORY_LOCK", "PG_ADVISORY_LOCK_SHARED", "PG_TRY_ADVISORY_LOCK",
    "PG_TRY_ADVISORY_LOCK_SHARED", "PG_ADVISORY_UNLOCK", "PG_ADVISORY_UNLOCK_SHARED",
    "PG_ADVISORY_UNLOCK_ALL",
    // PostgreSQL: the session's random seed, which DISCARD ALL keeps: later questions on the
    // connection would draw the numbers the statement chose
    "SETSEED",
    // PostgreSQL: XPath evaluation in libxml2, which does not stop for a cancel or terminate
    "XPATH", "XPATH_EXISTS", "XMLTABLE", "XMLEXISTS",
    // SQLite: files and loadable code
    "LOAD_EXTENSION", "WRITEFILE", "READFILE", "EDIT", "FTS3_TOKENIZER",
    // SQL Server: shells, files, registry, linked servers and ad-hoc connections
    "XP_CMDSHELL", "XP_DIRTREE", "XP_FILEEXIST", "XP_SUBDIRS", "XP_REGREAD", "XP_REGWRITE",
    "SP_OACREATE", "SP_EXECUTESQL", "OPENROWSET", "OPENDATASOURCE", "OPENQUERY",
    "FN_XE_FILE_TARGET_READ_FILE", "FN_GET_AUDIT_FILE", "FN_TRACE_GETTABLE"};

// T-SQL statements that control the server; SQL Server has no read-only session mode to
// stop them, so the guard is the layer that must. ENABLE and DISABLE begin a statement only
// before TRIGGER, and are plain names anywhere else.
constexpr std::string_view kForbiddenTsqlWords[] = {"KILL", "SHUTDOWN", "BACKUP",  "RESTORE",
                                                    "DBCC", "DENY",     "WAITFOR", "RECONFIGURE"};

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

// The classes are ASCII only, as the engines read them: bytes of multi-byte characters are
// letters of names everywhere.
bool ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}
bool letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool name_char(char c) {
  return letter(c) || digit(c) || c == '$';
}

// Whether the text is well-formed UTF-8: engines that meet a broken sequence may read the
// bytes after it differently from one another.
bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t min = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    std::uint32_t cp = c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

struct Token {
  enum class Kind { word, name, text, param, punct };
  Kind kind = Kind::punct;
  std::string value;  // word: upper-cased; name: as the engine reads it (quotes removed)
  char punct = 0;
};

class Scanner {
 public:
  Scanner(std::string_view text, const SqlLexicon& lexicon)
      : s_(text), lex_(lexicon), r_(lexicon.reading) {}

  // Moves past blanks and comments. False at the end of the text.
  bool skip_space() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (ascii_space(c)) {
        ++pos_;
      } else if (c == '-' && peek(1) == '-' && dash_comment()) {
        line_comment();
      } else if (c == '#' && r_ == Reading::mysql) {
        line_comment();
      } else if (c == '/' && peek(1) == '*') {
        block_comment();
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
      t.value = quoted('\'', r_ == Reading::mysql && lex_.backslash_escapes);
    } else if (c == '"') {
      // A name on every engine but MySQL, where it is text unless ANSI_QUOTES is on: read
      // as a name everywhere, so that a call through it is checked either way.
      t.kind = Token::Kind::name;
      t.value = quoted('"', r_ == Reading::mysql && lex_.backslash_escapes && !lex_.ansi_quotes);
    } else if (c == '`' && (r_ == Reading::mysql || r_ == Reading::sqlite)) {
      t.kind = Token::Kind::name;
      t.value = quoted('`', false);
    } else if (c == '[' && (r_ == Reading::mssql || r_ == Reading::sqlite)) {
      t.kind = Token::Kind::name;
      t.value = bracketed(r_ == Reading::mssql);
    } else if (r_ == Reading::postgresql && c == '$' && dollar_quote()) {
      t.kind = Token::Kind::text;
    } else if (r_ == Reading::postgresql && (c == 'U' || c == 'u') && peek(1) == '&' &&
               (peek(2) == '"' || peek(2) == '\'')) {
      // PostgreSQL's U&"d\0061ta": a name (or text) whose characters may be escapes.
      const char quote = peek(2);
      pos_ += 2;
      t.kind = quote == '"' ? Token::Kind::name : Token::Kind::text;
      t.value = unicode_escapes(quoted(quote, false));
    } else if (r_ == Reading::sqlite && (c == '$' || c == '@' || c == ':' || c == '#') &&
               sqlite_parameter()) {
      t.kind = Token::Kind::param;
    } else if (r_ == Reading::postgresql && digit(c)) {
      number();
      t.kind = Token::Kind::word;
      t.value = "0";
    } else if (r_ == Reading::postgresql && c == '$' && digit(peek(1))) {
      ++pos_;
      while (pos_ < s_.size() && digit(s_[pos_])) ++pos_;
      t.kind = Token::Kind::param;
    } else if (name_char(c) && !(r_ == Reading::postgresql && c == '$')) {
      const std::size_t start = pos_;
      while (pos_ < s_.size() && name_char(s_[pos_])) ++pos_;
      // PostgreSQL's E'...' string honours backslash escapes.
      if (r_ == Reading::postgresql && pos_ - start == 1 && (c == 'E' || c == 'e') &&
          pos_ < s_.size() && s_[pos_] == '\'') {
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
    if (r_ != Reading::mysql) return true;
    const auto after = static_cast<unsigned char>(peek(2));
    return after == 0 || ascii_space(static_cast<char>(after)) || after < 0x20 || after == 0x7F;
  }

  // To the end of the line: PostgreSQL ends a line comment at CR as well as LF, MySQL and
  // SQLite at LF only. Where we do not know, a CR that is not part of CR LF is refused.
  void line_comment() {
    const bool cr_ends = r_ == Reading::postgresql;
    std::size_t end = pos_;
    while (end < s_.size() && s_[end] != '\n' && !(cr_ends && s_[end] == '\r')) {
      if (s_[end] == '\r' && (r_ == Reading::mssql || r_ == Reading::ansi) &&
          (end + 1 >= s_.size() || s_[end + 1] != '\n')) {
        refuse("a carriage return inside a line comment");
      }
      ++end;
    }
    pos_ = end == s_.size() ? end : end + 1;
  }

  // /* ... */: PostgreSQL and SQL Server nest them, MySQL and SQLite end at the first "*/".
  // MySQL runs the text of /*! ... */ and /*M! ... */: never treat it as a comment, on any
  // engine, since a text read as a comment by one engine is code for another.
  void block_comment() {
    if (peek(2) == '!' || (peek(2) == 'M' && peek(3) == '!')) {
      refuse("executable comments (/*! ... */) are not allowed");
    }
    const bool nests = r_ == Reading::postgresql || r_ == Reading::mssql;
    int depth = 1;
    pos_ += 2;
    while (pos_ < s_.size()) {
      if (s_[pos_] == '/' && peek(1) == '*') {
        if (r_ == Reading::ansi) refuse("a comment opened inside a comment");
        if (nests) ++depth;
        pos_ += 2;
      } else if (s_[pos_] == '*' && peek(1) == '/') {
        pos_ += 2;
        if (--depth == 0) return;
      } else {
        ++pos_;
      }
    }
    refuse("unterminated comment");
  }

  // A PostgreSQL number: digits, a fraction, an exponent only when digits follow it. What
  // comes next starts a new token, so 1e'..' is 1 followed by an E'..' string.
  void number() {
    while (pos_ < s_.size() && digit(s_[pos_])) ++pos_;
    if (peek(0) == '.' && peek(1) != '.') {
      ++pos_;
      while (pos_ < s_.size() && digit(s_[pos_])) ++pos_;
    }
    if (peek(0) == 'e' || peek(0) == 'E') {
      const std::size_t sign = (peek(1) == '+' || peek(1) == '-') ? 1 : 0;
      if (digit(peek(1 + sign))) {
        pos_ += 1 + sign;
        while (pos_ < s_.size() && digit(s_[pos_])) ++pos_;
      }
    }
  }

  // SQLite's $name, @name, :name and #name, which may go on with "::" parts and one
  // "(...)" suffix that ends at the first blank or ")" (quotes included). False when no name
  // follows, and the character is read alone.
  bool sqlite_parameter() {
    std::size_t i = pos_ + 1;
    int n = 0;
    for (; i < s_.size(); ++i) {
      const char c = s_[i];
      if (name_char(c)) {
        ++n;
      } else if (c == '(' && n > 0) {
        do {
          ++i;
        } while (i < s_.size() && !ascii_space(s_[i]) && s_[i] != ')');
        if (i >= s_.size() || s_[i] != ')') refuse("an unterminated $name(...) parameter");
        ++i;
        break;
      } else if (c == ':' && i + 1 < s_.size() && s_[i + 1] == ':') {
        ++i;
      } else {
        break;
      }
    }
    if (n == 0) return false;
    pos_ = i;
    return true;
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

  // [name]: SQL Server reads "]]" as one "]"; SQLite ends the name at the first "]".
  std::string bracketed(bool doubled) {
    std::string content;
    ++pos_;
    while (pos_ < s_.size()) {
      if (s_[pos_] == ']') {
        if (doubled && peek(1) == ']') {
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
    if (skip_space() && letter(s_[pos_])) {
      std::size_t end = pos_;
      while (end < s_.size() && name_char(s_[end])) ++end;
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

  // $tag$ ... $tag$, the tag a name without "$" and not starting with a digit; a lone "$1"
  // is a parameter, not a quote.
  bool dollar_quote() {
    std::size_t k = pos_ + 1;
    if (k < s_.size() && letter(s_[k])) {
      while (k < s_.size() && (letter(s_[k]) || digit(s_[k]))) ++k;
    }
    if (k >= s_.size() || s_[k] != '$') return false;
    const std::string_view tag = s_.substr(pos_, k - pos_ + 1);
    const std::size_t end = s_.find(tag, k + 1);
    if (end == std::string_view::npos) refuse("unterminated $-quoted text");
    pos_ = end + tag.size();
    return true;
  }

  std::string_view s_;
  const SqlLexicon& lex_;
  Reading r_;
  std::size_t pos_ = 0;
};

// Whether a quoted name, when called, is one of the forbidden functions, as the engine
// resolves it: exactly (PostgreSQL keeps a quoted name's case; its functions are lower
// case) or case-folded (the others).
bool forbidden_function_name(const std::string& name, const SqlLexicon& lexicon) {
  if (lexicon.reading == Reading::postgresql) {
    return name == lower(name) && listed(kForbiddenFunctions, upper(name));
  }
  return listed(kForbiddenFunctions, upper(name));
}

}  // namespace

SqlLexicon lexicon_for_dialect(std::string_view dialect, bool backslash_escapes, bool ansi_quotes) {
  SqlLexicon l;
  if (dialect == "mysql") {
    l.reading = Reading::mysql;
    l.backslash_escapes = backslash_escapes;
    l.ansi_quotes = ansi_quotes;
  } else if (dialect == "postgresql") {
    l.reading = Reading::postgresql;
  } else if (dialect == "sqlite") {
    l.reading = Reading::sqlite;
  } else if (dialect == "mssql") {
    l.reading = Reading::mssql;
  }
  return l;
}

void check_read_only_statement(std::string_view statement, const SqlLexicon& lexicon) {
  if (statement.find('\0') != std::string_view::npos) refuse("the statement holds a NUL byte");
  if (!valid_utf8(statement)) refuse("the statement is not valid UTF-8");
  const bool tsql = lexicon.reading == Reading::mssql;
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
                          (tsql && listed(kForbiddenTsqlWords, word)))) {
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
    if (tsql && word == "TRIGGER" && (previous_word == "ENABLE" || previous_word == "DISABLE")) {
      refuse(previous_word + " TRIGGER is not allowed in a read-only query");
    }

    if (tsql && !word.empty() && depth == 0) {
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
