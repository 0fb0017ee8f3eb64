// The jinja2 subset: expressions, loops, whitespace, and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "norvex/error.hpp"
#include "norvex/prompts/render.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

std::string j(std::string_view text, const Variables& variables = {}) {
  return render(text, TemplateFormat::jinja2, variables);
}

std::string build_error(std::string_view text) {
  try {
    CompiledTemplate(std::string(text), TemplateFormat::jinja2);
  } catch (const ValueError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no ValueError for " << text;
  return {};
}

TEST(Jinja2Subset, ExpressionBlanksAreIgnoredAndMissingVariablesRenderEmpty) {
  EXPECT_EQ(j("{{x}}|{{ x }}|{{\n  x\t}}|{{ absent }}.", {{"x", "v"}}), "v|v|v|.");
  EXPECT_EQ(j("{{ n }} {{ f }} {{ b }} {{ z }} {{ l }}",
              {{"n", 7}, {"f", 0.5}, {"b", false}, {"z", nullptr}, {"l", Json::array({"q"})}}),
            "7 0.5 False None ['q']");
}

TEST(Jinja2Subset, TextOutsideTagsIsKeptIncludingLoneBracesAndClosers) {
  EXPECT_EQ(j("{ a } }} %} #} {"), "{ a } }} %} #} {");
  EXPECT_EQ(j("a{# a comment {{ x }} #}b"), "ab");
  EXPECT_EQ(j("<{{ v }}>", {{"v", "<b>&\"'"}}), "<<b>&\"'>") << "values are not escaped";
  EXPECT_EQ(j("{{ v }}", {{"v", "{{ x }}{% endfor %}"}}), "{{ x }}{% endfor %}");
}

TEST(Jinja2Subset, ExactlyOneFinalLineBreakIsDropped) {
  EXPECT_EQ(j("a\n"), "a");
  EXPECT_EQ(j("a\n\n"), "a\n");
  EXPECT_EQ(j("a\r\n"), "a");
  EXPECT_EQ(j("\n"), "");
  EXPECT_EQ(j("a"), "a");
  EXPECT_EQ(j("{{ v }}", {{"v", "ends\n"}}), "ends\n") << "only the template's own break goes";
  EXPECT_EQ(render("a\n", TemplateFormat::f_string, {}), "a\n");
}

TEST(Jinja2Subset, PairLoopBindsBothNamesAndCountsFromOne) {
  const auto pairs = zip({"q1", "q2", "q3"}, {"e1", "e2", "e3"});
  EXPECT_EQ(j("{% for a, b in s %}[{{ loop.index }}:{{ a }}={{ b }}]{% endfor %}", {{"s", pairs}}),
            "[1:q1=e1][2:q2=e2][3:q3=e3]");
  EXPECT_EQ(j("{%for a,b in s%}{{a}}{%endfor%}", {{"s", pairs}}), "q1q2q3");
  EXPECT_EQ(j("x{% for a, b in s %}y{% endfor %}z", {{"s", Json::array()}}), "xz");
  EXPECT_EQ(j("x{% for a, b in missing %}y{% endfor %}z"), "xz");
}

TEST(Jinja2Subset, LoopNamesShadowOuterVariablesOnlyInsideTheLoop) {
  EXPECT_EQ(j("{{ a }}{% for a in s %}<{{ a }}>{% endfor %}{{ a }}",
              {{"a", "out"}, {"s", Json::array({1, 2})}}),
            "out<1><2>out");
}

TEST(Jinja2Subset, NestedLoopsSeeOuterBindingsAndTheirOwnIndex) {
  const Json rows = Json::array({Json::array({"a", "b"}), Json::array({"c"})});
  EXPECT_EQ(j("{% for row in rows %}{{ loop.index }}({% for cell in row %}{{ loop.index }}"
              "{{ cell }}{{ title }}{% endfor %}){% endfor %}",
              {{"rows", rows}, {"title", "!"}}),
            "1(1a!2b!)2(1c!)");
}

TEST(Jinja2Subset, LoopOverSomethingElseThanPairsFailsAtRender) {
  const CompiledTemplate pairs("{% for a, b in s %}{{ a }}{% endfor %}", TemplateFormat::jinja2);
  EXPECT_THROW((void)pairs.render({{"s", Json::array({Json::array({1, 2}), "x"})}}), ValueError);
  EXPECT_THROW((void)pairs.render({{"s", Json::array({Json::array({1, 2, 3})})}}), ValueError);
  EXPECT_THROW((void)pairs.render({{"s", "text"}}), ValueError);
  EXPECT_THROW((void)pairs.render({{"s", nullptr}}), ValueError);
  std::string out = "kept";
  EXPECT_THROW(pairs.render_to(out, {{"s", Json::array({Json::array({1, 2}), 3})}}), ValueError);
  EXPECT_EQ(out, "kept") << "no half-rendered text is left behind";
}

TEST(Jinja2Subset, MalformedTemplatesFailWhenBuilt) {
  struct Case {
    std::string_view text;
    std::string_view says;
  };
  for (const auto& c : {
           Case{"a {{ x", "never closed"},
           Case{"a {{ x }", "never closed"},
           Case{"{% for a in s", "never closed"},
           Case{"{# note", "never closed"},
           Case{"{% if x %}y{% endif %}", "unknown tag 'if'"},
           Case{"{% raw %}", "unknown tag"},
           Case{"{% for a, b in s %}body", "loop is never closed"},
           Case{"{% for a in s %}{% for b in a %}{% endfor %}", "loop is never closed"},
           Case{"text{% endfor %}", "without a matching 'for'"},
           Case{"{% endfor x %}", "takes nothing"},
           Case{"{% %}", "empty"},
           Case{"{{ }}", "empty expression"},
           Case{"{{ loop.index }}", "outside a for loop"},
           Case{"{{ a.b }}", "unsupported expression"},
           Case{"{{ a | upper }}", "unsupported expression"},
           Case{"{{ 'x' }}", "unsupported expression"},
           Case{"{{ none }}", "unsupported expression"},
           Case{"{{ loop }}", "unsupported expression"},
           Case{"{{- a }}", "unsupported expression"},
           Case{"{%- for a in s %}{% endfor %}", "whitespace control"},
           Case{"{% for a b in s %}{% endfor %}", "loop tag must read"},
           Case{"{% for a, b, c in s %}{% endfor %}", "loop tag must read"},
           Case{"{% for a in %}{% endfor %}", "loop tag must read"},
           Case{"{% for a, a in s %}{% endfor %}", "same name twice"},
           Case{"{% for in in s %}{% endfor %}", "cannot be used as a name"},
           Case{"{% for loop in s %}{% endfor %}", "cannot be used as a name"},
       }) {
    const auto what = build_error(c.text);
    EXPECT_NE(what.find(c.says), std::string::npos) << c.text << " -> " << what;
  }
  EXPECT_NE(build_error("one\ntwo {{ x").find("line 2, column 5"), std::string::npos);
}

TEST(Jinja2Subset, LoopsNestedTooDeepAreRefusedNotRecursedInto) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "{% for x in x %}";
  for (int i = 0; i < 40; ++i) text += "{% endfor %}";
  EXPECT_NE(build_error(text).find("nested deeper"), std::string::npos);
}

TEST(Jinja2Subset, InputVariablesExcludeLoopBindings) {
  const CompiledTemplate compiled(
      "{{ q }}{% for a, b in pairs %}{{ a }}{{ loop.index }}{{ extra }}{% endfor %}",
      TemplateFormat::jinja2);
  EXPECT_EQ(compiled.variables(), (std::vector<std::string>{"q", "pairs", "extra"}));
}

}  // namespace
}  // namespace norvex::prompts
