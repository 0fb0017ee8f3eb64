// `norvex ask` (one question through the pipeline) and `norvex graph` (its drawing).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_options.hpp"
#include "norvex/agent/agent.hpp"
#include "norvex/drawing/image.hpp"
#include "norvex/error.hpp"
#include "norvex/flow_stages/log.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/python/sandbox.hpp"
#include "norvex/query_flow/step_meter.hpp"
#include "norvex/sql/database.hpp"
#include "norvex/sql/row_parser.hpp"

namespace norvex::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kPasswordVariable = "NORVEX_DB_PASSWORD";
constexpr const char* kDefaultMediaDir = "norvex_media";

// Engine names as users write them, mapped to the names of the agent's engine table.
const std::map<std::string, std::string> kEngines = {
    {"mysql", "MySQL"},         {"mariadb", "MySQL"}, {"postgresql", "PostgreSQL"},
    {"postgres", "PostgreSQL"}, {"mssql", "MsSQL"},   {"sqlserver", "MsSQL"}};
const std::map<std::string, std::int64_t> kDefaultPorts = {
    {"MySQL", 3306}, {"PostgreSQL", 5432}, {"MsSQL", 1433}};

struct AskOptions {
  std::string question;
  std::optional<std::string> db;
  std::optional<std::string> engine;
  std::optional<std::string> host;
  std::optional<std::int64_t> port;
  std::optional<std::string> user;
  std::optional<std::string> database;
  std::optional<std::string> password;
  std::string media = kDefaultMediaDir;
  std::optional<std::string> replay;
  std::optional<std::string> record;
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  FileArguments files;
  std::optional<std::string> save_db;
  bool strict_sandbox = false;
};

struct GraphOptions {
  std::optional<std::string> png;
  bool offline = false;
};

std::string seconds(std::chrono::nanoseconds time) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f s", std::chrono::duration<double>(time).count());
  return buffer;
}

std::string database_uri(const AskOptions& o) {
  if (o.db) return *o.db;
  if (!o.host || !o.user || !o.database) {
    throw ArgumentError("--engine needs --host, --user and --database (or give --db URI)");
  }
  std::string password;
  if (o.password) {
    password = *o.password;
  } else if (const char* value = std::getenv(kPasswordVariable)) {
    password = value;
  }
  const std::int64_t port = o.port.value_or(kDefaultPorts.at(*o.engine));
  return agent::compose_uri(*o.engine, *o.database, *o.user, password, *o.host,
                            std::to_string(port));
}

std::vector<llm::ModelSettings> model_records(const AskOptions& o) {
  return configured_model_records(o.replay, o.record);
}

// The progress display: one line per finished step on standard error, with the step's time
// and the tokens of the model calls it made.
class Progress {
 public:
  explicit Progress(bool show)
      : show_(show), meter_([this](const query_flow::StepReport& step) { on_step(step); }) {}

  graph::Observer observer() { return meter_.observer(); }

  void finish(std::chrono::nanoseconds elapsed) {
    if (!show_) return;
    const llm::Usage u = meter_.usage();
    std::ostringstream line;
    line << "done in " << seconds(elapsed) << ": " << u.calls
         << (u.calls == 1 ? " model call, " : " model calls, ")
         << (u.prompt_tokens + u.completion_tokens) << " tokens (" << u.prompt_tokens
         << " prompt + " << u.completion_tokens << " completion)";
    std::lock_guard lock(mutex_);
    std::cerr << line.str() << std::endl;
  }

 private:
  void on_step(const query_flow::StepReport& step) {
    if (!show_) return;
    std::ostringstream line;
    char name[48];
    std::snprintf(name, sizeof name, "%-32s", std::string(step.node).c_str());
    line << "  " << name << ' ' << seconds(step.duration);
    if (step.usage.calls > 0)
      line << "  " << (step.usage.prompt_tokens + step.usage.completion_tokens) << " tokens";
    if (step.failed) line << "  failed";
    std::lock_guard lock(mutex_);
    std::cerr << line.str() << std::endl;
  }

  bool show_;
  std::mutex mutex_;
  query_flow::StepMeter meter_;
};

using query_flow::newest_text;

std::string indented(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += "  " + line + '\n';
  return out.empty() ? "  (none)\n" : out;
}

