#include "norvex/flow_stages/state.hpp"

#include "norvex/error.hpp"

namespace norvex::flow_stages {

std::shared_ptr<const graph::StateSchema> sql_state_schema() {
  using graph::MergeRule;
  static const auto schema = std::make_shared<const graph::StateSchema>(graph::StateSchema{
      {std::string(field::user_question), MergeRule::overwrite},
      {std::string(field::follow_up_question), MergeRule::append},
      {std::string(field::schemas_from_relevant_tables), MergeRule::overwrite},
      {std::string(field::table_names_from_db), MergeRule::overwrite},
      {std::string(field::relevant_tables), MergeRule::overwrite},
      {std::string(field::generated_sql_query), MergeRule::append},
      {std::string(field::sql_generation_prompt_type), MergeRule::overwrite},
      {std::string(field::execution_success), MergeRule::overwrite},
      {std::string(field::execution_error), MergeRule::append},
      {std::string(field::sql_execution_result), MergeRule::append},
      {std::string(field::pandas_code), MergeRule::overwrite},
      {std::string(field::use_pandas_ai_flag), MergeRule::overwrite},
      {std::string(field::image_path), MergeRule::overwrite},
      {std::string(field::python_executed_output), MergeRule::overwrite},
      {std::string(field::save_path), MergeRule::overwrite},
      {std::string(field::final_response), MergeRule::overwrite},
      {std::string(field::iteration_count), MergeRule::add},
      {std::string(field::iteration_count_pandas), MergeRule::add},
      {std::string(field::rewrite_count), MergeRule::overwrite},
      {std::string(field::rewritten_question), MergeRule::overwrite},
      {std::string(field::max_iterations), MergeRule::overwrite},
      {std::string(field::max_iterations_pandas), MergeRule::overwrite},
      {std::string(field::python_execution_success), MergeRule::overwrite},
      {std::string(field::python_error_message), MergeRule::overwrite},
      {std::string(field::pandas_generation_prompt_type), MergeRule::overwrite},
  });
  return schema;
}

namespace {

[[noreturn]] void wrong_type(std::string_view name, std::string_view expected,
                             const graph::Json& value) {
  throw ValueError("state field '" + std::string(name) + "' should hold " + std::string(expected) +
                   ", not " + value.type_name());
}

}  // namespace

const std::string& text_field(const graph::State& state, std::string_view name) {
  const auto& value = state.at(name);
  if (!value.is_string()) wrong_type(name, "a text", value);
  return value.get_ref<const std::string&>();
}

std::int64_t integer_field(const graph::State& state, std::string_view name) {
  const auto& value = state.at(name);
  if (!value.is_number_integer()) wrong_type(name, "an integer", value);
  return value.get<std::int64_t>();
}

bool flag_field(const graph::State& state, std::string_view name) {
  const auto& value = state.at(name);
  if (!value.is_boolean()) wrong_type(name, "a flag", value);
  return value.get<bool>();
}

const graph::Json& list_field(const graph::State& state, std::string_view name) {
  const auto& value = state.at(name);
  if (!value.is_array()) wrong_type(name, "a list", value);
  return value;
}

const std::string& last_text(const graph::State& state, std::string_view name) {
  const auto& list = list_field(state, name);
  if (list.empty()) throw ValueError("state field '" + std::string(name) + "' is an empty list");
  const auto& last = list.back();
  if (!last.is_string()) wrong_type(name, "a list of texts", last);
  return last.get_ref<const std::string&>();
}

std::string names_text(const graph::State& state, std::string_view name) {
  const auto& value = state.at(name);
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_array()) wrong_type(name, "a text or a list of texts", value);
  std::string joined;
  bool first = true;
  for (const auto& element : value) {
    if (!element.is_string()) wrong_type(name, "a list of texts", element);
    if (!first) joined += ',';
    first = false;
    joined += element.get_ref<const std::string&>();
  }
  return joined;
}

const std::string& effective_question(const graph::State& state) {
  if (const auto* rewritten = state.find(field::rewritten_question);
      rewritten != nullptr && rewritten->is_string() &&
      !rewritten->get_ref<const std::string&>().empty()) {
    return rewritten->get_ref<const std::string&>();
  }
  return text_field(state, field::user_question);
}

}  // namespace norvex::flow_stages
