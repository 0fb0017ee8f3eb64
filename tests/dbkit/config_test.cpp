// The configuration: read from the environment once at load (checked in a child process
// with a controlled environment), replaced whole by set_database_config, audited.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "norvex/dbkit/config.hpp"
#include "norvex/error.hpp"
#include "scratch.hpp"

namespace norvex::dbkit {
namespace {

using test::printed_by;

// Runs the probe with exactly `environment` and returns its standard output.
std::string run_probe(std::vector<std::string> environment) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);

  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = NORVEX_DBKIT_CONFIG_PROBE;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  std::string output;
  if (spawned == 0) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
      output.append(buffer, n);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  }
  ::close(pipe_ends[0]);
  EXPECT_EQ(spawned, 0) << "cannot start " << program;
  return output;
}

TEST(ConfigurationAtLoad, DefaultsWithoutVariablesAndTheAuditNamesNameAndHost) {
  EXPECT_EQ(run_probe({}),
            "db_port=3306\n"
            "db_user=root\n"
            "db_password=kelp\n"
            "db_host=<absent>\n"
            "db_name=<absent>\n"
            "The following configuration variables are invalid: db_name, db_host\n"
            "returned=db_name,db_host\n"
            "odbc loaded=no\n");
}

TEST(ConfigurationAtLoad, VariablesAreReadOnceAndLaterChangesDoNotCount) {
  EXPECT_EQ(run_probe({"db_user=ana", "db_password=s3cret", "db_host=127.0.0.1", "db_name=sales",
                       "db_port=5432"}),
            "db_port=3306\n"  // the environment is never consulted for the port
            "db_user=ana\n"
            "db_password=s3cret\n"
            "db_host=127.0.0.1\n"
            "db_name=sales\n"
            "All configuration variables are set correctly.\n"
            "returned=\n"
            "odbc loaded=no\n");
}

TEST(ConfigurationAtLoad, EmptyVariablesGiveEmptyTextsNotDefaultsAndCountAsInvalid) {
  EXPECT_EQ(run_probe({"db_user=", "db_password=", "db_host=", "db_name=  "}),
            "db_port=3306\n"
            "db_user=\n"
            "db_password=\n"
            "db_host=\n"
            "db_name=  \n"
            "The following configuration variables are invalid: db_user, db_password, db_host\n"
            "returned=db_user,db_password,db_host\n"
            "odbc loaded=no\n");
}

class SetDatabaseConfig : public ::testing::Test {
 protected:
  void SetUp() override { set_database_config("sales", "ana", "pw", "127.0.0.1", 5432); }
};

TEST_F(SetDatabaseConfig, RefusedCallsChangeNothing) {
  const DatabaseConfig before = database_config();
  const auto refuses = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "accepted";
    } catch (const ArgumentError& error) {
      EXPECT_STREQ(error.what(), "All parameters must be provided and 'port' must be an integer.");
    }
  };
  refuses([] { set_database_config("n", "u", "p", "h", std::string("3306")); });
  refuses([] { set_database_config("n", "u", "p", std::nullopt, 3306); });
  refuses([] { set_database_config(std::nullopt, "u", "p", "h", 3306); });
  refuses([] { set_database_config("n", "u", "p", "h", std::nullopt); });
  EXPECT_EQ(database_config(), before);
  EXPECT_EQ(printed_by([] { check_db_config_variables(); }),
            "All configuration variables are set correctly.\n");
}

TEST_F(SetDatabaseConfig, StoresAnyIntegerPortAndEmptyTexts) {
  set_database_config("", "u", "p", "", -1);
  const DatabaseConfig config = database_config();
  EXPECT_EQ(config.db_port, -1);
  EXPECT_EQ(config.db_name, "");
  EXPECT_EQ(config.db_user, "u");
  EXPECT_EQ(config.db_password, "p");
  EXPECT_EQ(config.db_host, "");

  std::vector<std::string> invalid;
  EXPECT_EQ(printed_by([&] { invalid = check_db_config_variables(); }),
            "The following configuration variables are invalid: db_name, db_host\n");
  EXPECT_EQ(invalid, (std::vector<std::string>{"db_name", "db_host"}));
}

TEST_F(SetDatabaseConfig, AuditCountsBlanksAndNullTextAsSet) {
  set_database_config("null", " ", "p", "h", 0);
  std::vector<std::string> invalid{"not called"};
  EXPECT_EQ(printed_by([&] { invalid = check_db_config_variables(); }),
            "All configuration variables are set correctly.\n");
  EXPECT_TRUE(invalid.empty());
}

}  // namespace
}  // namespace norvex::dbkit
