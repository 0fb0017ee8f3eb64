#pragma once
/// Execution accuracy: run a set of questions with known correct ("gold") SQL through the
/// question pipeline, run the gold SQL through the same read-only facade, and compare the two
/// results. Writes DIR/results.jsonl (one record per question, appended as each finishes),
/// DIR/summary.json and DIR/report.md.

#include <nlohmann/json.hpp>
#include "norvex/base/export.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/llm/settings.hpp"
#include "norvex/sql/row_parser.hpp"

namespace norvex::eval {

using Json = nlohmann::ordered_json;

// --- the question set --------------------------------------------------------------------

/// One question with its gold SQL. Thread rule: a plain value.
struct NORVEX_API Question {
  std::string id;  // the input's "id" (a number is written as its digits), else its 1-based
                   // position in the file
  std::string question;
  std::string gold_sql;
  std::optional<std::string> db_id;
  std::optional<std::string> evidence;  // "evidence" or "hint", kept for the report
};

/// How to read a question set. Thread rule: a plain value.
struct NORVEX_API LoadOptions {
  /// The field holding the gold SQL; empty means the first present of "sql", "query",
  /// "gold_sql".
  std::string gold_field;
  /// When set, only questions whose db_id equals it (or that have none) are kept.
  std::optional<std::string> db_id;
};

/// The questions to run, and how many the db_id selection skipped. Thread rule: a plain value.
struct NORVEX_API QuestionSet {
  std::vector<Question> questions;
  std::size_t skipped = 0;
};

/// Reads a question set: JSON Lines (one object a line, blank lines ignored) or one JSON
/// array of the same objects. `source` names the input in errors. Throws ValueError naming
/// the source and line (or array index) for malformed JSON, a missing or non-text question
/// or gold SQL, or a repeated id.
[[nodiscard]] NORVEX_API QuestionSet parse_questions(std::string_view text,
                                                     const LoadOptions& options,
                                                     std::string_view source = "input");
/// As parse_questions over the file's contents. Throws ValueError also when the file cannot
/// be read.
[[nodiscard]] NORVEX_API QuestionSet load_questions(const std::filesystem::path& path,
                                                    const LoadOptions& options = {});

// --- comparing two results ---------------------------------------------------------------

/// Why a question did not count as correct (or that it did).
inline constexpr std::string_view kReasonMatch = "match";
inline constexpr std::string_view kReasonColumnsDiffer = "columns_differ";
inline constexpr std::string_view kReasonRowCountDiffers = "row_count_differs";
inline constexpr std::string_view kReasonValuesDiffer = "values_differ";
inline constexpr std::string_view kReasonOrderDiffers = "order_differs";
inline constexpr std::string_view kReasonPredictedSqlFailed = "predicted_sql_failed";
inline constexpr std::string_view kReasonPipelineError = "pipeline_error";
inline constexpr std::string_view kReasonGoldFailed = "gold_failed";

/// A query result read for comparison: rows of cells with their kinds.
/// Thread rule: a plain value.
struct NORVEX_API ResultRows {
  std::vector<std::vector<std::string>> cells;
  std::vector<std::vector<sql::CellKind>> kinds;
  std::size_t columns = 0;
};

/// Reads the facade's rendered text of a result (the empty text is no rows). Throws
/// ValueError for text that is not a rendered result, or when rows were left out (a capped
/// result must never compare equal to another).
[[nodiscard]] NORVEX_API ResultRows read_rows(std::string_view rendered);

/// How results are compared. Thread rule: a plain value.
struct NORVEX_API CompareOptions {
  double tolerance = 1e-6;  // relative, for numbers
  bool ordered = false;     // rows compared position by position
};

/// The outcome of comparing a predicted result with the gold one.
struct NORVEX_API Comparison {
  bool match = false;
  std::string_view reason;  // one of the kReason... values above
  std::string detail;       // a short human-readable explanation when they differ
};

/// Compares as execution accuracy does: the same rows (as a multiset, or in order when
/// `ordered`), numbers equal within the relative tolerance (integers, floats and decimals
/// alike; True/False as 1/0), None equal only to None, texts, dates and bytes by their text.
/// Columns are paired by their values, not their position: each gold column is paired with a
/// free predicted column holding the same multiset of values, the one at the same position
/// first, else the first in order of appearance (so columns holding the same values are never
/// swapped); a column with no partner fails the comparison. Never throws but std::bad_alloc.
[[nodiscard]] NORVEX_API Comparison compare_rows(const ResultRows& gold,
                                                 const ResultRows& predicted,
                                                 const CompareOptions& options);

/// True when `sql` has ORDER BY outside every parenthesis, string, quoted name and comment
/// (an ordering of the final result, not of a subquery or window). Never throws.
[[nodiscard]] NORVEX_API bool has_top_level_order_by(std::string_view sql) noexcept;

// --- running an evaluation ---------------------------------------------------------------

/// What to evaluate against: the database and the two model tiers.
/// Thread rule: a plain value.
struct NORVEX_API Target {
  std::string db_uri;
  llm::AzureOpenAIChat35 config_35;
  llm::AzureOpenAIChat4 config_4;
};

/// The record of one question, as written to results.jsonl.
/// Thread rule: a plain value.
struct NORVEX_API QuestionResult {
  Question question;
  std::string predicted_sql;  // the pipeline's final query ("" when it produced none)
  bool match = false;
  std::string reason;
  std::string detail;
  bool ordered = false;
  std::optional<std::size_t> gold_rows;
  std::optional<std::size_t> predicted_rows;
  std::int64_t steps = 0;    // pipeline nodes run
  std::int64_t repairs = 0;  // SQL attempts after the first
  double seconds = 0;
  std::int64_t prompt_tokens = 0;
  std::int64_t completion_tokens = 0;

