// Prompt rendering cost: the SQL repair prompt with six (query, error) pairs, the size a
// run reaches at its repair limit, and the default-syntax SQL prefix.
#include <benchmark/benchmark.h>

#include <string>

#include "norvex/prompts/render.hpp"
#include "norvex/prompts/templates.hpp"

namespace {

using norvex::prompts::CompiledTemplate;
using norvex::prompts::TemplateFormat;
using norvex::prompts::Variables;

// About the size of real repair rounds: a few hundred characters of SQL, an engine message.
Variables repair_variables() {
  nlohmann::ordered_json queries = nlohmann::ordered_json::array();
  nlohmann::ordered_json errors = nlohmann::ordered_json::array();
  for (int i = 1; i <= 6; ++i) {
    queries.push_back(
        "SELECT a.\"Name\" AS artist, COUNT(t.\"TrackId\") AS tracks, SUM(il.\"UnitPrice\" * "
        "il.\"Quantity\") AS revenue\nFROM \"Artist\" a\nJOIN \"Album\" al ON al.\"ArtistId\" = "
        "a.\"ArtistId\"\nJOIN \"Track\" t ON t.\"AlbumId\" = al.\"AlbumId\"\nJOIN "
        "\"InvoiceLine\" il ON il.\"TrackId\" = t.\"TrackId\"\nWHERE il.\"InvoiceDate\" >= "
        "'2021-01-0" +
        std::to_string(i) + "'\nGROUP BY a.\"Name\"\nORDER BY revenue DESC\nLIMIT 10;");
    errors.push_back(
        "(psycopg2.errors.UndefinedColumn) column il.InvoiceDate does not exist\n"
        "LINE 6: WHERE il.\"InvoiceDate\" >= '2021-01-0" +
        std::to_string(i) +
        "'\n              ^\nHINT:  Perhaps you meant to reference the column "
        "\"i.InvoiceDate\".");
  }
  std::string schema;
  for (const char* table : {"Artist", "Album", "Track", "InvoiceLine", "Invoice"}) {
    schema += std::string("CREATE TABLE \"") + table +
              "\" (\n  \"Id\" INTEGER NOT NULL,\n  \"Name\" VARCHAR(200),\n  PRIMARY KEY "
              "(\"Id\")\n)\n/*\n3 rows from table:\nId\tName\n1\tAC/DC\n2\tAccept\n3\tAerosmith\n*/"
              "\n\n";
  }
  return {{"user_question", "Which ten artists earned the most since 2021?"},
          {"schemas_from_relevant_tables", schema},
          {"zipped_queries_errors", norvex::prompts::zip(queries, errors)}};
}

void BM_CorrectSqlTemplateSixPairs(benchmark::State& state) {
  const CompiledTemplate compiled(std::string(norvex::prompts::CORRECT_SQL_TEMPLATE),
                                  TemplateFormat::jinja2);
  const auto variables = repair_variables();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = compiled.render(variables);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["output_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_CorrectSqlTemplateSixPairs);

void BM_CorrectSqlTemplateParse(benchmark::State& state) {
  for (auto _ : state) {
    CompiledTemplate compiled(std::string(norvex::prompts::CORRECT_SQL_TEMPLATE),
                              TemplateFormat::jinja2);
    benchmark::DoNotOptimize(compiled);
  }
}
BENCHMARK(BM_CorrectSqlTemplateParse);

void BM_SqlPrefixDefaultSyntax(benchmark::State& state) {
  const CompiledTemplate compiled(std::string(norvex::prompts::SQL_PREFIX),
                                  TemplateFormat::f_string);
  const Variables variables{{"dialect", "postgresql"}};
  for (auto _ : state) {
    auto text = compiled.render(variables);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_SqlPrefixDefaultSyntax);

}  // namespace

BENCHMARK_MAIN();
