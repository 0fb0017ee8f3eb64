// QueryFlow construction, run configuration, wiring and drawing; the picker's filter.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "norvex/error.hpp"
#include "norvex/drawing/image.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "query_flow_test_support.hpp"
#include "sql_test_support.hpp"
#include "support/local_http_server.hpp"

namespace norvex::query_flow {
namespace {

using test::ScriptedPipeline;

std::shared_ptr<sql::CustomSQLDatabase> chinook() {
  return sql::CustomSQLDatabase::from_uri(*test::sqlite_engine().uri());
}

// Sets an environment variable for the life of the object.
class EnvGuard {
 public:
  EnvGuard(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvGuard() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Runs the test body in a fresh working directory.
class InDirectory {
 public:
  explicit InDirectory(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

TEST(ConfigGraph, DefaultsAreTheRunSettingsOfEveryQuestion) {
  const graph::RunnableConfig config = QueryFlow::_config_graph();
  EXPECT_EQ(config.recursion_limit, 50);
  EXPECT_EQ(config.max_concurrency, std::optional<int>(20));
  EXPECT_EQ(config.tags, std::vector<std::string>{"query_flow"});
  EXPECT_FALSE(config.metadata.has_value());
  EXPECT_FALSE(config.observer);

  const auto custom =
      QueryFlow::_config_graph(graph::Json{{"user", "u1"}}, {"a", "b"}, std::nullopt, 7);
  EXPECT_EQ(custom.recursion_limit, 7);
  EXPECT_FALSE(custom.max_concurrency.has_value());
  EXPECT_EQ(custom.tags, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(custom.metadata, (graph::Json{{"user", "u1"}}));

  ScriptedPipeline pipeline;
  const QueryFlow flow(chinook(), pipeline.small_settings(), pipeline.big_settings());
  EXPECT_EQ(flow.runnable_config().recursion_limit, 50);
  EXPECT_EQ(flow.runnable_config().max_concurrency, std::optional<int>(20));
  EXPECT_EQ(flow.runnable_config().tags, std::vector<std::string>{"query_flow"});
  // Building the flow contacts neither the chat service nor (beyond opening) the database.
  EXPECT_EQ(pipeline.server().request_count(), 0u);
}

TEST(QueryFlowGraph, HasThirteenNodesTenFixedAndFourConditionalEdges) {
  ScriptedPipeline pipeline;
  const QueryFlow flow(chinook(), pipeline.small_settings(), pipeline.big_settings());
  const graph::DrawableGraph drawing = flow.compiled_graph().get_graph();

  std::set<std::string> nodes;
  for (const auto& node : drawing.nodes()) {
    if (node != graph::START && node != graph::END) nodes.insert(node);
  }
  EXPECT_EQ(nodes, (std::set<std::string>{
                       "init_node", "table_names_lookup_node", "relevant_table_names_node",
                       "relevant_schemas_node", "sql_generation_node", "rewrite_query_node",
                       "sql_syntax_checker_node", "sql_execution_node", "pandas_generator_node",
                       "pandas_executor_node", "final_response_generation_node",
                       "pandas_error_handler_node", "sql_error_handler_node"}));

  std::set<std::pair<std::string, std::string>> fixed;
  std::set<std::tuple<std::string, std::string, std::string>> conditional;
  std::set<std::string> conditional_sources;
  for (const auto& edge : drawing.edges()) {
    if (edge.source == graph::START) {
      EXPECT_EQ(edge.target, "init_node");
    } else if (edge.conditional) {
      conditional.emplace(edge.source, edge.label, edge.target);
      conditional_sources.insert(edge.source);
    } else {
      fixed.emplace(edge.source, edge.target);
    }
  }
  const std::string end(graph::END);
  EXPECT_EQ(fixed, (std::set<std::pair<std::string, std::string>>{
                       {"init_node", "table_names_lookup_node"},
                       {"table_names_lookup_node", "relevant_table_names_node"},
                       {"relevant_table_names_node", "relevant_schemas_node"},
                       {"relevant_schemas_node", "sql_generation_node"},
                       {"rewrite_query_node", "relevant_table_names_node"},
                       {"sql_generation_node", "sql_syntax_checker_node"},
                       {"sql_syntax_checker_node", "sql_execution_node"},
                       {"pandas_generator_node", "pandas_executor_node"},
                       {"final_response_generation_node", end},
                       {"pandas_executor_node", "final_response_generation_node"}}));
  EXPECT_EQ(conditional_sources.size(), 4u);
  EXPECT_EQ(
      conditional,
      (std::set<std::tuple<std::string, std::string, std::string>>{
          {"pandas_executor_node", "final_response", "final_response_generation_node"},
          {"pandas_executor_node", "pandas_execution_error", "pandas_error_handler_node"},
          {"sql_execution_node", "pandas_generation", "pandas_generator_node"},
          {"sql_execution_node", "sql_execution_error", "sql_error_handler_node"},
          {"sql_error_handler_node", "regenerate_sql_query", "sql_generation_node"},
          {"sql_error_handler_node", "terminal_failure_response", "final_response_generation_node"},
          {"sql_error_handler_node", "rewrite_query", "rewrite_query_node"},
          {"pandas_error_handler_node", "regenerate_pandas_code", "pandas_generator_node"},
          {"pandas_error_handler_node", "terminal_failure_response",
           "final_response_generation_node"}}));
}

TEST(QueryFlowConstruction, SettingsCarryingAClientArgumentAreRefusedByName) {
  ScriptedPipeline pipeline;
  for (const char* field : {"max_tokens", "temperature", "model_kwargs"}) {
    auto small = pipeline.small_settings();
    small.extra[field] = 1;
    try {
      QueryFlow flow(chinook(), small, pipeline.big_settings());
      ADD_FAILURE() << field << " was accepted";
    } catch (const ArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
    }
    auto big = pipeline.big_settings();
    big.extra[field] = 1;
    EXPECT_THROW(QueryFlow(chinook(), pipeline.small_settings(), big), ArgumentError) << field;
  }
  EXPECT_THROW(QueryFlow(nullptr, pipeline.small_settings(), pipeline.big_settings()),
               ArgumentError);
}

TEST(QueryFlowConstruction, TwoFlowsOnOneDatabaseHaveTheirOwnModels) {
  ScriptedPipeline pipeline;
  const auto db = chinook();
  const QueryFlow a(db, pipeline.small_settings(), pipeline.big_settings());
  const QueryFlow b(db, pipeline.small_settings(), pipeline.big_settings());
  EXPECT_EQ(a.db(), b.db());
  const std::set<const llm::ChatModel*> models = {
      a.relevant_tables_model().get(), a.sql_generation_model().get(),
      a.response_model().get(),        a.pandas_code_model().get(),
      a.pandas_ai_model().get(),       a.relevant_table_picker()->model().get(),
      b.relevant_tables_model().get(), b.sql_generation_model().get()};
  EXPECT_EQ(models.size(), 8u);
}

TEST(VisualizeGraph, AsciiPrintsTheDrawingAndWritesNoFile) {
  ScriptedPipeline pipeline;
  const QueryFlow flow(chinook(), pipeline.small_settings(), pipeline.big_settings());
  const InDirectory here(test::save_dir());
  std::ostringstream captured;
  auto* old = std::cout.rdbuf(captured.rdbuf());
  flow.visualize_graph();
  std::cout.rdbuf(old);
  EXPECT_EQ(captured.str(), flow.compiled_graph().get_graph().draw_ascii());
  EXPECT_NE(captured.str().find("pandas_error_handler_node"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::current_path()));
}

TEST(VisualizeGraph, AnyOtherTypeSavesTheRenderedPng) {
  ScriptedPipeline pipeline;
  const QueryFlow flow(chinook(), pipeline.small_settings(), pipeline.big_settings());
  // A real PNG of the drawing, served by a local stand-in for the rendering service.
  const std::string png =
      flow.compiled_graph().get_graph().draw_mermaid_png(graph::MermaidDrawMethod::LOCAL);
  norvex::test::LocalHttpServer renderer;
  std::vector<std::string> paths;
  std::mutex mutex;
  renderer.server().Get(R"(/img/.*)", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(mutex);
      paths.push_back(req.path + "?type=" + req.get_param_value("type"));
    }
    res.set_content(png, "image/png");
  });
  renderer.server().set_keep_alive_max_count(1);  // no idle connection delays shutdown
  renderer.start();
  const EnvGuard url(std::string(graph::kMermaidUrlVariable).c_str(), renderer.base_url());
  const auto dir = test::save_dir();
  const InDirectory here(dir);

  // The comparison is exact: "ASCII" takes the image route, to the default file name.
  flow.visualize_graph("ASCII");
  ASSERT_TRUE(std::filesystem::exists(dir / "graph_visualization.png"));
  flow.visualize_graph("png", "drawing.bmp");
  ASSERT_TRUE(std::filesystem::exists(dir / "drawing.bmp"));
  // Both files decode: re-saving goes through the image decoder.
  std::ifstream in(dir / "graph_visualization.png", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_NO_THROW(drawing::save_image(saved, dir / "check.png"));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0].rfind("/img/", 0), 0u);
  EXPECT_NE(paths[0].find("?type=png"), std::string::npos);
}

TEST(VisualizeGraph, ARenderingFailureLeavesNoFile) {
  ScriptedPipeline pipeline;
  const QueryFlow flow(chinook(), pipeline.small_settings(), pipeline.big_settings());
  norvex::test::LocalHttpServer renderer;
  renderer.server().Get(R"(/img/.*)", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("not a picture", "text/plain");
  });
  renderer.server().set_keep_alive_max_count(1);  // no idle connection delays shutdown
  renderer.start();
  const EnvGuard url(std::string(graph::kMermaidUrlVariable).c_str(), renderer.base_url());
  const auto dir = test::save_dir();
  EXPECT_THROW(flow.visualize_graph("png", dir / "g.png"), Error);
  EXPECT_FALSE(std::filesystem::exists(dir / "g.png"));
}

TEST(KeepKnownTables, KeepsRealTablesInTheModelsOrderAsTheDatabaseSpellsThem) {
  const std::vector<std::string> known = {"Album", "Artist", "Track", "album_stats"};
  EXPECT_EQ(RelevantTablePicker::keep_known_tables(
                {"track", " ARTIST ", "Invented", "Track", "album", "artist"}, known),
            (std::vector<std::string>{"Track", "Artist", "Album"}));
  EXPECT_TRUE(RelevantTablePicker::keep_known_tables({"Nope", ""}, known).empty());
  // Where two tables differ only in case, the exact spelling wins.
  EXPECT_EQ(RelevantTablePicker::keep_known_tables({"album", "Album"}, {"Album", "album"}),
            (std::vector<std::string>{"album", "Album"}));
}

}  // namespace
}  // namespace norvex::query_flow
