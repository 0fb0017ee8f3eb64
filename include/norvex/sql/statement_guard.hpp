#pragma once
/// The first safety layer in front of every generated statement: one statement only, an
/// allowed first keyword, and no construct that writes or reaches outside the database.
/// The engine's read-only mode, the rollback and the time-out back it up.

#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::sql {

/// How the engine reads quotes, names and comments, which decides where a statement really
/// ends and which function a name calls. Thread rule: a plain value.
struct NORVEX_API SqlLexicon {
  bool hash_comments = false;      // MySQL: "#" starts a comment
  bool backslash_escapes = false;  // MySQL without NO_BACKSLASH_ESCAPES: \' inside '...'
  bool dollar_quotes = false;      // PostgreSQL: $tag$ ... $tag$
  bool backtick_quotes = false;    // MySQL, SQLite: `name`
  bool bracket_quotes = false;     // SQL Server, SQLite: [name]
  /// PostgreSQL: a quoted name keeps its case ("PG_READ_FILE" is not pg_read_file), and
  /// U&"..." names may spell characters as escapes.
  bool exact_quoted_names = false;
  /// SQL Server: a batch runs several statements without ";" between them, and T-SQL's
  /// server-control statements (KILL, SHUTDOWN, BACKUP, DBCC, ...) are refused.
  bool tsql_batches = false;
};

/// The lexicon of a facade dialect ("sqlite", "mysql", "postgresql", "mssql"; anything else
/// gets the plain ANSI reading). `backslash_escapes` is MySQL's current sql_mode setting.
[[nodiscard]] NORVEX_API SqlLexicon lexicon_for_dialect(std::string_view dialect,
                                                        bool backslash_escapes = true);

/// Throws DatabaseError with a message meant for the query's author when `statement` is not
/// a single read-only statement: more than one statement, a first keyword other than
/// SELECT, WITH, VALUES, SHOW, DESCRIBE, DESC or EXPLAIN, an unterminated quote or comment,
/// a MySQL executable comment, a forbidden word outside quotes and comments (writes, INTO,
/// SET, PRAGMA, ATTACH, COPY, LOAD, CALL, GRANT, file and server functions), or a quoted
/// name that calls one of the forbidden functions (`"pg_read_file"(...)`,
/// `pg_catalog."lo_export"(...)`, `` `load_file`(...) ``, `[xp_cmdshell](...)`).
NORVEX_API void check_read_only_statement(std::string_view statement, const SqlLexicon& lexicon);

}  // namespace norvex::sql
