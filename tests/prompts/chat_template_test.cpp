// Chat messages and the templates that build lists of them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "norvex/error.hpp"
#include "norvex/prompts/prompt_template.hpp"
#include "norvex/prompts/templates.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

TEST(ChatPromptTemplate, PairsRenderInOrderAndIgnoreUnusedVariables) {
  const auto chat = ChatPromptTemplate::from_messages({{"system", "{a}"}, {"user", "{b}"}});
  const auto messages = chat.format_messages({{"a", "first"}, {"b", 2}, {"c", "unused"}});
  ASSERT_EQ(messages.size(), 2U);
  EXPECT_EQ(messages[0], SystemMessage("first"));
  EXPECT_EQ(messages[1], HumanMessage("2"));
  EXPECT_EQ(messages[0].type(), "system");
  EXPECT_EQ(messages[1].type(), "human");
  EXPECT_EQ(chat.input_variables(), (std::vector<std::string>{"a", "b"}));
}

TEST(ChatPromptTemplate, MixesPairsWithJinja2MessageTemplates) {
  const auto chat = ChatPromptTemplate::from_messages({
      {"system", std::string(SQL_PREFIX)},
      HumanMessagePromptTemplate::from_template(std::string(CORRECT_SQL_TEMPLATE),
                                                TemplateFormat::jinja2),
      {"assistant", "noted {{ok}}"},
      {"human", "{q}"},
      {Role::ai, "{q}!"},
  });
  const auto messages =
      chat.format_messages({{"dialect", "sqlite"},
                            {"q", "why"},
                            {"user_question", "Which?"},
                            {"zipped_queries_errors", zip({"SELECT x"}, {"no such column: x"})}});
  ASSERT_EQ(messages.size(), 5U);
  EXPECT_EQ(messages[0].role, Role::system);
  EXPECT_NE(messages[0].content.find("<Dialect>sqlite</Dialect>"), std::string::npos);
  EXPECT_EQ(messages[1].role, Role::human);
  EXPECT_NE(messages[1].content.find("          SELECT x\n"), std::string::npos);
  EXPECT_EQ(messages[1].content.back(), '>') << "jinja2 drops the final line break";
  EXPECT_EQ(messages[2], AIMessage("noted {ok}"));
  EXPECT_EQ(messages[3], HumanMessage("why"));
  EXPECT_EQ(messages[4], AIMessage("why!"));
}

TEST(ChatPromptTemplate, UnknownRoleAndMissingVariableAreArgumentErrors) {
  EXPECT_THROW((void)ChatPromptTemplate::from_messages({{"tool", "x"}}), ArgumentError);
  EXPECT_THROW((void)ChatPromptTemplate::from_messages({{"System", "x"}}), ArgumentError);
  EXPECT_THROW((void)ChatPromptTemplate::from_messages({{"system", "{"}}), ValueError);
  const auto chat = ChatPromptTemplate::from_messages({{"system", "{a}"}, {"user", "{b}"}});
  EXPECT_THROW((void)chat.format_messages({{"a", 1}}), ArgumentError);
}

TEST(ChatPromptTemplate, SharedTemplateRendersTheSameOnManyThreads) {
  const auto chat = ChatPromptTemplate::from_messages(
      {{"system", "{a}"},
       HumanMessagePromptTemplate::from_template(std::string(PANDAS_HUMAN_TEMPLATE),
                                                 TemplateFormat::jinja2)});
  const Variables variables{{"a", "x"},
                            {"original_question", "q"},
                            {"zipped_queries_results", zip({"s1", "s2"}, {"r1", "r2"})}};
  const auto expected = chat.format_messages(variables);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if (chat.format_messages(variables) != expected) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(PromptTemplate, FormatsOneTextInEitherSyntax) {
  const auto plain = PromptTemplate::from_template("Q: {question}\n");
  EXPECT_EQ(plain.format({{"question", "why?"}}), "Q: why?\n");
  EXPECT_EQ(plain.input_variables(), std::vector<std::string>{"question"});
  const auto jinja = PromptTemplate::from_template("Q: {{ question }}\n", TemplateFormat::jinja2);
  EXPECT_EQ(jinja.format({}), "Q: ");
  EXPECT_EQ(jinja.template_format(), TemplateFormat::jinja2);
}

TEST(Messages, KindsKeepTheirRoleInAPlainMessageList) {
  const std::vector<Message> list{SystemMessage("s"), HumanMessage("h"), AIMessage("a")};
  EXPECT_EQ(list[2].type(), "ai");
  EXPECT_NE(list[0], (Message{Role::human, "s"}));
}

}  // namespace
}  // namespace norvex::prompts
