// `norvex db`: the stand-alone database tool from the command line.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_options.hpp"
#include "norvex/dbkit/dbkit.hpp"
#include "norvex/error.hpp"

namespace norvex::cli {
namespace {

using Json = nlohmann::ordered_json;

// Where a password comes from when --password is not given: never from the command line's
// echo, and not visible in the process list.
constexpr const char* kPasswordVariable = "NORVEX_DB_PASSWORD";
// The database tool reads no port from the environment; the command line does.
constexpr const char* kPortVariable = "db_port";

// Engines of schema and query, written as the user likes; the tool offers two.
const std::map<std::string, std::string> kQueryEngines = {{"mysql", "mysql"},
                                                          {"postgresql", "postgresql"}};

struct Connection {
  std::optional<std::string> host;
  std::optional<std::int64_t> port;
  std::optional<std::string> user;
  std::optional<std::string> database;
  std::optional<std::string> password;
};

void add_connection_options(CLI::App& command, Connection& c, bool required) {
  command.add_option("--host", c.host, "Server host name or address")->required(required);
  command.add_option("--port", c.port, "Server port")->required(required);
  command.add_option("--user", c.user, "User name")->required(required);
  command.add_option("--database", c.database, "Database name")->required(required);
  command.add_option("--password", c.password,
                     "Password (default: $NORVEX_DB_PASSWORD; prefer the variable, which other "
                     "users cannot see in the process list)");
}

std::optional<std::string> password_of(const Connection& c) {
  if (c.password) return c.password;
  if (const char* value = std::getenv(kPasswordVariable)) return std::string(value);
  return std::nullopt;
}

std::optional<std::int64_t> port_from_environment() {
  const char* value = std::getenv(kPortVariable);
  if (value == nullptr || *value == '\0') return std::nullopt;
  try {
    std::size_t used = 0;
    const long long port = std::stoll(value, &used);
    if (used == std::string(value).size()) return port;
  } catch (const std::exception&) {
  }
  throw ArgumentError(std::string("the environment variable ") + kPortVariable +
                      " must be a whole number");
}

// Applies the options (and db_port) over the configuration read at load; with none of
// them the configuration is used as it is.
void configure(const Connection& c) {
  const auto password = password_of(c);
  const auto port = c.port ? c.port : port_from_environment();
  if (!c.host && !port && !c.user && !c.database && !password) return;
  const dbkit::DatabaseConfig current = dbkit::database_config();
  dbkit::set_database_config(
      c.database ? c.database : current.db_name, c.user ? c.user : current.db_user,
      password ? password : current.db_password, c.host ? c.host : current.db_host,
      dbkit::Port{port.value_or(current.db_port)});
}

Json cell_json(const dbkit::Cell& cell) {
  using Kind = dbkit::Cell::Kind;
  switch (cell.kind()) {
    case Kind::null:
      return nullptr;
    case Kind::boolean:
      return cell.as_bool();
    case Kind::integer:
      return cell.as_integer();
    case Kind::floating:
      return cell.as_double();
    case Kind::bytes:
      return cell.to_string();
    default:
      return cell.as_text();
  }
}

// Prints rows as an aligned table; numbers are right-aligned.
void print_table(const std::vector<std::string>& header,
                 const std::vector<std::vector<const dbkit::Cell*>>& rows) {
  std::size_t columns = header.size();
  for (const auto& row : rows) columns = std::max(columns, row.size());
  std::vector<std::size_t> width(columns, 0);
  std::vector<std::vector<std::string>> texts;
  for (std::size_t i = 0; i < header.size(); ++i) width[i] = header[i].size();
  for (const auto& row : rows) {
    auto& line = texts.emplace_back();
    for (std::size_t i = 0; i < row.size(); ++i) {
      line.push_back(row[i]->to_string());
      width[i] = std::max(width[i], line.back().size());
    }
  }
  const auto numeric = [](const dbkit::Cell& cell) {
    using Kind = dbkit::Cell::Kind;
    return cell.kind() == Kind::integer || cell.kind() == Kind::floating ||
           cell.kind() == Kind::decimal;
  };
  auto emit = [&](const std::vector<std::string>& line,
                  const std::vector<const dbkit::Cell*>* cells) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::size_t pad = width[i] - line[i].size();
      const bool right = cells != nullptr && numeric(*(*cells)[i]);
      if (i > 0) std::cout << "  ";
      if (right) std::cout << std::string(pad, ' ');
      std::cout << line[i];
      if (!right && i + 1 < line.size()) std::cout << std::string(pad, ' ');
    }
    std::cout << '\n';
  };
  if (!header.empty()) {
    emit(header, nullptr);
    std::vector<std::string> rule;
    for (std::size_t i = 0; i < header.size(); ++i) rule.emplace_back(width[i], '-');
    emit(rule, nullptr);
  }
  for (std::size_t r = 0; r < rows.size(); ++r) emit(texts[r], &rows[r]);
  std::cout << '(' << rows.size() << (rows.size() == 1 ? " row)" : " rows)") << '\n';
}

