// Drawings of a compiled graph: the text drawing, Mermaid text, and PNG images rendered
// offline and through a (local) Mermaid rendering service.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <cstdlib>
#include <optional>
#include <sstream>

#include "norvex/error.hpp"
#include "norvex/graph/state_graph.hpp"
#include "support/local_http_server.hpp"

namespace norvex::graph {
namespace {

// The question pipeline's wiring: 13 nodes, 10 fixed edges, 4 conditions with 9 labels.
CompiledGraph pipeline_graph() {
  StateGraph builder(StateSchema{{"unused", MergeRule::overwrite}});
  const auto nothing = [](const State&) { return Update(); };
  const auto label = [](const State&) { return std::string(); };
  for (const char* name : {"init_node", "table_names_lookup_node", "relevant_table_names_node",
                           "relevant_schemas_node", "sql_generation_node", "rewrite_query_node",
                           "sql_syntax_checker_node", "sql_execution_node", "pandas_generator_node",
                           "pandas_executor_node", "final_response_generation_node",
                           "pandas_error_handler_node", "sql_error_handler_node"}) {
    builder.add_node(name, nothing);
  }
  builder.set_entry_point("init_node");
  builder.add_edge("init_node", "table_names_lookup_node");
  builder.add_edge("table_names_lookup_node", "relevant_table_names_node");
  builder.add_edge("relevant_table_names_node", "relevant_schemas_node");
  builder.add_edge("relevant_schemas_node", "sql_generation_node");
  builder.add_edge("rewrite_query_node", "relevant_table_names_node");
  builder.add_edge("sql_generation_node", "sql_syntax_checker_node");
  builder.add_edge("sql_syntax_checker_node", "sql_execution_node");
  builder.add_edge("pandas_generator_node", "pandas_executor_node");
  builder.add_edge("final_response_generation_node", std::string(END));
  builder.add_edge("pandas_executor_node", "final_response_generation_node");
  builder.add_conditional_edges("pandas_executor_node", label,
                                {{"final_response", "final_response_generation_node"},
                                 {"pandas_execution_error", "pandas_error_handler_node"}});
  builder.add_conditional_edges("sql_execution_node", label,
                                {{"pandas_generation", "pandas_generator_node"},
                                 {"sql_execution_error", "sql_error_handler_node"}});
  builder.add_conditional_edges("sql_error_handler_node", label,
                                {{"regenerate_sql_query", "sql_generation_node"},
                                 {"terminal_failure_response", "final_response_generation_node"},
                                 {"rewrite_query", "rewrite_query_node"}});
  builder.add_conditional_edges("pandas_error_handler_node", label,
                                {{"regenerate_pandas_code", "pandas_generator_node"},
                                 {"terminal_failure_response", "final_response_generation_node"}});
  return builder.compile();
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

struct Decoded {
  int width = 0;
  int height = 0;
};

std::optional<Decoded> decode_png(const std::string& bytes) {
  Decoded image;
  int channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                          static_cast<int>(bytes.size()), &image.width,
                                          &image.height, &channels, 0);
  if (pixels == nullptr) return std::nullopt;
  stbi_image_free(pixels);
  return image;
}

std::string tiny_png() {
  const unsigned char pixels[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  std::string out;
  stbi_write_png_to_func(
      [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
      },
      &out, 2, 2, 3, pixels, 6);
  return out;
}

std::string base64url_decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
  };
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    const int v = value(c);
    if (v < 0) break;  // padding
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

// Sets an environment variable for the life of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

TEST(DrawableGraphTest, DescriptionHasMarkersAndEveryEdge) {
  const DrawableGraph drawing = pipeline_graph().get_graph();
  EXPECT_EQ(drawing.nodes().size(), 15u);
  EXPECT_EQ(drawing.nodes().front(), START);
  EXPECT_EQ(drawing.nodes().back(), END);
  std::size_t fixed = 0;
  std::size_t conditional = 0;
  for (const auto& edge : drawing.edges()) (edge.conditional ? conditional : fixed)++;
  EXPECT_EQ(fixed, 11u);  // ten declared plus the start marker's
  EXPECT_EQ(conditional, 9u);
  EXPECT_EQ(drawing.edges().front(), (DrawableEdge{"__start__", "init_node", false, ""}));
}

TEST(DrawableGraphTest, AsciiShowsNodesMarkersLabelsAndTellsEdgeKindsApart) {
  const DrawableGraph drawing = pipeline_graph().get_graph();
  const std::string text = drawing.draw_ascii();
  for (const auto& node : drawing.nodes()) EXPECT_TRUE(contains(text, "│ " + node)) << node;
  EXPECT_TRUE(contains(text, "───▶ final_response_generation_node\n"));
  EXPECT_TRUE(contains(text, "┄┄▶ pandas_error_handler_node"));
  for (const auto& edge : drawing.edges()) {
    if (edge.conditional) {
      EXPECT_TRUE(contains(text, "[" + edge.label + "]")) << edge.label;
    }
  }
  // Breadth-first from the start marker, the end marker last.
  EXPECT_LT(text.find("│ __start__"), text.find("│ init_node"));
  EXPECT_LT(text.find("│ init_node"), text.find("│ sql_execution_node"));
  EXPECT_GT(text.find("│ __end__"), text.find("│ sql_error_handler_node"));
  EXPECT_EQ(text, pipeline_graph().get_graph().draw_ascii());

  std::ostringstream printed;
  drawing.print_ascii(printed);
  EXPECT_EQ(printed.str(), text);
}

TEST(DrawableGraphTest, MermaidTextUsesSolidAndDottedArrows) {
  const std::string text = pipeline_graph().get_graph().draw_mermaid();
  EXPECT_TRUE(text.starts_with("flowchart TD\n"));
  EXPECT_TRUE(contains(text, "__start__([\"__start__\"])"));
  EXPECT_TRUE(contains(text, "__end__([\"__end__\"])"));
  EXPECT_TRUE(contains(text, "__start__ --> init_node\n"));
  EXPECT_TRUE(contains(text, "pandas_executor_node --> final_response_generation_node\n"));
  EXPECT_TRUE(
      contains(text, "sql_execution_node -.->|\"sql_execution_error\"| sql_error_handler_node\n"));
}

TEST(DrawableGraphTest, MermaidReplacesIdsItCannotParse) {
  const DrawableGraph drawing({"__start__", "end", "two words", "x\"y"},
                              {{"__start__", "end", false, ""},
                               {"end", "two words", true, "say \"hi\""},
                               {"two words", "x\"y", false, ""}});
  const std::string text = drawing.draw_mermaid();
  EXPECT_FALSE(contains(text, "\n    end[")) << text;
  EXPECT_FALSE(contains(text, "two words -")) << text;
  EXPECT_TRUE(contains(text, "[\"two words\"]")) << text;
  EXPECT_TRUE(contains(text, "x#quot;y")) << text;
  EXPECT_TRUE(contains(text, "|\"say #quot;hi#quot;\"|")) << text;
}

TEST(DrawableGraphTest, LocalRenderingGivesADecodablePng) {
  const std::string png = pipeline_graph().get_graph().draw_mermaid_png(MermaidDrawMethod::LOCAL);
  const auto image = decode_png(png);
  ASSERT_TRUE(image.has_value());
  EXPECT_GT(image->width, 200);
  EXPECT_GT(image->height, 400);  // a tall graph of several ranks
  EXPECT_LT(image->width, 10000);
  EXPECT_LT(image->height, 10000);
}

class MermaidServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get(R"(/img/(.*))",
                         [this](const httplib::Request& req, httplib::Response& res) {
                           requested_text_ = base64url_decode(req.matches[1].str());
                           requested_type_ = req.get_param_value("type");
                           res.status = status_;
                           res.set_content(body_, content_type_);
                         });
    // One request per connection, so stopping the server never waits out a keep-alive.
    server_.server().set_keep_alive_max_count(1);
    server_.start();
  }

