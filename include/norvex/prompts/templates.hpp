#pragma once
/// The fixed prompt texts of the pipeline's model steps. Each is plain ASCII and ends with
/// a line break; they are immutable for the life of the process.

#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::prompts {

/// System message of relevant-table selection and of SQL repair; default syntax,
/// placeholder `dialect` (twice).
extern NORVEX_API const std::string_view SQL_PREFIX;

/// Human message of relevant-table selection; default syntax, placeholders
/// `user_question` and `table_names_from_db`.
extern NORVEX_API const std::string_view GET_RELEVANT_TABLE_NAMES_TEMPLATE;

/// Appended as it is to the rendered relevant-table human message; never rendered, so
/// its JSON example keeps single braces.
extern NORVEX_API const std::string_view TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;

/// System message of question rewriting; default syntax, placeholders `user_question`
/// and `schemas_from_all_tables`.
extern NORVEX_API const std::string_view REWRITE_QUESTION_TEMPLATE;

/// Human message of SQL repair; jinja2, placeholders `user_question`,
/// `schemas_from_relevant_tables` and the (query, error) pairs `zipped_queries_errors`.
extern NORVEX_API const std::string_view CORRECT_SQL_TEMPLATE;

/// System message of analysis code generation; jinja2, placeholder `save_path`.
extern NORVEX_API const std::string_view PANDAS_SYSTEM_TEMPLATE;

/// Human message of analysis code generation; jinja2, placeholders `original_question`
/// and the (query, execution result) pairs `zipped_queries_results`.
extern NORVEX_API const std::string_view PANDAS_HUMAN_TEMPLATE;

}  // namespace norvex::prompts
