// The statement guard against the engines themselves: each text of a corpus runs on the
// real PostgreSQL and MariaDB servers and on SQLite, below the guard, and wherever an engine
// reads a marked tail as live SQL, the guard must refuse the same text with a forbidden call
// in that tail. Where the guard and an engine could read a text apart, the guard refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "backend.hpp"
#include "norvex/sql/statement_guard.hpp"
#include "sql_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::sql {
namespace {

struct Entry {
  std::string live_on;  // engines that must read the tail as live, "-" for none
  std::string text;     // with {TAIL}
};

std::vector<Entry> corpus() {
  std::ifstream in(std::string(NORVEX_SQL_TEST_DATA) + "/lexer_corpus.txt");
  std::vector<Entry> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto tab = line.find('\t');
    entries.push_back({line.substr(0, tab), test::unescape_data(line.substr(tab + 1))});
  }
  return entries;
}

std::string with_tail(std::string text, const std::string& tail) {
  const auto at = text.find("{TAIL}");
  if (at == std::string::npos) return text + tail;
  return text.replace(at, 6, tail);
}

struct Labels : detail::RowSink {
  void columns(const std::vector<std::string>& l) override { labels = l; }
  bool row(const Row&) override { return false; }
  std::vector<std::string> labels;
};

struct Engine {
  std::string name, dialect, forbidden;
  std::unique_ptr<detail::Backend> backend;
};

TEST(LexerAgainstEngines, TheGuardRefusesWhereverAnEngineReadsTheTailAsLive) {
  std::vector<Engine> engines;
  engines.push_back(
      {"sqlite", "sqlite", "load_extension(2)",
       detail::open_sqlite(parse_uri("sqlite:///" + test::chinook_sqlite().string()), Options{})});
  for (const auto& [name, uri, forbidden] :
       {std::tuple{"mysql", test::mysql_uri(), "load_file(2)"},
        std::tuple{"postgresql", test::pg_uri(), "pg_read_file(2)"}}) {
    if (!uri) NORVEX_SKIP_OR_FAIL(std::string(name) + " test server is not running");
    const ConnectionUri parsed = parse_uri(*uri);
    engines.push_back({name, name, forbidden,
                       name == std::string("mysql") ? detail::open_mysql(parsed, Options{})
                                                    : detail::open_postgres(parsed, Options{})});
  }
  const auto entries = corpus();
  ASSERT_GT(entries.size(), 30u);
  for (const auto& entry : entries) {
    for (auto& engine : engines) {
      Labels sink;
      bool live = false;
      std::string outcome = "hidden";
      try {
        engine.backend->execute(with_tail(entry.text, ", abs(2) AS zz_live"), sink);
        live = std::find(sink.labels.begin(), sink.labels.end(), "zz_live") != sink.labels.end();
        if (live) outcome = "live";
      } catch (const DatabaseError& e) {
        outcome = std::string("error: ") + e.what();
      }
      const std::string hostile = with_tail(entry.text, ", " + engine.forbidden + " AS zz_live");
      if (entry.live_on.find(engine.name) != std::string::npos) {
        EXPECT_TRUE(live) << engine.name << " was expected to read the tail as live: "
                          << testing::PrintToString(entry.text) << " -> " << outcome;
      }
      if (!live) continue;
      try {
        check_read_only_statement(hostile, lexicon_for_dialect(engine.dialect));
        ADD_FAILURE() << engine.name << " runs the tail but the guard passed "
                      << testing::PrintToString(hostile);
      } catch (const DatabaseError&) {
      }
    }
  }
}

}  // namespace
}  // namespace norvex::sql