int show_schema(const dbkit::Schema& schema, bool json) {
  if (json) {
    Json out = Json::object();
    for (const auto& table : schema) {
      Json columns = Json::array();
      for (const auto& column : table.columns) {
        columns.push_back({{"name", column.name}, {"type", column.type}});
      }
      out[table.name] = std::move(columns);
    }
    std::cout << out.dump(2) << '\n';
    return 0;
  }
  for (const auto& table : schema) {
    std::cout << table.name << '\n';
    std::size_t width = 0;
    for (const auto& column : table.columns) width = std::max(width, column.name.size());
    for (const auto& column : table.columns) {
      std::cout << "  " << column.name << std::string(width - column.name.size() + 2, ' ')
                << column.type << '\n';
    }
  }
  return 0;
}

int show_mysql_rows(const std::vector<dbkit::Row>& rows, bool json) {
  if (json) {
    Json out = Json::array();
    for (const auto& row : rows) {
      Json record = Json::object();
      for (const auto& [label, cell] : row) record[label] = cell_json(cell);
      out.push_back(std::move(record));
    }
    std::cout << out.dump(2) << '\n';
    return 0;
  }
  std::vector<std::string> header = rows.empty() ? std::vector<std::string>{} : rows[0].labels();
  std::vector<std::vector<const dbkit::Cell*>> cells;
  for (const auto& row : rows) {
    auto& line = cells.emplace_back();
    for (const auto& entry : row) line.push_back(&entry.second);
  }
  print_table(header, cells);
  return 0;
}

int show_pg_rows(const std::vector<dbkit::PgRow>& rows, bool json) {
  if (json) {
    Json out = Json::array();
    for (const auto& row : rows) {
      Json record = Json::array();
      for (const auto& cell : row) record.push_back(cell_json(cell));
      out.push_back(std::move(record));
    }
    std::cout << out.dump(2) << '\n';
    return 0;
  }
  std::vector<std::vector<const dbkit::Cell*>> cells;
  for (const auto& row : rows) {
    auto& line = cells.emplace_back();
    for (const auto& cell : row) line.push_back(&cell);
  }
  print_table({}, cells);
  return 0;
}

struct DbOptions {
  std::string engine;
  Connection connection;
  std::string sql;
  bool json = false;
  FileArguments files;
};

// The tables that data files become, without writing them anywhere.
int show_file_schema(const DbOptions& options) {
  const auto report =
      files::inspect_files(file_specs(options.files), load_options(options.files, true));
  report_notes(report);
  dbkit::Schema schema;
  for (const auto& table : report) {
    auto& columns = schema.reset_table(table.name);
    for (const auto& column : table.columns) {
      columns.push_back({column.name, std::string(files::type_name(column.type))});
    }
    if (!options.json) {
      std::cerr << table.name << ": " << table.source.string()
                << (table.sheet.empty() ? "" : ", sheet " + table.sheet) << ", " << table.rows
                << (table.rows == 1 ? " row" : " rows") << '\n';
    }
  }
  return show_schema(schema, options.json);
}

}  // namespace

