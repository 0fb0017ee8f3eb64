// Arbitrary template texts never crash or hang a renderer: each either renders or throws
// a norvex::Error. Texts without any tag must come out unchanged.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <string_view>

#include "norvex/error.hpp"
#include "norvex/prompts/render.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<std::string_view, 30> kPieces{"{",
                                                   "}",
                                                   "%",
                                                   "#",
                                                   "{{",
                                                   "}}",
                                                   "{%",
                                                   "%}",
                                                   "{#",
                                                   "#}",
                                                   "for",
                                                   "endfor",
                                                   " in ",
                                                   ",",
                                                   ".",
                                                   "a",
                                                   "b",
                                                   "seq",
                                                   "nested",
                                                   "loop.index",
                                                   "loop",
                                                   "x",
                                                   " ",
                                                   "  ",
                                                   "\n",
                                                   "-",
                                                   "0",
                                                   "'",
                                                   "{% for a, b in seq %}",
                                                   "{% endfor %}"};

const Variables& variables() {
  static const Variables values{
      {"a", "A"},
      {"b", 2},
      {"x", Json::array({1, "two", nullptr})},
      {"seq", zip({"q1", "q2"}, {"e1", "e2"})},
      {"nested", Json::array({Json::array({"p", "q"}), Json::array({1})})},
  };
  return values;
}

std::string random_text(std::mt19937& rng) {
  std::string text;
  const auto length = std::uniform_int_distribution<int>(0, 40)(rng);
  const bool bytes_only = std::uniform_int_distribution<int>(0, 4)(rng) == 0;
  for (int i = 0; i < length; ++i) {
    if (bytes_only || std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
      text += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    } else {
      text += kPieces[std::uniform_int_distribution<std::size_t>(0, kPieces.size() - 1)(rng)];
    }
  }
  return text;
}

// Renders, or reports how it failed; anything but a norvex::Error escapes and fails the test.
bool renders(const std::string& text, TemplateFormat format, std::string& out) {
  try {
    const CompiledTemplate compiled(text, format);
    out = compiled.render(variables());
    return true;
  } catch (const Error&) {
    return false;
  }
}

TEST(RandomizedRender, ArbitraryTextRendersOrThrowsOurErrorInBothSyntaxes) {
  std::mt19937 rng(20240611);
  int rendered = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = random_text(rng);
    std::string out;
    if (renders(text, TemplateFormat::f_string, out)) {
      ++rendered;
      if (text.find_first_of("{}") == std::string::npos) {
        EXPECT_EQ(out, text);
      }
    }
    if (renders(text, TemplateFormat::jinja2, out)) {
      ++rendered;
      if (text.find("{{") == std::string::npos && text.find("{%") == std::string::npos &&
          text.find("{#") == std::string::npos) {
        std::string expected = text;
        if (!expected.empty() && expected.back() == '\n') {
          expected.pop_back();
          if (!expected.empty() && expected.back() == '\r') expected.pop_back();
        }
        EXPECT_EQ(out, expected);
      }
    }
  }
  // The generator must exercise both outcomes, or the test proves little.
  EXPECT_GT(rendered, 1000);
  EXPECT_LT(rendered, 8000);
}

}  // namespace
}  // namespace norvex::prompts
