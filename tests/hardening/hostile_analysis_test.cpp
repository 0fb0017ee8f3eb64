// Hostile analysis code as the model's answer in whole questions on SQLite: what a user who
// can steer the model (or a row of the database) could make the analysis step do. Each
// attempt must be contained by the sandbox, leave the caller's files, secrets and database
// as they were, and the next question must work.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "norvex/agent/entry_points.hpp"
#include "norvex/python/sandbox.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"
#include "query_flow_test_support.hpp"
#include "sql_test_support.hpp"
#include "support/hostile_cases.hpp"
#include "support/servers.hpp"

namespace norvex::hardening {
namespace {

namespace fs = std::filesystem;
using norvex::query_flow::test::ScriptedPipeline;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr const char* kSecret = "sk-hostile-question-secret";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The attempt inside try: the analysis output says whether it was contained or escaped.
std::string attempt(const std::string& body) {
  std::string code = "import os, sys, socket, signal\ntry:\n";
  std::stringstream lines(body);
  for (std::string line; std::getline(lines, line);) code += "    " + line + "\n";
  return code +
         "    print('escaped')\nexcept BaseException as error:\n"
         "    print('contained', type(error).__name__)\n";
}

class HostileAnalysisInQuestions : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto layers = python::sandbox_layers().available;
    if ((layers & python::kAllSandboxLayers) != python::kAllSandboxLayers) {
      NORVEX_SKIP_OR_FAIL("this kernel lacks sandbox layers: " +
                          python::describe_sandbox_layers(python::kAllSandboxLayers & ~layers));
    }
    dir_ = sql::test::temp_dir();
    std::ofstream(dir_ / ".env") << "OPENAI_API_KEY=" << kSecret << "\n";
    std::ofstream(dir_ / "norvex_models.json")
        << R"({"models": [{"api_key": ")" << kSecret << R"("}]})";
    db_file_ = dir_ / "chinook.db";
    fs::copy_file(sql::test::chinook_sqlite(), db_file_);
    db_before_ = read_file(db_file_);
    db_ = sql::CustomSQLDatabase::from_uri("sqlite:///" + db_file_.string());
    flow_ = std::make_unique<query_flow::QueryFlow>(db_, pipeline_.small_settings(),
                                                    pipeline_.big_settings());
  }

  // Asks one question whose analysis code is `code`; returns what the analysis printed, as
  // the answer step received it.
  std::string ask(const std::string& code) {
    pipeline_.sql_queries = {
        "SELECT ar.Name, COUNT(*) AS albums FROM Album al JOIN Artist ar ON ar.ArtistId = "
        "al.ArtistId GROUP BY ar.Name ORDER BY albums DESC LIMIT 5"};
    pipeline_.pandas_codes = {code};
    const auto before = pipeline_.requests_for("GenerationOutput").size();
    CaptureStdout();
    CaptureStderr();
    const auto result = agent::run_agent(*flow_, "Which artists have the most albums?", media());
    const std::string out = GetCapturedStdout() + GetCapturedStderr();
    EXPECT_EQ(out.find(kSecret), std::string::npos) << out;
    EXPECT_EQ(result.dump().find(kSecret), std::string::npos) << result.dump();
    const auto asked = pipeline_.requests_for("GenerationOutput");
    if (asked.size() <= before) return "(no answer step) " + result.dump();
    // The answer step's prompt shows the code and, after this label, what it printed.
    const std::string prompt = asked.back().last_message();
    const std::string label = "Python executed result: ";
    const auto at = prompt.find(label);
    if (at == std::string::npos) return "(no result in the prompt) " + prompt;
    return prompt.substr(at + label.size(), prompt.find("\n\n", at) - at - label.size());
  }

  void expect_contained(const std::string& what, const std::string& body) {
    const std::string seen = ask(attempt(body));
    EXPECT_NE(seen.find("contained"), std::string::npos) << what << ": " << seen;
    EXPECT_EQ(seen.find("escaped"), std::string::npos) << what << ": " << seen;
    EXPECT_EQ(seen.find(kSecret), std::string::npos) << what;
  }

  fs::path media() const { return dir_ / "media"; }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  ScriptedPipeline pipeline_;
  fs::path dir_;
  fs::path db_file_;
  std::string db_before_;
  std::shared_ptr<sql::CustomSQLDatabase> db_;
  std::unique_ptr<query_flow::QueryFlow> flow_;
};

TEST_F(HostileAnalysisInQuestions, AreContainedAndTheNextQuestionWorks) {
  const std::string me = std::to_string(::getpid());
  const std::string model_port = std::to_string(pipeline_.server().port());
  std::vector<std::pair<std::string, std::string>> attempts = {
      {".env of the caller", "print(open('" + path(".env") + "').read())"},
      {"the model configuration", "print(open('" + path("norvex_models.json") + "').read())"},
      {"the caller's environment", "print(open('/proc/" + me + "/environ').read())"},
      {"the model's port", "socket.create_connection(('127.0.0.1', " + model_port + "))"},
      {"the database file", "open('" + db_file_.string() + "', 'r+b').write(b'broken')"},
      {"the database through sqlite3",
       "import sqlite3\nsqlite3.connect('" + db_file_.string() + "').execute('DROP TABLE Album')"},
      {"a file beside the database", "open('" + path("escaped.txt") + "', 'w').write('x')"},
      {"a .pth file in site-packages",
       "import site\nopen(site.getsitepackages()[0] + '/norvex_hostile.pth', 'w')"},
      {"a setsid survivor",
       "import subprocess\nsubprocess.Popen(['sleep', '300'], start_new_session=True)"},
      {"a signal to the caller", "os.kill(" + me + ", signal.SIGUSR1)"},
      {"a fork storm", "while True:\n    os.fork()"},
  };
  if (const auto pg = norvex::test::pg_server()) {
    attempts.emplace_back("the database server", "socket.create_connection(('127.0.0.1', " +
                                                     std::to_string(pg->port) + "))");
  }
  for (const auto& [what, body] : attempts) {
    SCOPED_TRACE(what);
    expect_contained(what, body);
  }
  EXPECT_EQ(read_file(db_file_), db_before_);
  EXPECT_FALSE(fs::exists(dir_ / "escaped.txt"));

  // A library patched by one question is whole again in the next.
  (void)ask("import pandas\npandas.DataFrame.sum = lambda *a, **k: 'patched'");
  const std::string next =
      ask("import pandas as pd\nprint('total', pd.DataFrame({'a': [1, 2, 3]})['a'].sum())");
  EXPECT_NE(next.find("total 6"), std::string::npos) << next;
  EXPECT_EQ(db_->run("SELECT COUNT(*) FROM Album"), "[(347,)]");
}

// The hostile cases of the analysis sandbox's table, each as a whole question.
TEST_F(HostileAnalysisInQuestions, TheSandboxsHostileCasesAreContainedInQuestions) {
  for (const auto& hostile : norvex::test::hostile_cases()) {
    SCOPED_TRACE(hostile.name);
    expect_contained(hostile.name, hostile.body);
  }
  norvex::test::remove_outside_file();
  const std::string next =
      ask("import pandas as pd\nprint('total', pd.DataFrame({'a': [1, 2, 3]})['a'].sum())");
  EXPECT_NE(next.find("total 6"), std::string::npos) << next;
}

}  // namespace
}  // namespace norvex::hardening
