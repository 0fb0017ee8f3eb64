// How values read in a prompt: strings as they are, everything else as Python prints it.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "norvex/error.hpp"
#include "norvex/prompts/variables.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

TEST(TextForm, StringsQuoteAndEscapeAsPythonReprDoes) {
  struct Case {
    std::string text;
    std::string repr;
  };
  for (const auto& c : {
           Case{"abc", "'abc'"},
           Case{"", "''"},
           Case{"it's", "\"it's\""},
           Case{"say \"hi\"", "'say \"hi\"'"},
           Case{"it's \"x\"", "'it\\'s \"x\"'"},
           Case{"a\\b", "'a\\\\b'"},
           Case{"l1\nl2\tt\rr", "'l1\\nl2\\tt\\rr'"},
           Case{std::string("\x01\x1f\x7f", 3), "'\\x01\\x1f\\x7f'"},
           Case{std::string("nul\0end", 7), "'nul\\x00end'"},
           Case{"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                "'caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80'"},
           Case{"nb\xC2\xA0sp", "'nb\\xa0sp'"},
           Case{"\xC2\x85", "'\\x85'"},
           Case{"ls\xE2\x80\xA8", "'ls\\u2028'"},
           Case{"\xEF\xBB\xBF", "'\\ufeff'"},
           Case{"\xF3\xA0\x80\x81", "'\\U000e0001'"},
           Case{"bad\xFF\xC3", "'bad\\xff\\xc3'"},
       }) {
    EXPECT_EQ(python_repr(Json(c.text)), c.repr) << c.text;
    EXPECT_EQ(to_text(Json(c.text)), c.text) << "a string's text form is itself";
  }
}

TEST(TextForm, FloatsUseShortestRoundTripDigitsInPythonLayout) {
  struct Case {
    double value;
    std::string text;
  };
  for (const auto& c : {
           Case{2.0, "2.0"},
           Case{0.1, "0.1"},
           Case{-0.0, "-0.0"},
           Case{0.0, "0.0"},
           Case{1.0 / 3.0, "0.3333333333333333"},
           Case{123456789.125, "123456789.125"},
           Case{1e15, "1000000000000000.0"},
           Case{9999999999999998.0, "9999999999999998.0"},
           Case{1e16, "1e+16"},
           Case{1.5e16, "1.5e+16"},
           Case{1e100, "1e+100"},
           Case{0.0001, "0.0001"},
           Case{0.00012, "0.00012"},
           Case{1e-5, "1e-05"},
           Case{-1.5e-7, "-1.5e-07"},
           Case{5e-324, "5e-324"},
           Case{1.7976931348623157e308, "1.7976931348623157e+308"},
           Case{std::numeric_limits<double>::infinity(), "inf"},
           Case{-std::numeric_limits<double>::infinity(), "-inf"},
           Case{std::numeric_limits<double>::quiet_NaN(), "nan"},
       }) {
    EXPECT_EQ(to_text(Json(c.value)), c.text);
  }
}

TEST(TextForm, OtherValuesPrintAsPythonStrDoes) {
  EXPECT_EQ(to_text(Json(-42)), "-42");
  EXPECT_EQ(to_text(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(to_text(Json(true)), "True");
  EXPECT_EQ(to_text(Json(nullptr)), "None");
  EXPECT_EQ(to_text(Json::array()), "[]");
  EXPECT_EQ(to_text(Json::object()), "{}");
  const Json mixed = Json::parse(R"([1, "a", null, true, 2.5, [], {"k": "it's", "n": [1.0]}])");
  EXPECT_EQ(to_text(mixed), "[1, 'a', None, True, 2.5, [], {'k': \"it's\", 'n': [1.0]}]");
  EXPECT_EQ(python_repr(mixed), to_text(mixed));
  EXPECT_EQ(to_text(Json::binary({'a', '\'', 0x00})), "b\"a'\\x00\"");
  EXPECT_EQ(to_text(Json::array({"SELECT 1", "SELECT 'x'"})), "['SELECT 1', \"SELECT 'x'\"]");
}

TEST(TextForm, ZipPairsByPositionUpToTheShorterList) {
  EXPECT_EQ(zip({"q1", "q2", "q3"}, {"e1", "e2"}), Json::parse(R"([["q1","e1"],["q2","e2"]])"));
  EXPECT_EQ(zip(Json::array(), {"e"}), Json::array());
  EXPECT_THROW((void)zip("q", Json::array()), ArgumentError);
}

}  // namespace
}  // namespace norvex::prompts
