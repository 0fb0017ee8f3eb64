#pragma once
/// The first safety layer in front of every generated statement: one statement only, an
/// allowed first keyword, and no construct that writes, reaches outside the database, runs
/// text as a query or leaves state behind in the session. The engine's read-only mode, the
/// rollback, the connection reset and the time-out back it up.

#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::sql {

/// How one engine reads comments, quotes, names and parameters, which decides where a
/// statement really ends and which function a name calls. Thread rule: a plain value.
struct NORVEX_API SqlLexicon {
  enum class Reading {
    ansi,        // an engine we do not know: the plain reading, refusing what others read apart
    postgresql,  // "--" ends at CR or LF, nested /* */, $tag$ quotes, E'' and U&"" spellings
    mysql,       // "#" and "-- " comments, executable /*! */ comments, backslash escapes
    sqlite,      // $name(...), :name and @name parameters, [names] without escapes
    mssql,       // nested /* */, [names], batches of statements without ";"
  };
  Reading reading = Reading::ansi;
  /// MySQL without NO_BACKSLASH_ESCAPES: \' inside '...' and "...".
  bool backslash_escapes = false;
  /// MySQL with ANSI_QUOTES: "..." is a name (no escapes), not text.
  bool ansi_quotes = false;
};

/// The lexicon of a facade dialect ("sqlite", "mysql", "postgresql", "mssql"; anything else
/// gets the plain ANSI reading). `backslash_escapes` and `ansi_quotes` are MySQL's current
/// sql_mode settings. PostgreSQL's reading assumes standard_conforming_strings = on, which the
/// facade sets on every connection.
[[nodiscard]] NORVEX_API SqlLexicon lexicon_for_dialect(std::string_view dialect,
                                                        bool backslash_escapes = true,
                                                        bool ansi_quotes = false);

/// Throws DatabaseError with a message meant for the query's author when `statement` is not
/// a single read-only statement: more than one statement, a first keyword other than
/// SELECT, WITH, VALUES, SHOW, DESCRIBE, DESC or EXPLAIN, an unterminated quote or comment,
/// a MySQL executable comment, text that is not UTF-8 or that engines read apart (a lone CR
/// in a line comment, a comment opened inside a comment, where the engine is unknown), a
/// forbidden word outside quotes and comments (writes, INTO, SET, PRAGMA, ATTACH, COPY,
/// LOAD, CALL, GRANT), a forbidden function (files, other sessions, text run as a query,
/// session locks, XML path evaluation), or a quoted name that calls one of them
/// (`"pg_read_file"(...)`, `pg_catalog."lo_export"(...)`, `` `load_file`(...) ``,
/// `[xp_cmdshell](...)`).
NORVEX_API void check_read_only_statement(std::string_view statement, const SqlLexicon& lexicon);

}  // namespace norvex::sql
