// Reading dotenv files and loading them into the environment.
#include "norvex/agent/dotenv.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "norvex/error.hpp"
#include "support/cli_process.hpp"
#include "support/python_scratch.hpp"

namespace norvex::agent {
namespace {

using namespace std::string_view_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(DotenvParse, SkipsCommentsAndBlanksAndReadsExportAndInlineComments) {
  const auto file = parse_dotenv(
      "# a comment\n"
      "\n"
      "   \t\n"
      "PLAIN=value\n"
      "  SPACED = padded value   \n"
      "export EXPORTED=yes\n"
      "INLINE=kept # dropped comment\n"
      "HASH=a#b\n"
      "EMPTY=\n"
      "dotted.name-x=1\n"
      "exported=not-a-prefix\n"
      "LAST=no newline at end");
  EXPECT_EQ(file.variables, (Pairs{{"PLAIN", "value"},
                                   {"SPACED", "padded value"},
                                   {"EXPORTED", "yes"},
                                   {"INLINE", "kept"},
                                   {"HASH", "a#b"},
                                   {"EMPTY", ""},
                                   {"dotted.name-x", "1"},
                                   {"exported", "not-a-prefix"},
                                   {"LAST", "no newline at end"}}));
  EXPECT_TRUE(file.skipped_lines.empty());
}

TEST(DotenvParse, QuotedValuesKeepTheirContentAndReadEscapes) {
  const auto file = parse_dotenv(
      "SINGLE='a \\n b # not a comment'\n"
      "SINGLE_ESC='it\\'s \\\\ done'\n"
      "DOUBLE=\"line1\\nline2\\t\\\"q\\\" \\\\ \\$HOME \\x\"\n"
      "MULTI=\"first\n"
      "second\"\n"
      "AFTER=\"v\"   # trailing comment\n"
      "EMPTYQ=''\n"
      "NEXT=ok\n");
  EXPECT_EQ(file.variables, (Pairs{{"SINGLE", "a \\n b # not a comment"},
                                   {"SINGLE_ESC", "it's \\ done"},
                                   {"DOUBLE", "line1\nline2\t\"q\" \\ $HOME \\x"},
                                   {"MULTI", "first\nsecond"},
                                   {"AFTER", "v"},
                                   {"EMPTYQ", ""},
                                   {"NEXT", "ok"}}));
  EXPECT_TRUE(file.skipped_lines.empty());
}

TEST(DotenvParse, UnreadableLinesAreSkippedByNumberAndTheRestIsRead) {
  const auto file = parse_dotenv(
      "no equals sign\n"       // 1
      "=no name\n"             // 2
      "OPEN=\"never closed\n"  // 3
      "GOOD=1\n"               // 4
      "JUNK='x' trailing\n"    // 5
      "SPACE IN NAME=1\r\n"    // 6
      "CRLF=windows\r\n"       // 7
      "A\0B=nul\n"             // 8 (a NUL cannot reach the environment)
      "LAST=2"sv);
  EXPECT_EQ(file.variables, (Pairs{{"GOOD", "1"}, {"CRLF", "windows"}, {"LAST", "2"}}));
  EXPECT_EQ(file.skipped_lines, (std::vector<std::size_t>{1, 2, 3, 5, 6, 8}));
}

TEST(DotenvParse, NulInsideAValueSkipsThatLine) {
  const auto file = parse_dotenv("A=x\0y\nB=2\n"sv);
  EXPECT_EQ(file.variables, (Pairs{{"B", "2"}}));
  EXPECT_EQ(file.skipped_lines, (std::vector<std::size_t>{1}));
}

// Arbitrary bytes, weighted towards the characters the parser treats specially: it must
// never crash or loop, and what it returns must be settable in the environment.
TEST(DotenvParse, HostileInputNeverBreaksTheParser) {
  const std::string alphabet(std::string_view("AZaz_09=#'\"\\ \t\r\n$exportx.\0\xff"sv));
  std::mt19937 random(20240607);
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 80, '\0');
    for (auto& c : text) c = alphabet[random() % alphabet.size()];
    DotenvFile file;
    ASSERT_NO_THROW(file = parse_dotenv(text)) << round;
    for (const auto& [name, value] : file.variables) {
      ASSERT_FALSE(name.empty());
      ASSERT_EQ(name.find_first_of(std::string("= \t\r\n#\0", 8)), std::string::npos) << name;
      ASSERT_EQ(value.find('\0'), std::string::npos);
    }
  }
  EXPECT_TRUE(parse_dotenv("").variables.empty());
  EXPECT_TRUE(parse_dotenv(std::string(100000, '"')).variables.empty());
}