void print_answer(const Json& result) {
  std::cout << "Answer:\n" << indented(newest_text(result.value("output", Json()))) << '\n';
  std::cout << "SQL:\n" << indented(newest_text(result.value("generated_query", Json()))) << '\n';
  const std::string rows = newest_text(result.value("sql_execution_result", Json()));
  std::cout << "Rows:\n";
  if (const auto parsed = sql::parse_python_rows(rows)) {
    std::cout << (parsed->rows.empty() ? "  (no rows)\n" : indented(sql::format_table(*parsed)));
  } else {
    std::cout << indented(rows);
  }
  std::cout << '\n';
  std::cout << "Analysis code:\n"
            << indented(newest_text(result.value("python_code", Json()))) << '\n';
  const std::string chart = newest_text(result.value("image_path", Json()));
  std::cout << "Chart: " << (chart.empty() ? "(none)" : chart);
  if (!chart.empty() && !std::filesystem::exists(chart)) std::cout << " (no such file)";
  std::cout << std::endl;
}

// Which confinement layers analysis code runs under on this machine.
void print_sandbox() {
  const auto status = python::sandbox_layers();
  std::cerr << "Analysis sandbox: " << python::describe_sandbox_layers(status.available)
            << ", allow-list environment (Landlock ABI " << status.landlock_abi << ")";
  if ((status.available & python::kAllSandboxLayers) != python::kAllSandboxLayers) {
    std::cerr << "; missing: "
              << python::describe_sandbox_layers(python::kAllSandboxLayers & ~status.available);
  }
  std::cerr << "; " << python::describe_sandbox_guarantees(status.available) << std::endl;
}

int ask(const AskOptions& o) {
  if (!o.verbose) flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  if (o.strict_sandbox) python::require_strict_sandbox();
  // Ready by the time the analysis step comes, however long the files and models take.
  python::start_analysis_server();
  if (o.verbose) print_sandbox();
  const auto records = model_records(o);
  // Data files become a database first; it lives until the answer is printed.
  std::optional<files::FileDatabase> file_db;
  if (!o.files.files.empty()) {
    file_db =
        files::FileDatabase::load(file_specs(o.files), load_options(o.files, o.quiet), o.save_db);
    if (!o.quiet) report_notes(file_db->report());
    if (o.save_db) std::cerr << "Saved the database of the files as " << *o.save_db << std::endl;
  }
  const std::string uri = file_db ? file_db->uri() : database_uri(o);

  Json result;
  {
    const LinesToStandardError redirect(o.json);
    const auto agent = agent::create_agent_from_uri(uri, records);
    if (!agent) throw Error(kNoModelsMessage);
    Progress progress(!o.quiet);
    if (!o.quiet) std::cerr << "Asking: " << o.question << std::endl;
    const auto start = std::chrono::steady_clock::now();
    result = agent::run_agent(*agent, o.question, o.media, progress.observer());
    progress.finish(std::chrono::steady_clock::now() - start);
  }
  const bool failed = result.size() == 1 && result.value("output", "") == agent::kRunErrorOutput;
  if (o.json) {
    std::cout << result.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
  } else {
    print_answer(result);
  }
  return failed ? 1 : 0;
}

// A pipeline to draw: nothing is contacted while it is built, so an in-memory database and
// settings aimed at a closed local port serve.
std::unique_ptr<query_flow::QueryFlow> drawing_flow() {
  llm::AzureOpenAIChat35 small;
  small.provider = llm::Provider::openai;
  small.azure_endpoint = "http://127.0.0.1:9/v1";
  small.azure_deployment = "drawing-only";
  llm::AzureOpenAIChat4 large;
  static_cast<llm::ModelSettings&>(large) = small;
  return std::make_unique<query_flow::QueryFlow>(
      sql::CustomSQLDatabase::from_uri("sqlite:///:memory:"), small, large);
}

int draw(const GraphOptions& o) {
  const auto flow = drawing_flow();
  if (!o.png) {
    flow->visualize_graph(query_flow::kAsciiVisualization);
    return 0;
  }
  if (o.offline) {
    const std::string png =
        flow->compiled_graph().get_graph().draw_mermaid_png(graph::MermaidDrawMethod::LOCAL);
    drawing::save_image(png, *o.png);
  } else {
    flow->visualize_graph("png", *o.png);
  }
  std::cout << "Saved the drawing to " << *o.png << std::endl;
  return 0;
}

}  // namespace

