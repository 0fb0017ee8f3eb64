#pragma once
/// The entry node, the routing conditions after SQL and analysis code execution, and the
/// error handlers of the two repair loops.

#include <cstdint>
#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

#include "norvex/graph/state.hpp"

namespace norvex::flow_stages {

/// Route labels.
inline constexpr std::string_view kPandasGenerationLabel = "pandas_generation";
inline constexpr std::string_view kSqlExecutionErrorLabel = "sql_execution_error";
inline constexpr std::string_view kFinalResponseLabel = "final_response";
inline constexpr std::string_view kPandasExecutionErrorLabel = "pandas_execution_error";
inline constexpr std::string_view kRegenerateSqlQueryLabel = "regenerate_sql_query";
inline constexpr std::string_view kRewriteQueryLabel = "rewrite_query";
inline constexpr std::string_view kTerminalFailureResponseLabel = "terminal_failure_response";
inline constexpr std::string_view kRegeneratePandasCodeLabel = "regenerate_pandas_code";

/// What the terminal updates of the two error handlers record.
inline constexpr std::string_view kSqlTerminalMessage =
    "SQL generation failed after max iterations";
inline constexpr std::string_view kPythonTerminalMessage =
    "Python generation failed after max iterations";

/// Limits set by the entry node.
inline constexpr std::int64_t kMaxIterations = 5;
/// Analysis code attempts allowed when the run's input names no limit.
inline constexpr std::int64_t kDefaultMaxIterationsPandas = 3;

/// The entry node: the whole state handed back with `iteration_count` 0, `max_iterations` 5,
/// `rewrite_count` 0, `rewritten_question` "", the three SQL lists [] and, only when the
/// state has none, `max_iterations_pandas` 3. Merged, this re-applies every other field
/// (append lists concatenated with themselves, counters added to themselves). Never throws.
[[nodiscard]] NORVEX_API graph::Update initialisation(const graph::State& state);

/// "pandas_generation" when `execution_success` is true, else "sql_execution_error".
/// Throws MissingFieldError, ValueError (see flag_field).
[[nodiscard]] NORVEX_API std::string sql_execution_condition(const graph::State& state);
/// "final_response" when `python_execution_success` is true, else "pandas_execution_error".
/// Throws MissingFieldError, ValueError.
[[nodiscard]] NORVEX_API std::string pandas_execution_condition(const graph::State& state);
/// "regenerate_sql_query" while repairs remain and no rewrite happened, "rewrite_query" when
/// the repairs are used up, else "terminal_failure_response". Throws MissingFieldError,
/// ValueError.
[[nodiscard]] NORVEX_API std::string sql_error_handler_condition(const graph::State& state);
/// "regenerate_pandas_code" while `iteration_count_pandas` < `max_iterations_pandas`, else
/// "terminal_failure_response". Throws MissingFieldError, ValueError.
[[nodiscard]] NORVEX_API std::string pandas_error_handler_condition(const graph::State& state);

/// Node after a failed SQL execution: one more repair, or the rewrite, or the terminal
/// update. Throws MissingFieldError, ValueError.
[[nodiscard]] NORVEX_API graph::Update handle_sql_error(const graph::State& state);
/// Node after a failed analysis run: one more repair, or the terminal update. Throws
/// MissingFieldError, ValueError.
[[nodiscard]] NORVEX_API graph::Update handle_pandas_error(const graph::State& state);

}  // namespace norvex::flow_stages