class DotenvLoad : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"NORVEX_T_NEW", "NORVEX_T_SET", "NORVEX_T_EMPTY", "NORVEX_T_TWICE"})
      ::unsetenv(name);
  }
  test::ScratchDir dir_{"norvex-agent"};
};

TEST_F(DotenvLoad, VariablesAlreadySetWinAndARepeatedNameTakesItsLastValue) {
  test::write_text(dir_ / "vars.env",
                   "NORVEX_T_NEW=from-file\nNORVEX_T_SET=from-file\nNORVEX_T_EMPTY=from-file\n"
                   "NORVEX_T_TWICE=first\nNORVEX_T_TWICE=second\n");
  ::setenv("NORVEX_T_SET", "from-env", 1);
  ::setenv("NORVEX_T_EMPTY", "", 1);

  EXPECT_EQ(load_dotenv(dir_ / "vars.env"), 2u);
  EXPECT_STREQ(std::getenv("NORVEX_T_NEW"), "from-file");
  EXPECT_STREQ(std::getenv("NORVEX_T_SET"), "from-env");
  EXPECT_STREQ(std::getenv("NORVEX_T_EMPTY"), "");
  EXPECT_STREQ(std::getenv("NORVEX_T_TWICE"), "second");

  EXPECT_EQ(load_dotenv(dir_ / "vars.env", /*override_existing=*/true), 4u);
  EXPECT_STREQ(std::getenv("NORVEX_T_SET"), "from-file");
}

TEST_F(DotenvLoad, MissingFileLoadsNothingAndADirectoryIsAnError) {
  EXPECT_EQ(load_dotenv(dir_ / "absent.env"), 0u);
  std::filesystem::create_directory(dir_ / "folder");
  EXPECT_THROW(load_dotenv(dir_ / "folder"), Error);
  test::write_text(dir_ / "empty.env", "");
  EXPECT_EQ(load_dotenv(dir_ / "empty.env"), 0u);
}

TEST_F(DotenvLoad, SkippedLinesAreReportedWithoutTheirText) {
  test::write_text(dir_ / "bad.env", "SECRET_VALUE_sk-123 oops\nNORVEX_T_NEW=1\n");
  ::testing::internal::CaptureStderr();
  load_dotenv(dir_ / "bad.env");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("line 1"), std::string::npos) << err;
  EXPECT_EQ(err.find("sk-123"), std::string::npos) << err;
}

// load_dotenv() at a program's start loads ./.env (or $NORVEX_DOTENV); variables the program
// was started with keep their values. Linking the library alone loads nothing.
TEST_F(DotenvLoad, TheStartUpLoadReadsTheWorkingDirectorysFileAndLinkingAloneLoadsNothing) {
  test::write_text(dir_ / ".env", "NORVEX_T_NEW=from-dotenv\nNORVEX_T_SET=from-dotenv\n");
  test::write_text(dir_ / "other.env", "NORVEX_T_NEW=from-other\n");
  const std::string probe = NORVEX_AGENT_DOTENV_PROBE;

  auto run = test::run_program({probe, "NORVEX_T_NEW", "NORVEX_T_SET"}, dir_.path(),
                               {{"NORVEX_T_SET", "from-env"}, {"NORVEX_DOTENV", std::nullopt}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "loaded=1\nNORVEX_T_NEW=from-dotenv\nNORVEX_T_SET=from-env\n");

  run = test::run_program({probe, "NORVEX_T_NEW"}, dir_.path(),
                          {{"NORVEX_DOTENV", (dir_ / "other.env").string()}});
  EXPECT_EQ(run.out, "loaded=1\nNORVEX_T_NEW=from-other\n");

  run = test::run_program({probe, "NORVEX_T_NEW"}, dir_ / "..",
                          {{"NORVEX_DOTENV", std::nullopt}, {"NORVEX_T_NEW", std::nullopt}});
  EXPECT_EQ(run.out, "loaded=0\nNORVEX_T_NEW=<unset>\n");

  run = test::run_program({probe, "--no-load", "NORVEX_T_NEW"}, dir_.path(),
                          {{"NORVEX_DOTENV", std::nullopt}, {"NORVEX_T_NEW", std::nullopt}});
  EXPECT_EQ(run.out, "NORVEX_T_NEW=<unset>\n");
}

}  // namespace
}  // namespace norvex::agent
