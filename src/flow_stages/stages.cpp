#include "norvex/flow_stages/stages.hpp"

#include "log_internal.hpp"
#include "norvex/error.hpp"
#include "norvex/flow_stages/log.hpp"
#include "norvex/flow_stages/records.hpp"
#include "norvex/flow_stages/state.hpp"
#include "norvex/prompts/templates.hpp"
#include "norvex/prompts/variables.hpp"

namespace norvex::flow_stages {

const std::string_view SQL_GENERATION_SYSTEM_TEXT =
    R"(You are an agent designed to interact with a SQL database.
Given an input question, create a syntactically correct {dialect} query to run, then look at the results of the query and return the answer.
Unless the user specifies a specific number of examples they wish to obtain, always limit your query to at most 20 results.
You can order the results by a relevant column to return the most interesting examples in the database.
Never query for all the columns from a specific table, only ask for the relevant columns given the question.
You have access to tools for interacting with the database.
Only use the below tools. Only use the information returned by the below tools to construct your final answer.
You MUST double check your query before executing it. If you get an error while executing a query, rewrite the query and try again.

DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.

If the question does not seem related to the database, just return "I don't know" as the answer.)";

const std::string_view SQL_GENERATION_HUMAN_TEXT =
    "{user_question}\n Schemas_from_relevant_tables: {schemas_from_relevant_tables}";

const std::string_view PANDAS_CORRECTION_TEXT = R"(The user asked the following question:
            {user_question}

            You generated this python code:
            {python_code}

            It fails with the following error:
            {error}

            Fix the python code above and return the new python code:)";

namespace {

using graph::Json;
using prompts::TemplateFormat;

template <typename T>
std::shared_ptr<T> require(std::shared_ptr<T> pointer, const char* what) {
  if (!pointer) throw ArgumentError(std::string(what) + " must not be null");
  return pointer;
}

std::shared_ptr<llm::StructuredModel> structured(std::shared_ptr<llm::ChatModel> model,
                                                 const llm::RecordSchema& schema) {
  return require(std::move(model), "model")->with_structured_output(schema);
}

std::string key(std::string_view name) {
  return std::string(name);
}

prompts::PromptTemplate correction_text_template() {
  return prompts::PromptTemplate::from_template(std::string(PANDAS_CORRECTION_TEXT));
}

// The repair prompt of analysis code: one human message, no system prompt, no query results.
std::vector<prompts::Message> pandas_correction_prompt(const prompts::PromptTemplate& text,
                                                       const graph::State& state) {
  Json variables = Json::object();
  variables["user_question"] = effective_question(state);
  variables["python_code"] = text_field(state, field::pandas_code);
  variables["error"] = text_field(state, field::python_error_message);
  return {prompts::HumanMessage(text.format(variables))};
}

// Copies into `variables` the state fields a template refers to. A default-syntax template
// needs each of them (MissingFieldError names an absent one); a jinja2 template renders an
// absent one as empty text.
void add_state_variables(Json& variables, const std::vector<std::string>& names,
                         const graph::State& state, bool required) {
  for (const auto& name : names) {
    if (variables.contains(name)) continue;
    if (required) {
      variables[name] = state.at(name);
    } else if (const auto* value = state.find(name)) {
      variables[name] = *value;
    }
  }
}

}  // namespace

// --- table discovery ---------------------------------------------------------------------

TableNamesLookup::TableNamesLookup(std::shared_ptr<sql::CustomSQLDatabase> db)
    : tool_(std::move(db)) {}

graph::Update TableNamesLookup::invoke(const graph::State& /*state*/) {
  graph::Update update;
  update.set(key(field::table_names_from_db), tool_.run());
  return update;
}

RelevantTableNames::RelevantTableNames(std::shared_ptr<sql::CustomSQLDatabase> db,
                                       std::shared_ptr<llm::ChatModel> model)
    : dialect_(require(std::move(db), "db")->dialect()),
      model_(structured(std::move(model), RelevantTablesOutput::schema())),
      template_(prompts::ChatPromptTemplate::from_messages(
          {prompts::SystemMessagePromptTemplate::from_template(std::string(prompts::SQL_PREFIX)),
           prompts::HumanMessagePromptTemplate::from_template(
               std::string(prompts::GET_RELEVANT_TABLE_NAMES_TEMPLATE))})) {}