  [[nodiscard]] Json to_json() const;
  /// Reads a record written by to_json(). Throws ValueError for another shape.
  [[nodiscard]] static QuestionResult from_json(const Json& record);
};

/// Options of an evaluation run. Thread rule: a plain value.
struct NORVEX_API RunOptions {
  std::filesystem::path out_dir = "norvex_eval";
  /// Skip the questions already recorded in out_dir/results.jsonl. Without it an existing
  /// results file is an error (nothing is overwritten).
  bool resume = false;
  unsigned concurrency = 1;  // worker threads, each with its own pipeline and connections
  double tolerance = 1e-6;
  /// Where the pipeline's analysis code saves charts; default out_dir/media.
  std::optional<std::filesystem::path> media_dir;
  /// Told about every finished question (from the worker threads, one call at a time):
  /// the record, how many questions are finished (resumed ones included) and the total.
  std::function<void(const QuestionResult&, std::size_t done, std::size_t total)> on_result;
};

/// The figures of a finished run (also written as summary.json).
/// Thread rule: a plain value.
struct NORVEX_API Summary {
  std::size_t questions = 0;  // in the set, after the db_id selection
  std::size_t evaluated = 0;  // with a valid gold (the accuracy's denominator)
  std::size_t matched = 0;
  std::size_t broken_gold = 0;  // gold SQL that failed: not counted against the model
  std::size_t resumed = 0;      // taken from an earlier run's results.jsonl
  double accuracy = 0;          // matched / evaluated (0 when nothing was evaluated)
  std::map<std::int64_t, std::pair<std::size_t, std::size_t>> by_repairs;  // (evaluated, matched)
  std::map<std::string, std::size_t> failures;                             // by reason
  double question_seconds = 0;                                             // sum over questions
  double wall_seconds = 0;  // this run's elapsed time
  std::int64_t prompt_tokens = 0;
  std::int64_t completion_tokens = 0;

  [[nodiscard]] Json to_json() const;
};

/// Summarises the records (one per question of the set). Never throws but std::bad_alloc.
[[nodiscard]] NORVEX_API Summary summarise(const std::vector<QuestionResult>& results);

/// The readable report: accuracy, accuracy by repairs needed, failures grouped by reason
/// (with the questions), time and tokens. Never throws but std::bad_alloc.
[[nodiscard]] NORVEX_API std::string render_report(const Summary& summary,
                                                   const std::vector<QuestionResult>& results);

/// Runs every question of `questions` not yet recorded and writes the three files. A gold
/// query that fails is recorded as "gold_failed" without running the pipeline. Throws
/// ArgumentError for concurrency 0, for a replayed model with concurrency above 1 (a cassette
/// answers in recorded order), or for an existing results file without `resume`;
/// ValueError for an unreadable results file; DatabaseError when the database cannot be
/// opened; what the QueryFlow constructor throws. A failure of one question is its record,
/// never an exception.
NORVEX_API Summary evaluate(const std::vector<Question>& questions, const Target& target,
                            const RunOptions& options);

}  // namespace norvex::eval
