// The `norvex` program run as a user runs it: a child process in its own working
// directory, with its standard output, standard error and exit status examined.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/cli_process.hpp"
#include "support/python_scratch.hpp"
#include "support/servers.hpp"

namespace norvex::test {
namespace {

using Environment = std::map<std::string, std::optional<std::string>>;

const std::string kProgram = NORVEX_CLI_PROGRAM;
const std::string kConnected = "Success! Connection Established! .\n";

// The database settings a test's environment must not inherit from the developer's shell.
Environment clean_database_environment() {
  Environment env;
  for (const char* name : {"db_user", "db_password", "db_host", "db_name", "db_port",
                           "NORVEX_DB_PASSWORD", "NORVEX_DOTENV", "NORVEX_MODEL_CONFIG"}) {
    env[name] = std::nullopt;
  }
  return env;
}

ProgramRun norvex(std::vector<std::string> args, const std::filesystem::path& cwd = {},
                  Environment env = clean_database_environment()) {
  args.insert(args.begin(), kProgram);
  return run_program(args, cwd, env);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliUsage, HelpIsAvailableOnEveryCommand) {
  const std::vector<std::vector<std::string>> commands = {{},
                                                          {"db"},
                                                          {"db", "check"},
                                                          {"db", "config"},
                                                          {"db", "schema"},
                                                          {"db", "query"},
                                                          {"env"},
                                                          {"env", "init"},
                                                          {"env", "install"}};
  for (auto args : commands) {
    args.push_back("--help");
    const auto run = norvex(args);
    EXPECT_EQ(run.status, 0) << args.size();
    EXPECT_TRUE(contains(run.out, "Usage: norvex")) << run.out;
    EXPECT_EQ(run.err, "");
  }
  const auto version = norvex({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_FALSE(version.out.empty());
}

TEST(CliUsage, BadArgumentsPrintTheErrorAndUsageAndFail) {
  const std::vector<std::vector<std::string>> commands = {
      {},
      {"db"},
      {"db", "check", "--engine", "MySQL"},  // host, port, user, database missing
      {"db", "check", "--engine", "Oracle", "--host", "127.0.0.1", "--port", "1", "--user", "u",
       "--database", "d"},
      {"db", "check", "--engine", "MySQL", "--host", "127.0.0.1", "--port", "many", "--user", "u",
       "--database", "d"},
      {"db", "query", "--engine", "mysql"},  // no SQL
      {"db", "schema", "--engine", "sqlite"},
      {"env", "install"},  // no package
      {"db", "config", "--unknown-option"},
  };
  for (const auto& args : commands) {
    const auto run = norvex(args);
    EXPECT_NE(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "ERROR: ")) << run.err;
    EXPECT_TRUE(contains(run.err, "Usage: norvex")) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(CliUsage, ConfigAuditFailsWhenValuesAreMissing) {
  auto env = clean_database_environment();
  env["db_host"] = "127.0.0.1";
  env["db_name"] = "";
  ScratchDir dir("norvex-cli");
  const auto run = norvex({"db", "config"}, dir.path(), env);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "The following configuration variables are invalid: db_name\n");
}

TEST(CliUsage, UnreachableServerFailsWithTheClientsMessage) {
  const std::string port = std::to_string(closed_local_port());
  const auto run = norvex({"db", "check", "--engine", "postgresql", "--host", "127.0.0.1", "--port",
                           port, "--user", "u", "--database", "d"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.rfind("Failed to connect to PostgreSQL database: ", 0), 0u) << run.out;
}

class CliMysql : public MysqlTest {};
class CliPg : public PgTest {};

std::vector<std::string> check_args(const std::string& engine, const ServerConfig& s) {
  return {"db",     "check", "--engine",   engine,
          "--host", s.host,  "--port",     std::to_string(s.port),
          "--user", s.user,  "--database", s.database};
}

TEST_F(CliMysql, CheckConnectsWithThePasswordFromTheVariableOrTheOption) {
  auto env = clean_database_environment();
  env["NORVEX_DB_PASSWORD"] = server_.password;
  auto run = norvex(check_args("MySQL", server_), {}, env);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, kConnected);

  auto args = check_args("mysql", server_);  // engine names in any case
  args.insert(args.end(), {"--password", server_.password});
  run = norvex(args);
  EXPECT_EQ(run.out, kConnected);
}

TEST_F(CliMysql, WrongPasswordFailsClearlyWithoutShowingIt) {
  const std::string wrong = "Wr0ng-pa55word-xyz";
  auto args = check_args("MySQL", server_);
  args.insert(args.end(), {"--password", wrong});
  const auto run = norvex(args);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.rfind("Failed to connect to MySQL database: ", 0), 0u) << run.out;
  EXPECT_TRUE(contains(run.out, "Access denied")) << run.out;
  EXPECT_FALSE(contains(run.out + run.err, wrong));
}

TEST_F(CliPg, CheckConnectsAndWrongPasswordFailsWithoutShowingIt) {
  auto env = clean_database_environment();
  env["NORVEX_DB_PASSWORD"] = server_.password;
  auto run = norvex(check_args("PostgreSQL", server_), {}, env);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, kConnected);

  const std::string wrong = "Wr0ng-pa55word-xyz";
  env["NORVEX_DB_PASSWORD"] = wrong;
  run = norvex(check_args("PostgreSQL", server_), {}, env);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.rfind("Failed to connect to PostgreSQL database: ", 0), 0u) << run.out;
  EXPECT_TRUE(contains(run.out, "password authentication failed")) << run.out;
  EXPECT_FALSE(contains(run.out + run.err, wrong));
}

// The database tool reads its configuration when its library loads; these commands get
// theirs only from the .env file of the working directory, which proves that the file is
// loaded first.
void write_dotenv(const ScratchDir& dir, const ServerConfig& s) {
  write_text(dir / ".env",
             "# connection of the test\n"
             "export db_user=" +
                 s.user +
                 "\n"
                 "db_password='" +
                 s.password +
                 "'\n"
                 "db_host=" +
                 s.host +
                 "   # loopback only\n"
                 "db_name=\"" +
                 s.database +
                 "\"\n"
                 "db_port=" +
                 std::to_string(s.port) + "\n");
}

TEST_F(CliMysql, QueryAndSchemaUseTheDotenvFileOfTheWorkingDirectory) {
  ScratchDir dir("norvex-cli");
  write_dotenv(dir, server_);

  auto run = norvex({"db", "config"}, dir.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "All configuration variables are set correctly.\n");

  run = norvex({"db", "query", "--engine", "mysql",
                "SELECT ArtistId, Name FROM Artist WHERE ArtistId <= 2 ORDER BY ArtistId"},
               dir.path());
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out,
            "ArtistId  Name\n"
            "--------  ------\n"
            "       1  AC/DC\n"
            "       2  Accept\n"
            "(2 rows)\n");