std::vector<prompts::Message> RelevantTableNames::generate_prompt(const graph::State& state) const {
  Json variables = Json::object();
  variables["dialect"] = dialect_;
  variables["user_question"] = effective_question(state);
  variables["table_names_from_db"] = names_text(state, field::table_names_from_db);
  auto messages = template_.format_messages(variables);
  // The tail holds a JSON example with literal braces, so it is appended, never rendered.
  messages.at(1).content += prompts::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
  return messages;
}

graph::Update RelevantTableNames::invoke(const graph::State& state) {
  auto answer = RelevantTablesOutput::from_json(model_->invoke(generate_prompt(state)));
  graph::Update update;
  update.set(key(field::relevant_tables), answer.relevant_tables);
  return update;
}

// --- question rewriting ------------------------------------------------------------------

RewriteQuery::RewriteQuery(std::shared_ptr<sql::CustomSQLDatabase> db,
                           std::shared_ptr<llm::ChatModel> model)
    : dialect_(require(db, "db")->dialect()),
      model_(structured(std::move(model), RewriteQueryOutput::schema())),
      tool_(std::move(db)),
      template_(prompts::ChatPromptTemplate::from_messages(
          {prompts::SystemMessagePromptTemplate::from_template(
              std::string(prompts::REWRITE_QUESTION_TEMPLATE))})) {}

std::vector<prompts::Message> RewriteQuery::generate_prompt(const graph::State& state) const {
  const auto schemas = tool_.run(names_text(state, field::table_names_from_db));
  Json variables = Json::object();
  // Always the question as asked: rewrites never build on an earlier rewrite.
  variables["user_question"] = text_field(state, field::user_question);
  variables["schemas_from_all_tables"] = schemas;
  return template_.format_messages(variables);
}

graph::Update RewriteQuery::invoke(const graph::State& state) {
  auto answer = RewriteQueryOutput::from_json(model_->invoke(generate_prompt(state)));
  graph::Update update;
  update.set(key(field::rewritten_question), std::move(answer.rewritten_question));
  return update;
}

// --- analysis code generation ------------------------------------------------------------

PandasGenerator::PandasGenerator(std::shared_ptr<llm::ChatModel> model)
    : model_(structured(std::move(model), PythonCodeInput::schema())),
      template_(prompts::ChatPromptTemplate::from_messages(
          {prompts::SystemMessagePromptTemplate::from_template(
               std::string(prompts::PANDAS_SYSTEM_TEMPLATE), TemplateFormat::jinja2),
           prompts::HumanMessagePromptTemplate::from_template(
               std::string(prompts::PANDAS_HUMAN_TEMPLATE), TemplateFormat::jinja2)})),
      correction_template_(correction_text_template()) {}

std::vector<prompts::Message> PandasGenerator::generate_prompt(const graph::State& state) const {
  const auto& mode = text_field(state, field::pandas_generation_prompt_type);
  if (mode == kGenerationMode) {
    Json variables = Json::object();
    variables["original_question"] = effective_question(state);
    variables["zipped_queries_results"] =
        prompts::zip(list_field(state, field::generated_sql_query),
                     list_field(state, field::sql_execution_result));
    variables["save_path"] = state.at(field::save_path);
    return template_.format_messages(variables);
  }
  if (mode == kCorrectionMode) return pandas_correction_prompt(correction_template_, state);
  throw ValueError("no analysis code prompt for mode '" + mode + "'");
}

graph::Update PandasGenerator::invoke(const graph::State& state) {
  auto answer = PythonCodeInput::from_json(model_->invoke(generate_prompt(state)));
  graph::Update update;
  update.set(key(field::pandas_code), std::move(answer.code));
  return update;
}

PandasCorrection::PandasCorrection(std::shared_ptr<llm::ChatModel> model)
    : model_(structured(std::move(model), PythonCodeInput::schema())),
      template_(correction_text_template()) {}

