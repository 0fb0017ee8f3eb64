// Reading a question set: JSON Lines or a JSON array of objects with a question and its gold
// SQL. Everything is checked before anything runs, so a bad line costs no model calls.
#include <fstream>
#include <set>
#include <sstream>

#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"

namespace norvex::eval {
namespace {

constexpr std::string_view kGoldFields[] = {"sql", "query", "gold_sql"};

// A text field, absent when missing or null; anything else is an error.
std::optional<std::string> text_of(const Json& object, std::string_view name,
                                   const std::string& where) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    throw ValueError(where + ": \"" + std::string(name) + "\" must be a text");
  }
  return it->get<std::string>();
}

Question read_question(const Json& object, const LoadOptions& options, std::size_t position,
                       const std::string& where) {
  if (!object.is_object()) throw ValueError(where + ": expected a JSON object");
  Question q;
  if (const auto it = object.find("id"); it != object.end() && !it->is_null()) {
    if (it->is_string()) {
      q.id = it->get<std::string>();
    } else if (it->is_number_integer()) {
      q.id = it->dump();
    } else {
      throw ValueError(where + ": \"id\" must be a text or an integer");
    }
    if (q.id.empty()) throw ValueError(where + ": \"id\" is empty");
  } else {
    q.id = std::to_string(position);
  }
  const auto question = text_of(object, "question", where);
  if (!question || question->empty()) throw ValueError(where + ": no \"question\"");
  q.question = *question;

  std::optional<std::string> gold;
  if (!options.gold_field.empty()) {
    gold = text_of(object, options.gold_field, where);
    if (!gold) throw ValueError(where + ": no \"" + options.gold_field + "\" (the gold SQL)");
  } else {
    for (const auto name : kGoldFields) {
      if ((gold = text_of(object, name, where))) break;
    }
    if (!gold) throw ValueError(where + ": no gold SQL (\"sql\", \"query\" or \"gold_sql\")");
  }
  if (gold->find_first_not_of(" \t\r\n") == std::string::npos) {
    throw ValueError(where + ": the gold SQL is empty");
  }
  q.gold_sql = *gold;
  q.db_id = text_of(object, "db_id", where);
  q.evidence = text_of(object, "evidence", where);
  if (!q.evidence) q.evidence = text_of(object, "hint", where);
  return q;
}

void keep(QuestionSet& set, Question q, const LoadOptions& options, std::set<std::string>& ids,
          const std::string& where) {
  if (!ids.insert(q.id).second) throw ValueError(where + ": the id \"" + q.id + "\" repeats");
  if (options.db_id && q.db_id && *q.db_id != *options.db_id) {
    ++set.skipped;
    return;
  }
  set.questions.push_back(std::move(q));
}

}  // namespace

QuestionSet parse_questions(std::string_view text, const LoadOptions& options,
                            std::string_view source) {
  QuestionSet set;
  std::set<std::string> ids;
  const std::string name(source);
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '[') {
    Json array;
    try {
      array = Json::parse(text);
    } catch (const Json::parse_error& error) {
      throw ValueError(name + ": not valid JSON: " + error.what());
    }
    for (std::size_t i = 0; i < array.size(); ++i) {
      const std::string where = name + " item " + std::to_string(i + 1);
      keep(set, read_question(array[i], options, i + 1, where), options, ids, where);
    }
    return set;
  }
  std::size_t line_number = 0;
  std::size_t position = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    const std::string where = name + " line " + std::to_string(line_number);
    Json object;
    try {
      object = Json::parse(line);
    } catch (const Json::parse_error& error) {
      throw ValueError(where + ": not valid JSON: " + error.what());
    }
    ++position;
    keep(set, read_question(object, options, position, where), options, ids, where);
  }
  return set;
}

QuestionSet load_questions(const std::filesystem::path& path, const LoadOptions& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ValueError("cannot read the question set " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return parse_questions(text.str(), options, path.string());
}

}  // namespace norvex::eval