  run = norvex({"db", "query", "--engine", "MySQL", "--json",
                "SELECT ArtistId, Name, NULL AS Nothing FROM Artist WHERE ArtistId = 1"},
               dir.path());
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(nlohmann::json::parse(run.out),
            nlohmann::json::parse(R"([{"ArtistId": 1, "Name": "AC/DC", "Nothing": null}])"));

  run = norvex({"db", "schema", "--engine", "mysql", "--json"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.out;
  const auto schema = nlohmann::json::parse(run.out);
  ASSERT_TRUE(schema.contains("Artist")) << run.out;
  EXPECT_EQ(schema["Artist"][1],
            nlohmann::json::parse(R"j({"name": "Name", "type": "varchar(120)"})j"));

  run = norvex({"db", "schema", "--engine", "mysql"}, dir.path());
  EXPECT_TRUE(contains(run.out, "Artist\n  ArtistId  int(11)\n  Name      varchar(120)\n"))
      << run.out;
}

TEST_F(CliMysql, VariablesOfTheEnvironmentWinOverTheDotenvFile) {
  ScratchDir dir("norvex-cli");
  write_dotenv(dir, server_);
  auto env = clean_database_environment();
  env["db_name"] = "norvex_no_such_database";
  const auto run = norvex({"db", "query", "--engine", "mysql", "SELECT 1"}, dir.path(), env);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.out, "norvex_no_such_database")) << run.out;
  EXPECT_FALSE(contains(run.out + run.err, server_.password));
}