// The model records: a cassette for both tiers with --replay (the cassette stands where the
// endpoint would, so the tiers count as configured), otherwise the configuration file.
std::vector<llm::ModelSettings> configured_model_records(const std::optional<std::string>& replay,
                                                         const std::optional<std::string>& record) {
  if (replay) {
    if (!std::filesystem::is_regular_file(*replay)) {
      throw ArgumentError("the cassette '" + *replay + "' does not exist");
    }
    llm::ModelSettings small;
    small.model = agent::kSmallModelTag;
    small.provider = llm::Provider::replay;
    small.cassette = *replay;
    small.azure_endpoint = *replay;
    llm::ModelSettings large = small;
    large.model = agent::kLargeModelTagPrefix;
    return {small, large};
  }
  std::vector<llm::ModelSettings> records = agent::load_model_config().models;
  if (record) {
    for (auto& r : records) r.record_to = *record;
  }
  return records;
}

void add_ask_commands(CLI::App& app, Action& action) {
  auto o = std::make_shared<AskOptions>();
  auto* ask_command = app.add_subcommand(
      "ask", "Answer a question about a database: SQL, its rows, analysis code and a chart");
  ask_command->add_option("question", o->question, "The question, in plain words")->required();
  auto* db = ask_command->add_option(
      "--db", o->db,
      "Database URI: sqlite:///file.db, mysql+mysqlconnector://user:pw@host:port/db, "
      "postgresql+psycopg2://..., mssql+pyodbc://...");
  auto* engine = ask_command
                     ->add_option("--engine", o->engine,
                                  "mysql, mariadb, postgresql or mssql, with --host, --port, "
                                  "--user, --database instead of --db")
                     ->transform(CLI::CheckedTransformer(kEngines, CLI::ignore_case))
                     ->option_text("ENGINE");
  auto* host = ask_command->add_option("--host", o->host, "Server host name or address");
  auto* port = ask_command->add_option("--port", o->port, "Server port (default: the engine's)");
  auto* user = ask_command->add_option("--user", o->user, "User name");
  auto* database = ask_command->add_option("--database", o->database, "Database name");
  auto* password = ask_command->add_option(
      "--password", o->password,
      "Password (default: $NORVEX_DB_PASSWORD; prefer the variable, which other users cannot "
      "see in the process list)");
  for (auto* option : {host, port, user, database, password}) {
    option->needs(engine);
    option->excludes(db);
  }
  db->excludes(engine);
  auto* file = add_file_options(*ask_command, o->files);
  file->excludes(db);
  file->excludes(engine);
  ask_command
      ->add_option("--save-db", o->save_db,
                   "Keep the database made of the files here (it must not exist yet), for reuse "
                   "with --db sqlite:///FILE")
      ->needs(file);
  ask_command->add_option("--media", o->media, "Directory for charts")->capture_default_str();
  auto* replay = ask_command->add_option(
      "--replay", o->replay, "Answer from this cassette instead of a live model (offline)");
  ask_command
      ->add_option("--record", o->record, "Also append every model exchange to this cassette")
      ->excludes(replay);
  ask_command->add_flag("--json", o->json,
                        "Print only the result record as JSON on standard output");
  ask_command->add_flag("--quiet", o->quiet, "No progress display on standard error");
  ask_command->add_flag("--verbose", o->verbose,
                        "Also show the pipeline's log lines and the analysis sandbox's layers");
  ask_command->add_flag("--strict-sandbox", o->strict_sandbox,
                        "Refuse to run analysis code unless every sandbox layer applies "
                        "(also NORVEX_SANDBOX=strict)");
  ask_command->callback([o, &action, db, engine, file] {
    if (db->count() == 0 && engine->count() == 0 && file->count() == 0) {
      throw CLI::RequiredError("--db, --engine or --file");
    }
    action = [o] { return ask(*o); };
  });

  auto g = std::make_shared<GraphOptions>();
  auto* graph_command = app.add_subcommand("graph", "Draw the question pipeline");
  auto* png = graph_command->add_option(
      "--png", g->png,
      "Save a PNG drawing here (rendered by the Mermaid service, NORVEX_MERMAID_URL)");
  graph_command->add_flag("--offline", g->offline, "Render the PNG locally with Graphviz")
      ->needs(png);
  graph_command->callback([g, &action] { action = [g] { return draw(*g); }; });
}

}  // namespace norvex::cli
