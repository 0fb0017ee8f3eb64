// Bearer tokens: the token file, and comparing a presented token without timing leaks.
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "norvex/error.hpp"
#include "norvex/serve/serve.hpp"
#include "serve_internal.hpp"

namespace norvex::serve {

bool Token::allows(std::string_view database) const {
  for (const auto& name : databases) {
    if (name == "*" || name == database) return true;
  }
  return false;
}

std::vector<Token> parse_tokens(std::string_view text, std::string_view source) {
  std::vector<Token> tokens;
  std::set<std::string> names;
  std::set<std::string> secrets;
  std::istringstream in{std::string(text)};
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    std::istringstream fields(line);
    std::string name, secret, databases, extra;
    if (!(fields >> name) || name.front() == '#') continue;
    const std::string where = std::string(source) + " line " + std::to_string(number);
    if (!(fields >> secret >> databases) || (fields >> extra)) {
      throw ArgumentError(where + ": expected NAME TOKEN DATABASE[,DATABASE...] (or *)");
    }
    if (secret.size() < 16) {
      throw ArgumentError(where + ": the token of '" + name + "' is shorter than 16 characters");
    }
    if (!names.insert(name).second) {
      throw ArgumentError(where + ": the name '" + name + "' is used twice");
    }
    if (!secrets.insert(secret).second) {
      throw ArgumentError(where + ": the token of '" + name + "' is used twice");
    }
    Token token{name, secret, {}};
    std::istringstream list(databases);
    for (std::string database; std::getline(list, database, ',');) {
      if (!database.empty()) token.databases.push_back(database);
    }
    if (token.databases.empty()) throw ArgumentError(where + ": no database is named");
    tokens.push_back(std::move(token));
  }
  if (tokens.empty()) throw ArgumentError(std::string(source) + " holds no token");
  return tokens;
}

std::vector<Token> load_tokens(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ArgumentError("cannot read the token file '" + file.string() + "'");
  std::ostringstream text;
  text << in.rdbuf();
  return parse_tokens(text.str(), file.string());
}

namespace detail {

// Every byte of the longer text is looked at whatever the inputs, so the time taken says
// nothing about how much of a guess was right.
bool same_secret(std::string_view presented, std::string_view secret) noexcept {
  const std::size_t length = std::max(presented.size(), secret.size());
  unsigned char difference = presented.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char a = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
    const unsigned char b = i < secret.size() ? static_cast<unsigned char>(secret[i]) : 0;
    difference |= static_cast<unsigned char>(a ^ b);
  }
  return difference == 0;
}

const Token* find_token(const std::vector<Token>& tokens, std::string_view presented) noexcept {
  const Token* found = nullptr;
  // No early exit: every token is compared.
  for (const auto& token : tokens) {
    if (same_secret(presented, token.secret) && found == nullptr) found = &token;
  }
  return found;
}

}  // namespace detail
}  // namespace norvex::serve