TEST_F(CliPg, QueryAndSchemaUseTheDotenvFileOfTheWorkingDirectory) {
  ScratchDir dir("norvex-cli");
  write_dotenv(dir, server_);
  auto run = norvex({"db", "query", "--engine", "postgresql", "--json",
                     "SELECT artist_id, name FROM artist WHERE artist_id <= 2 ORDER BY 1"},
                    dir.path());
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out),
            nlohmann::json::parse(R"([[1, "AC/DC"], [2, "Accept"]])"));

  run = norvex({"db", "schema", "--engine", "postgresql", "--json"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(nlohmann::json::parse(run.out).contains("artist")) << run.out;

  run = norvex({"db", "query", "--engine", "postgresql", "SELECT no_such_column FROM artist"},
               dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.rfind("An error occurred while executing the query: ", 0), 0u) << run.out;

  // With --json, standard output stays clean: the failure line goes to standard error.
  run = norvex({"db", "query", "--engine", "postgresql", "--json", "SELECT no_such_column"},
               dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("An error occurred while executing the query: ", 0), 0u) << run.err;
}

// pip cannot reach an index here; the bootstrap still prints its lines and the command
// says how it went.
TEST(CliEnv, InstallWithoutAnIndexStillPrintsItsLines) {
  ScratchDir dir("norvex-cli");
  Environment env;
  env["PIP_NO_INDEX"] = "1";
  env["PIP_RETRIES"] = "0";
  env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1";
  const auto run = norvex(
      {"env", "install", "--path", (dir / "venv").string(), "norvex-package-that-does-not-exist"},
      dir.path(), env);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "venv" / "bin" / "python"));
  EXPECT_TRUE(contains(run.err, "norvex-package-that-does-not-exist")) << run.err;
  const std::string success = "Installation successful.\n";
  ASSERT_GE(run.out.size(), success.size()) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - success.size()), success) << run.out;

  const auto init = norvex({"env", "init", "--path", (dir / "venv").string()}, dir.path(), env);
  EXPECT_EQ(init.status, 0);
  EXPECT_EQ(init.out, "");  // an existing environment is left as it is

  write_text(dir / "file", "");
  const auto blocked =
      norvex({"env", "init", "--path", (dir / "file" / "venv").string()}, dir.path(), env);
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(blocked.out.rfind("An error occurred during initilization: ", 0), 0u) << blocked.out;
}

std::string best_sellers(const std::filesystem::path& db) {
  sqlite3* handle = nullptr;
  EXPECT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string out;
  sqlite3_exec(
      handle,
      "SELECT p.name, SUM(oi.quantity) AS sold FROM order_items oi "
      "JOIN products p USING (product_id) JOIN orders o USING (order_id) "
      "WHERE o.status <> 'cancelled' GROUP BY p.product_id ORDER BY sold DESC LIMIT 6",
      [](void* sink, int, char** values, char**) {
        *static_cast<std::string*>(sink) += std::string(values[0]) + "=" + values[1] + "\n";
        return 0;
      },
      &out, nullptr);
  sqlite3_close(handle);
  return out;
}

TEST(SampleDatabase, IsTheSameOnEveryGenerationAndHasClearBestSellers) {
  ScratchDir dir("norvex-cli");
  const std::string script = NORVEX_SAMPLE_STORE_SCRIPT;
  for (const char* name : {"one.db", "two.db"}) {
    const auto run = run_program({script, (dir / name).string()});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  EXPECT_EQ(read_text(dir / "one.db"), read_text(dir / "two.db"));

  // An existing file is kept as it is.
  write_text(dir / "kept.db", "not a database");
  EXPECT_EQ(run_program({script, (dir / "kept.db").string()}).status, 0);
  EXPECT_EQ(read_text(dir / "kept.db"), "not a database");

  // The five best sellers are five distinct products with distinct totals.
  const std::string top = best_sellers(dir / "one.db");
  std::vector<long> totals;
  for (std::size_t at = 0; (at = top.find('=', at)) != std::string::npos; ++at) {
    totals.push_back(std::stol(top.substr(at + 1)));
  }
  ASSERT_EQ(totals.size(), 6u) << top;
  for (std::size_t i = 0; i + 1 < totals.size(); ++i) EXPECT_GT(totals[i], totals[i + 1]) << top;
}

}  // namespace
}  // namespace norvex::test