  test::LocalHttpServer server_;
  int status_ = 200;
  std::string body_ = tiny_png();
  std::string content_type_ = "image/png";
  std::string requested_text_;
  std::string requested_type_;
};

TEST_F(MermaidServiceTest, AsksForTheEncodedMermaidTextAsPng) {
  const ScopedEnv url("NORVEX_MERMAID_URL", server_.base_url() + "/");
  const DrawableGraph drawing = pipeline_graph().get_graph();
  EXPECT_EQ(drawing.draw_mermaid_png(), body_);
  EXPECT_EQ(requested_text_, drawing.draw_mermaid());
  EXPECT_EQ(requested_type_, "png");
}

TEST_F(MermaidServiceTest, ErrorAnswersFailClearlyAndSayWhetherToRetry) {
  const ScopedEnv url("NORVEX_MERMAID_URL", server_.base_url());
  const DrawableGraph drawing = pipeline_graph().get_graph();
  for (const auto& [status, retryable] : {std::pair{400, false}, {429, true}, {503, true}}) {
    status_ = status;
    body_ = "syntax error in graph";
    try {
      (void)drawing.draw_mermaid_png(MermaidDrawMethod::API);
      FAIL() << "HTTP " << status << " must fail";
    } catch (const Error& error) {
      EXPECT_EQ(error.retryable(), retryable) << status;
      EXPECT_TRUE(contains(error.what(), std::to_string(status))) << error.what();
      EXPECT_TRUE(contains(error.what(), "syntax error in graph")) << error.what();
    }
  }
  status_ = 200;
  body_ = "<html>not an image</html>";
  content_type_ = "text/html";
  EXPECT_THROW((void)drawing.draw_mermaid_png(), Error);
}

}  // namespace
}  // namespace norvex::graph
