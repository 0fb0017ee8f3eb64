#pragma once
/// The pipeline state: its 25 fields with their merge rules, and typed reads of one field.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

#include "norvex/graph/state.hpp"

namespace norvex::flow_stages {

/// Field names of the pipeline state, in declared order.
namespace field {
inline constexpr std::string_view user_question = "user_question";
inline constexpr std::string_view follow_up_question = "follow_up_question";
inline constexpr std::string_view schemas_from_relevant_tables = "schemas_from_relevant_tables";
inline constexpr std::string_view table_names_from_db = "table_names_from_db";
inline constexpr std::string_view relevant_tables = "relevant_tables";
inline constexpr std::string_view generated_sql_query = "generated_sql_query";
inline constexpr std::string_view sql_generation_prompt_type = "sql_generation_prompt_type";
inline constexpr std::string_view execution_success = "execution_success";
inline constexpr std::string_view execution_error = "execution_error";
inline constexpr std::string_view sql_execution_result = "sql_execution_result";
inline constexpr std::string_view pandas_code = "pandas_code";
inline constexpr std::string_view use_pandas_ai_flag = "use_pandas_ai_flag";
inline constexpr std::string_view image_path = "image_path";
inline constexpr std::string_view python_executed_output = "python_executed_output";
inline constexpr std::string_view save_path = "save_path";
inline constexpr std::string_view final_response = "final_response";
inline constexpr std::string_view iteration_count = "iteration_count";
inline constexpr std::string_view iteration_count_pandas = "iteration_count_pandas";
inline constexpr std::string_view rewrite_count = "rewrite_count";
inline constexpr std::string_view rewritten_question = "rewritten_question";
inline constexpr std::string_view max_iterations = "max_iterations";
inline constexpr std::string_view max_iterations_pandas = "max_iterations_pandas";
inline constexpr std::string_view python_execution_success = "python_execution_success";
inline constexpr std::string_view python_error_message = "python_error_message";
inline constexpr std::string_view pandas_generation_prompt_type = "pandas_generation_prompt_type";
}  // namespace field

/// The two prompt modes of SQL and analysis code generation.
inline constexpr std::string_view kGenerationMode = "generation";
inline constexpr std::string_view kCorrectionMode = "correction";

/// The pipeline state's schema: 25 fields in declared order; `follow_up_question`,
/// `generated_sql_query`, `execution_error` and `sql_execution_result` append,
/// `iteration_count` and `iteration_count_pandas` add, every other field is overwritten.
/// One shared instance for the process. Never throws.
[[nodiscard]] NORVEX_API std::shared_ptr<const graph::StateSchema> sql_state_schema();

/// The text value of `name`. Throws MissingFieldError naming the field when it is absent,
/// ValueError when it holds something other than a text.
[[nodiscard]] NORVEX_API const std::string& text_field(const graph::State& state,
                                                       std::string_view name);
/// The integer value of `name`. Throws MissingFieldError, or ValueError for a non-integer.
[[nodiscard]] NORVEX_API std::int64_t integer_field(const graph::State& state,
                                                    std::string_view name);
/// The flag value of `name`. Throws MissingFieldError, or ValueError for a non-boolean.
[[nodiscard]] NORVEX_API bool flag_field(const graph::State& state, std::string_view name);
/// The list value of `name`. Throws MissingFieldError, or ValueError for a non-list.
[[nodiscard]] NORVEX_API const graph::Json& list_field(const graph::State& state,
                                                       std::string_view name);
/// The last element of list field `name`, as text. Throws MissingFieldError, or ValueError
/// when the value is not a list, is empty or its last element is not a text.
[[nodiscard]] NORVEX_API const std::string& last_text(const graph::State& state,
                                                      std::string_view name);
/// A table-name value as one text: a list of texts joined by "," (no blank), a text as it
/// is. Throws MissingFieldError, or ValueError for any other value.
[[nodiscard]] NORVEX_API std::string names_text(const graph::State& state, std::string_view name);
/// The question the model should answer: a non-empty `rewritten_question`, else
/// `user_question`. Throws MissingFieldError when `user_question` is needed and absent.
[[nodiscard]] NORVEX_API const std::string& effective_question(const graph::State& state);

}  // namespace norvex::flow_stages