std::vector<prompts::Message> PandasCorrection::generate_prompt(const graph::State& state) const {
  return pandas_correction_prompt(template_, state);
}

graph::Update PandasCorrection::invoke(const graph::State& state) {
  auto answer = PythonCodeInput::from_json(model_->invoke(generate_prompt(state)));
  graph::Update update;
  update.set(key(field::pandas_code), std::move(answer.code));
  return update;
}

// --- analysis code execution -------------------------------------------------------------

PandasExecutor::PandasExecutor(std::shared_ptr<llm::ChatModel> model,
                               python::AnalysisOptions options)
    : model_(require(std::move(model), "model")), options_(std::move(options)) {}

graph::Update PandasExecutor::invoke(const graph::State& state) {
  // PythonExit (an exit request of the code) leaves here on purpose: it is no failure of
  // the analysis but a request to stop.
  // The run may write its charts only into the run's media folder, the one the prompt names.
  python::AnalysisOptions options = options_;
  if (options.media_directory.empty()) {
    if (const auto* path = state.find(field::save_path); path != nullptr && path->is_string()) {
      options.media_directory = path->get<std::string>();
    }
  }
  auto result = python::run_analysis(text_field(state, field::pandas_code), options);
  graph::Update update;
  if (result.success) {
    update.set(key(field::python_executed_output), std::move(result.output));
    update.set(key(field::python_execution_success), true);
  } else {
    update.set(key(field::python_execution_success), false);
    update.set(key(field::python_error_message), std::move(result.error));
  }
  return update;
}

// --- schema selection --------------------------------------------------------------------

RelevantSchemas::RelevantSchemas(std::shared_ptr<sql::CustomSQLDatabase> db)
    : tool_(std::move(db)) {}

graph::Update RelevantSchemas::invoke(const graph::State& state) {
  graph::Update update;
  update.set(key(field::sql_generation_prompt_type), std::string(kGenerationMode));
  update.set(key(field::schemas_from_relevant_tables),
             tool_.run(names_text(state, field::relevant_tables)));
  return update;
}

// --- SQL generation ----------------------------------------------------------------------

SQLGeneration::SQLGeneration(std::shared_ptr<sql::CustomSQLDatabase> db,
                             std::shared_ptr<llm::ChatModel> model)
    : model_(structured(std::move(model), SQLQueryInput::schema())),
      dialect_(require(std::move(db), "db")->dialect()),
      generate_template_(prompts::ChatPromptTemplate::from_messages(
          {{"system", std::string(SQL_GENERATION_SYSTEM_TEXT)},
           {"user", std::string(SQL_GENERATION_HUMAN_TEXT)}})),
      correct_template_(prompts::ChatPromptTemplate::from_messages(
          {prompts::SystemMessagePromptTemplate::from_template(std::string(prompts::SQL_PREFIX)),
           prompts::HumanMessagePromptTemplate::from_template(
               std::string(prompts::CORRECT_SQL_TEMPLATE), TemplateFormat::jinja2)})) {}

std::vector<prompts::Message> SQLGeneration::generate_messages(const graph::State& state) const {
  const auto* mode = state.find(field::sql_generation_prompt_type);
  if (mode != nullptr && *mode == kGenerationMode) {
    Json variables = Json::object();
    variables["dialect"] = dialect_;
    add_state_variables(variables, generate_template_.input_variables(), state, true);
    return generate_template_.format_messages(variables);
  }
  if (mode != nullptr && *mode == kCorrectionMode) {
    Json variables = Json::object();
    variables["dialect"] = dialect_;
    variables["zipped_queries_errors"] =
        prompts::zip(list_field(state, field::generated_sql_query),
                     list_field(state, field::sql_execution_result));
    // Only the templates' own variables are copied: the whole state would be large.
    for (const auto& message : correct_template_.messages()) {
      add_state_variables(variables, message.prompt().input_variables(), state,
                          message.prompt().template_format() == TemplateFormat::f_string);
    }
    return correct_template_.format_messages(variables);
  }
  throw ValueError(std::string(kMessagesNotGenerated));
}

