// The default single-brace syntax: literal braces, bare-name placeholders, strict errors.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "norvex/error.hpp"
#include "norvex/prompts/render.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

std::string f(std::string_view text, const Variables& variables = {}) {
  return render(text, TemplateFormat::f_string, variables);
}

std::string build_error(std::string_view text) {
  try {
    CompiledTemplate(std::string(text), TemplateFormat::f_string);
  } catch (const ValueError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no ValueError for " << text;
  return {};
}

TEST(DefaultSyntax, DoubledBracesAreLiteralAndNotPlaceholders) {
  EXPECT_EQ(f("{{name}} {x} }}{{ {{{x}}}", {{"x", 1}, {"name", "N"}}), "{name} 1 }{ {1}");
  EXPECT_EQ(f("{{\"a\": [{{}}]}}"), "{\"a\": [{}]}") << "JSON written with escaped braces";
}

TEST(DefaultSyntax, ValuesAreInsertedAsTheyAreWithoutReinterpretation) {
  EXPECT_EQ(f("[{v}]", {{"v", "{x} {{y}} {% for %} \\n <&>"}}), "[{x} {{y}} {% for %} \\n <&>]");
  EXPECT_EQ(f("{n}|{r}|{t}|{z}|{l}",
              {{"n", 42}, {"r", 2.0}, {"t", true}, {"z", nullptr}, {"l", Json::array({"a", 1})}}),
            "42|2.0|True|None|['a', 1]");
}

TEST(DefaultSyntax, MissingVariableIsAnArgumentErrorNamingEveryMissingName) {
  try {
    (void)f("{present} {absent} {other} {absent}", {{"present", 1}, {"unused", 2}});
    FAIL() << "no error";
  } catch (const ArgumentError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("'absent'"), std::string::npos) << what;
    EXPECT_NE(what.find("'other'"), std::string::npos) << what;
    EXPECT_EQ(what.find("'present'"), std::string::npos) << what;
  }
}

TEST(DefaultSyntax, MalformedTemplatesFailWhenBuiltWithPosition) {
  struct Case {
    std::string_view text;
    std::string_view says;
  };
  for (const auto& c :
       {Case{"abc {", "never closed"}, Case{"a } b", "single '}'"},
        Case{"x {} y", "empty placeholder"}, Case{"{a:>10}", "format, conversion"},
        Case{"{a!r}", "conversion"}, Case{"{a.b}", "attribute"}, Case{"{a[0]}", "index"},
        Case{"{0}", "not a name"}, Case{"{ a }", "bare name"}, Case{"{a b}", "bare name"},
        Case{"{a-b}", "bare name"}, Case{"{{{a", "never closed"}}) {
    const auto what = build_error(c.text);
    EXPECT_NE(what.find(c.says), std::string::npos) << c.text << " -> " << what;
  }
  EXPECT_NE(build_error("line one\n  tail }").find("line 2, column 8"), std::string::npos);
}

TEST(DefaultSyntax, InputVariablesListEachNameOnceInOrderOfUse) {
  const CompiledTemplate compiled("{b} {{c}} {a} {b}", TemplateFormat::f_string);
  EXPECT_EQ(compiled.variables(), (std::vector<std::string>{"b", "a"}));
}

TEST(DefaultSyntax, VariablesMustBeAnObjectNullCountsAsEmpty) {
  EXPECT_EQ(f("plain", nullptr), "plain");
  EXPECT_THROW((void)f("plain", Json::array({1})), ArgumentError);
  EXPECT_THROW((void)f("{a}", nullptr), ArgumentError);
  EXPECT_THROW((void)parse_template_format("mustache"), ArgumentError);
}

}  // namespace
}  // namespace norvex::prompts
