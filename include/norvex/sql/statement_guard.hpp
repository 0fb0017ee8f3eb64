#pragma once
/// The first safety layer in front of every generated statement: one statement only, an
/// allowed first keyword, and no construct that writes or reaches outside the database.
/// The engine's read-only mode, the rollback and the time-out back it up.

#include <string_view>

namespace norvex::sql {

/// How the engine reads quotes and comments, which decides where a statement really ends.
/// Thread rule: a plain value.
struct SqlLexicon {
  bool hash_comments = false;      // MySQL: "#" starts a comment
  bool backslash_escapes = false;  // MySQL without NO_BACKSLASH_ESCAPES: \' inside '...'
  bool dollar_quotes = false;      // PostgreSQL: $tag$ ... $tag$
  bool backtick_quotes = false;    // MySQL, SQLite: `name`
  bool bracket_quotes = false;     // SQL Server, SQLite: [name]
};

/// Throws DatabaseError with a message meant for the query's author when `statement` is not
/// a single read-only statement: more than one statement, a first keyword other than
/// SELECT, WITH, VALUES, SHOW, DESCRIBE, DESC or EXPLAIN, an unterminated quote or comment,
/// a MySQL executable comment, or a forbidden word outside quotes and comments (writes,
/// INTO, SET, PRAGMA, ATTACH, COPY, LOAD, CALL, GRANT, file and server functions).
void check_read_only_statement(std::string_view statement, const SqlLexicon& lexicon);

}  // namespace norvex::sql
