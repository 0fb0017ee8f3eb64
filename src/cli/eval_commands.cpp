// `norvex eval`: execution accuracy of the configured models over a question set.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands.hpp"
#include "norvex/agent/agent.hpp"
#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"
#include "norvex/flow_stages/log.hpp"

namespace norvex::cli {
namespace {

struct EvalOptions {
  std::string questions;
  std::string db;
  unsigned concurrency = 1;
  std::string out = "norvex_eval";
  bool resume = false;
  std::string gold_field;
  std::optional<std::string> db_id;
  double tolerance = 1e-6;
  std::optional<std::string> replay;
  std::optional<std::string> record;
  bool quiet = false;
  bool verbose = false;
};

// A bar on standard error, redrawn in place on a terminal and one line per question
// otherwise (a log file then reads as a list).
class ProgressBar {
 public:
  explicit ProgressBar(bool show) : show_(show), terminal_(::isatty(STDERR_FILENO) != 0) {}

  void update(const eval::QuestionResult& r, std::size_t done, std::size_t total) {
    if (r.match) ++correct_;
    if (r.reason == eval::kReasonGoldFailed) ++broken_;
    if (!show_) return;
    constexpr std::size_t kWidth = 30;
    const std::size_t filled = total == 0 ? kWidth : done * kWidth / total;
    std::string line = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
                       std::to_string(done) + "/" + std::to_string(total) + "  correct " +
                       std::to_string(correct_);
    if (broken_ > 0) line += "  broken gold " + std::to_string(broken_);
    if (terminal_) {
      std::cerr << '\r' << line << std::flush;
    } else {
      std::cerr << line << "  " << r.question.id << ": " << r.reason << std::endl;
    }
    drawn_ = true;
  }
  void finish() {
    if (show_ && terminal_ && drawn_) std::cerr << std::endl;
  }

 private:
  bool show_;
  bool terminal_;
  bool drawn_ = false;
  std::size_t correct_ = 0;  // this run's, for the bar only
  std::size_t broken_ = 0;
};

int run_eval(const EvalOptions& o) {
  if (!o.verbose) flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  eval::LoadOptions load;
  load.gold_field = o.gold_field;
  load.db_id = o.db_id;
  const eval::QuestionSet set = eval::load_questions(o.questions, load);
  if (set.questions.empty()) {
    throw ArgumentError("the question set " + o.questions + " holds no question to run" +
                        (set.skipped > 0 ? " for this --db-id" : ""));
  }

  const agent::ModelTiers tiers =
      agent::select_model_tiers(configured_model_records(o.replay, o.record));
  if (!tiers.complete()) throw Error(kNoModelsMessage);
  const eval::Target target{o.db, tiers.config_35, tiers.config_4};

  ProgressBar bar(!o.quiet);
  eval::RunOptions run;
  run.out_dir = o.out;
  run.resume = o.resume;
  run.concurrency = o.concurrency;
  run.tolerance = o.tolerance;
  run.on_result = [&bar](const eval::QuestionResult& r, std::size_t done, std::size_t total) {
    bar.update(r, done, total);
  };
  if (!o.quiet) {
    std::cerr << "Evaluating " << set.questions.size() << " questions";
    if (set.skipped > 0) std::cerr << " (" << set.skipped << " of another db_id skipped)";
    std::cerr << std::endl;
  }
  eval::Summary summary;
  {
    // Analysis code may print; standard output keeps only the summary lines.
    const LinesToStandardError redirect(true);
    try {
      summary = eval::evaluate(set.questions, target, run);
    } catch (...) {
      bar.finish();
      throw;
    }
    bar.finish();
  }
  char accuracy[32];
  std::snprintf(accuracy, sizeof accuracy, "%.1f %%", 100.0 * summary.accuracy);
  std::cout << "Execution accuracy: " << accuracy << " (" << summary.matched << " of "
            << summary.evaluated << ")";
  if (summary.broken_gold > 0) std::cout << ", broken gold queries: " << summary.broken_gold;
  std::cout << '\n'
            << "Results: " << o.out << "/results.jsonl, " << o.out << "/summary.json, " << o.out
            << "/report.md" << std::endl;
  return 0;
}

}  // namespace

void add_eval_commands(CLI::App& app, Action& action) {
  auto o = std::make_shared<EvalOptions>();
  auto* command = app.add_subcommand(
      "eval", "Measure execution accuracy: run questions with known correct SQL and compare");
  command
      ->add_option("questions", o->questions,
                   "JSON Lines (or a JSON array) of {\"question\", \"sql\"|\"query\"|\"gold_sql\", "
                   "\"id\", \"db_id\", \"evidence\"|\"hint\"}")
      ->required()
      ->check(CLI::ExistingFile);
  command
      ->add_option("--db", o->db,
                   "Database URI: sqlite:///file.db, mysql+mysqlconnector://user:pw@host:port/db, "
                   "postgresql+psycopg2://..., mssql+pyodbc://...")
      ->required();
  command->add_option("--concurrency", o->concurrency, "Questions run at once")
      ->check(CLI::Range(1u, 64u))
      ->capture_default_str();
  command->add_option("--out", o->out, "Directory for results.jsonl, summary.json, report.md")
      ->capture_default_str();
  command->add_flag("--resume", o->resume,
                    "Skip the questions already recorded in the output directory");
  command->add_option("--gold-field", o->gold_field,
                      "Field of the gold SQL (default: the first of sql, query, gold_sql)");
  command->add_option("--db-id", o->db_id, "Run only the questions of this db_id");
  command->add_option("--tolerance", o->tolerance, "Relative tolerance when comparing numbers")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  auto* replay = command->add_option("--replay", o->replay,
                                     "Answer from this cassette instead of a live model (offline)");
  command->add_option("--record", o->record, "Also append every model exchange to this cassette")
      ->excludes(replay);
  command->add_flag("--quiet", o->quiet, "No progress bar on standard error");
  command->add_flag("--verbose", o->verbose, "Also show the pipeline's log lines");
  command->callback([o, &action] { action = [o] { return run_eval(*o); }; });
}

}  // namespace norvex::cli