void add_db_commands(CLI::App& app, Action& action) {
  auto* db = app.add_subcommand(
      "db",
      "The database tool: connection test, configuration audit, schema and queries.\n"
      "schema and query use the configuration read from db_user, db_password, db_host and\n"
      "db_name (and db_port, read by this command), overridden by the options given.");
  db->require_subcommand(1);
  auto options = std::make_shared<DbOptions>();

  auto* check = db->add_subcommand("check", "Test a connection and print the outcome");
  check->add_option("--engine", options->engine, "MySQL, PostgreSQL or MsSQL")
      ->required()
      ->transform(
          CLI::IsMember({std::string(dbkit::kMysqlEngine), std::string(dbkit::kPostgresEngine),
                         std::string(dbkit::kMssqlEngine)},
                        CLI::ignore_case));
  add_connection_options(*check, options->connection, true);
  check->callback([options, &action] {
    action = [options] {
      const auto& c = options->connection;
      const std::string outcome =
          dbkit::get_db_connection(options->engine, *c.user, password_of(c).value_or(""), *c.host,
                                   dbkit::Port{*c.port}, *c.database);
      std::cout << outcome << std::endl;
      return outcome == dbkit::kConnectionEstablished ? 0 : 1;
    };
  });

  auto* config = db->add_subcommand(
      "config", "Audit the configuration; exit status 1 when a value is missing or empty");
  add_connection_options(*config, options->connection, false);
  config->callback([options, &action] {
    action = [options] {
      configure(options->connection);
      std::cout.flush();
      return dbkit::check_db_config_variables().empty() ? 0 : 1;
    };
  });

  auto* schema = db->add_subcommand("schema", "Print the configured database's tables and columns");
  auto* query = db->add_subcommand(
      "query",
      "Run one SQL text on the configured database and print its rows (the text is sent "
      "as written: connect with a read-only account to keep data safe)");
  auto* schema_engine = schema->add_option("--engine", options->engine, "mysql or postgresql");
  auto* query_engine = query->add_option("--engine", options->engine, "mysql or postgresql");
  query_engine->required();
  auto* schema_file = add_file_options(*schema, options->files);
  schema_file->excludes(schema_engine);
  for (auto* engine : {schema_engine, query_engine}) {
    engine->transform(CLI::IsMember(kQueryEngines, CLI::ignore_case));
  }
  for (auto* command : {schema, query}) {
    command->add_flag("--json", options->json, "Print JSON instead of text");
    add_connection_options(*command, options->connection, false);
  }
  query->add_option("SQL", options->sql, "The SQL text")->required();

  schema->callback([options, &action, schema_engine, schema_file] {
    if (schema_engine->count() == 0 && schema_file->count() == 0) {
      throw CLI::RequiredError("--engine or --file");
    }
    if (schema_file->count() > 0) {
      action = [options] { return show_file_schema(*options); };
      return;
    }
    action = [options] {
      configure(options->connection);
      std::optional<dbkit::Schema> result;
      {
        const LinesToStandardError quiet(options->json);
        result = options->engine == "mysql" ? dbkit::get_mysql_database_schema()
                                            : dbkit::get_pgdb_schema();
      }
      std::cout.flush();
      if (!result) return 1;
      return show_schema(*result, options->json);
    };
  });
  query->callback([options, &action] {
    action = [options] {
      configure(options->connection);
      if (options->engine == "mysql") {
        std::optional<std::vector<dbkit::Row>> rows;
        {
          const LinesToStandardError quiet(options->json);
          rows = dbkit::execute_mysql_query(options->sql);
        }
        return rows ? show_mysql_rows(*rows, options->json) : 1;
      }
      std::optional<std::vector<dbkit::PgRow>> rows;
      {
        const LinesToStandardError quiet(options->json);
        rows = dbkit::execute_pgdb_query(options->sql);
      }
      return rows ? show_pg_rows(*rows, options->json) : 1;
    };
  });
}

}  // namespace norvex::cli
