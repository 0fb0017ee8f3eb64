#include "norvex/flow_stages/routing.hpp"

#include "norvex/flow_stages/state.hpp"

namespace norvex::flow_stages {

graph::Update initialisation(const graph::State& state) {
  // The whole state goes back as the update, so every field is re-applied by its rule;
  // only the SQL loop's counters, limit and lists are reset here.
  graph::Json inputs = state.to_json();
  inputs[std::string(field::iteration_count)] = 0;
  inputs[std::string(field::max_iterations)] = kMaxIterations;
  inputs[std::string(field::rewrite_count)] = 0;
  inputs[std::string(field::rewritten_question)] = "";
  inputs[std::string(field::generated_sql_query)] = graph::Json::array();
  inputs[std::string(field::execution_error)] = graph::Json::array();
  inputs[std::string(field::sql_execution_result)] = graph::Json::array();
  // Without a limit the first failed analysis run would end the whole run at the handler;
  // a caller's own value (0 included) stands.
  if (!state.contains(field::max_iterations_pandas)) {
    inputs[std::string(field::max_iterations_pandas)] = kDefaultMaxIterationsPandas;
  }
  return graph::Update::from_json(inputs);
}

std::string sql_execution_condition(const graph::State& state) {
  return std::string(flag_field(state, field::execution_success) ? kPandasGenerationLabel
                                                                 : kSqlExecutionErrorLabel);
}

std::string pandas_execution_condition(const graph::State& state) {
  return std::string(flag_field(state, field::python_execution_success)
                         ? kFinalResponseLabel
                         : kPandasExecutionErrorLabel);
}

std::string sql_error_handler_condition(const graph::State& state) {
  const auto count = integer_field(state, field::iteration_count);
  const auto limit = integer_field(state, field::max_iterations);
  const auto rewrites = integer_field(state, field::rewrite_count);
  if (count < limit && rewrites == 0) return std::string(kRegenerateSqlQueryLabel);
  if (count == limit && rewrites == 0) return std::string(kRewriteQueryLabel);
  return std::string(kTerminalFailureResponseLabel);
}

std::string pandas_error_handler_condition(const graph::State& state) {
  const auto count = integer_field(state, field::iteration_count_pandas);
  const auto limit = integer_field(state, field::max_iterations_pandas);
  return std::string(count < limit ? kRegeneratePandasCodeLabel : kTerminalFailureResponseLabel);
}

graph::Update handle_sql_error(const graph::State& state) {
  const auto count = integer_field(state, field::iteration_count);
  const auto limit = integer_field(state, field::max_iterations);
  const auto rewrites = integer_field(state, field::rewrite_count);
  graph::Update update;
  if (count < limit && rewrites == 0) {
    update.set(std::string(field::iteration_count), 1);
    update.set(std::string(field::sql_generation_prompt_type), std::string(kCorrectionMode));
  } else if (count == limit && rewrites == 0) {
    update.set(std::string(field::rewrite_count), 1);
  } else {
    update.set(std::string(field::sql_execution_result),
               graph::Json::array({std::string(kSqlTerminalMessage)}));
    update.set(std::string(field::iteration_count), 0);
  }
  return update;
}

graph::Update handle_pandas_error(const graph::State& state) {
  const auto count = integer_field(state, field::iteration_count_pandas);
  const auto limit = integer_field(state, field::max_iterations_pandas);
  graph::Update update;
  if (count < limit) {
    update.set(std::string(field::iteration_count_pandas), 1);
    update.set(std::string(field::pandas_generation_prompt_type), std::string(kCorrectionMode));
  } else {
    update.set(std::string(field::python_executed_output), std::string(kPythonTerminalMessage));
    update.set(std::string(field::iteration_count_pandas), 0);
  }
  return update;
}

}  // namespace norvex::flow_stages
