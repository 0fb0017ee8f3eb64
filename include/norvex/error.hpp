#pragma once
/// The one exception vocabulary of norvex. Every error says whether retrying the same call
/// can help (a rate limit, a time-out, a lost connection), so callers can decide without
/// parsing messages. Messages never contain passwords or API keys.

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include "norvex/base/export.hpp"

namespace norvex {

/// Base of every error norvex throws.
class NORVEX_API Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, bool retryable = false)
      : std::runtime_error(message), retryable_(retryable) {}

  /// True when the same call may succeed if made again later.
  [[nodiscard]] bool retryable() const noexcept { return retryable_; }

 private:
  bool retryable_;
};

/// A value of the right type but unusable content (malformed template, bad update, ...).
class NORVEX_API ValueError : public Error {
 public:
  using Error::Error;
};

/// A caller passed an argument the operation does not accept.
class NORVEX_API ArgumentError : public Error {
 public:
  using Error::Error;
};

/// A state field that a step needs has not been written.
class NORVEX_API MissingFieldError : public Error {
 public:
  explicit MissingFieldError(std::string field)
      : Error("missing state field '" + field + "'"), field_(std::move(field)) {}
  [[nodiscard]] const std::string& field() const noexcept { return field_; }

 private:
  std::string field_;
};

/// A graph run took more steps than its recursion limit allows.
class NORVEX_API RecursionLimitError : public Error {
 public:
  explicit RecursionLimitError(int limit)
      : Error("Recursion limit of " + std::to_string(limit) +
              " reached without hitting a stop condition"),
        limit_(limit) {}
  [[nodiscard]] int limit() const noexcept { return limit_; }

 private:
  int limit_;
};

/// A database refused, failed or lost a connection or a statement.
class NORVEX_API DatabaseError : public Error {
 public:
  explicit DatabaseError(const std::string& message, std::string sqlstate = {},
                         bool retryable = false)
      : Error(message, retryable), sqlstate_(std::move(sqlstate)) {}
  /// The engine's five-character SQLSTATE, empty when the engine gave none.
  [[nodiscard]] const std::string& sqlstate() const noexcept { return sqlstate_; }

 private:
  std::string sqlstate_;
};

/// A chat-completion request failed: transport error or an error answer of the service.
class NORVEX_API ChatServiceError : public Error {
 public:
  explicit ChatServiceError(const std::string& message, int http_status = 0, bool retryable = false)
      : Error(message, retryable), http_status_(http_status) {}
  /// The HTTP status of the service's answer; 0 when no answer arrived.
  [[nodiscard]] int http_status() const noexcept { return http_status_; }

 private:
  int http_status_;
};

/// A model's answer does not fit the structured record that was asked for.
class NORVEX_API OutputParseError : public Error {
 public:
  using Error::Error;
};

/// Python code raised an exception; what() is "TypeName: message".
class NORVEX_API PythonError : public Error {
 public:
  PythonError(std::string type_name, std::string message)
      : Error(type_name + ": " + message),
        type_name_(std::move(type_name)),
        message_(std::move(message)) {}
  [[nodiscard]] const std::string& type_name() const noexcept { return type_name_; }
  [[nodiscard]] const std::string& python_message() const noexcept { return message_; }

 private:
  std::string type_name_;
  std::string message_;
};

/// Python code asked to end (SystemExit, KeyboardInterrupt): not an ordinary failure.
class NORVEX_API PythonExit : public PythonError {
 public:
  PythonExit(std::string type_name, std::string message, std::optional<int> exit_code = {})
      : PythonError(std::move(type_name), std::move(message)), exit_code_(exit_code) {}
  /// The integer status given to sys.exit, when there was one.
  [[nodiscard]] std::optional<int> exit_code() const noexcept { return exit_code_; }

 private:
  std::optional<int> exit_code_;
};

}  // namespace norvex