graph::Update SQLGeneration::invoke(const graph::State& state) {
  const double start = wall_seconds();
  auto answer = SQLQueryInput::from_json(model_->invoke(generate_messages(state)));
  log_info(std::string(kSqlGenerationTookLog) + format_seconds(wall_seconds() - start));
  graph::Update update;
  update.set(key(field::generated_sql_query), Json::array({std::move(answer.sql_query)}));
  return update;
}

// --- SQL check and execution -------------------------------------------------------------

SQLSyntaxChecker::SQLSyntaxChecker(std::shared_ptr<sql::CustomSQLDatabase> db,
                                   std::shared_ptr<llm::ChatModel> model)
    : tool_(std::move(db), std::move(model)) {}

graph::Update SQLSyntaxChecker::invoke(const graph::State& state) {
  // The reviewed query takes the newest query's place: a check is not a new attempt.
  graph::Update update;
  update.replace_last(key(field::generated_sql_query),
                      tool_.run(last_text(state, field::generated_sql_query)));
  return update;
}

SQLExecution::SQLExecution(std::shared_ptr<sql::CustomSQLDatabase> db)
    : db_(require(std::move(db), "db")) {}

graph::Update SQLExecution::invoke(const graph::State& state) {
  const auto& query = last_text(state, field::generated_sql_query);
  graph::Update update;
  std::string result;
  try {
    result = db_->run(query, "all", false);
  } catch (const DatabaseError& error) {
    // The database's message is the outcome the repair prompt shows the model.
    update.set(key(field::sql_execution_result), Json::array({std::string(error.what())}));
    update.set(key(field::execution_success), false);
    return update;
  }
  if (result.empty()) {
    update.set(key(field::sql_execution_result), Json::array({std::string(kEmptyResultText)}));
    update.set(key(field::execution_success), false);
    return update;
  }
  update.set(key(field::sql_execution_result), Json::array({std::move(result)}));
  update.set(key(field::execution_success), true);
  update.set(key(field::pandas_generation_prompt_type), std::string(kGenerationMode));
  return update;
}

// --- response generation -----------------------------------------------------------------

GenerateResponse::GenerateResponse(std::shared_ptr<llm::ChatModel> model)
    : model_(structured(std::move(model), GenerationOutput::schema())) {}

std::string GenerateResponse::generate_prompt(const graph::State& state) const {
  // After a terminal SQL failure the analysis never ran; its two fields then read None.
  static const Json none;
  const auto optional = [&](std::string_view name) -> const Json& {
    const auto* value = state.find(name);
    return value != nullptr ? *value : none;
  };
  const auto& results = list_field(state, field::sql_execution_result);
  if (results.empty()) throw ValueError("state field 'sql_execution_result' is an empty list");

  std::string prompt;
  prompt += kUserQuestionLine;
  prompts::append_text(prompt, state.at(field::user_question));
  prompt += '\n';
  prompt += kSqlQueryLine;
  prompts::append_python_repr(prompt, list_field(state, field::generated_sql_query));
  prompt += '\n';
  prompt += kSqlQueryResultLine;
  prompts::append_text(prompt, results.back());
  prompt += '\n';
  prompt += kPythonCodeLine;
  prompts::append_text(prompt, optional(field::pandas_code));
  prompt += '\n';
  prompt += kPythonExecutedResultLine;
  prompts::append_text(prompt, optional(field::python_executed_output));
  prompt += '\n';
  prompt += kResponseInstruction;
  return prompt;
}

graph::Update GenerateResponse::invoke(const graph::State& state) {
  log_info(kEnterGenerateResponseLog);
  const double start = wall_seconds();
  auto answer = GenerationOutput::from_json(model_->invoke(generate_prompt(state)));
  log_info(std::string(kFinishGeneratingResponseLog) + format_seconds(wall_seconds() - start));
  graph::Update update;
  update.set(key(field::final_response), std::move(answer.final_response));
  update.set(key(field::image_path), std::move(answer.image_path));
  return update;
}

}  // namespace norvex::flow_stages
