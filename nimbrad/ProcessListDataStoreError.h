#pragma once

// The error of the store's operations that can fail. Its message is what the
// callers log; where a SQLite call failed it carries the operation's text, the
// result code and SQLite's own message.

#include <string>
#include <string_view>

namespace nimbra {

class ProcessListDataStoreError {
 public:
  enum class Kind {
    databaseError,  // opening, creating, saving, executing
    queryError,     // malformed query input, binding, statement execution
  };

  static ProcessListDataStoreError databaseError(std::string message) {
    return {Kind::databaseError, std::move(message)};
  }
  static ProcessListDataStoreError queryError(std::string message) { return {Kind::queryError, std::move(message)}; }

  // `message` + " " + code + " " + `sqliteMessage` (the sqlite3_errmsg of the
  // handle the failing call was made on).
  static ProcessListDataStoreError databaseError(std::string_view message, int code, std::string_view sqliteMessage);
  static ProcessListDataStoreError queryError(std::string_view message, int code, std::string_view sqliteMessage);

  // A file system failure (removing or renaming a file), passed on as it is.
  static ProcessListDataStoreError fileSystemError(std::string message) {
    return {Kind::databaseError, std::move(message)};
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The text logs show: the message.
  const std::string& description() const { return message_; }

  bool operator==(const ProcessListDataStoreError&) const = default;

 private:
  ProcessListDataStoreError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

}  // namespace nimbra
