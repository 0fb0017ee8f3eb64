// Analysis code execution through the Python runtime: captured output, error texts, exit
// requests and the state fields a run leaves.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norvex/error.hpp"
#include "stage_test_support.hpp"

namespace norvex::flow_stages {
namespace {

using graph::Json;
using testing::make_state;
using testing::merged;

class Executor : public testing::StageTest {
 protected:
  Json run(const std::string& code) {
    return executor_.invoke(make_state({{"pandas_code", code}})).to_json();
  }
  PandasExecutor executor_{model()};
};

TEST_F(Executor, SuccessStoresEverythingPrinted) {
  EXPECT_EQ(
      run("print('a')\nprint(datetime.date(2024, 1, 2))"),
      (Json{{"python_executed_output", "a\n2024-01-02\n"}, {"python_execution_success", true}}));
  EXPECT_EQ(run("x = 1"),
            (Json{{"python_executed_output", ""}, {"python_execution_success", true}}));
  EXPECT_EQ(server_.request_count(), 0u) << "execution makes no chat call";
}

TEST_F(Executor, ErrorsBecomeTypeNameAndMessageAndDropWhatWasPrinted) {
  EXPECT_EQ(run("print('lost')\nundefined_name"),
            (Json{{"python_execution_success", false},
                  {"python_error_message", "NameError: name 'undefined_name' is not defined"}}));
  const auto syntax = run("def f(:\n  pass");
  EXPECT_EQ(syntax.at("python_execution_success"), false);
  EXPECT_THAT(syntax.at("python_error_message").get<std::string>(),
              ::testing::StartsWith("SyntaxError: "));
  // Each run starts from a fresh namespace.
  (void)run("kept = 1");
  EXPECT_EQ(run("print(kept)").at("python_execution_success"), false);
}

TEST_F(Executor, ASuccessAfterAFailureKeepsTheOldErrorMessage) {
  auto state = make_state({{"pandas_code", "1/0"}});
  state = merged(state, executor_.invoke(state));
  state = merged(state, graph::Update().set("pandas_code", "print(2)"));
  state = merged(state, executor_.invoke(state));
  EXPECT_EQ(state.at("python_execution_success"), true);
  EXPECT_EQ(state.at("python_executed_output"), "2\n");
  EXPECT_EQ(state.at("python_error_message"), "ZeroDivisionError: division by zero");
}

TEST_F(Executor, AnExitRequestEndsTheStageInsteadOfBecomingAFailure) {
  try {
    (void)run("import sys\nsys.exit(3)");
    FAIL() << "expected PythonExit";
  } catch (const PythonExit& exit) {
    EXPECT_EQ(exit.type_name(), "SystemExit");
    EXPECT_EQ(exit.exit_code(), 3);
  }
  EXPECT_EQ(run("print('still here')").at("python_executed_output"), "still here\n");
  EXPECT_THROW((void)executor_.invoke(make_state()), MissingFieldError);
}

}  // namespace
}  // namespace norvex::flow_stages
