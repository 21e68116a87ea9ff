#pragma once

// A scoped activity: while any transaction is alive the daemon counts as busy
// and must not be stopped for being idle.

#include <cstddef>
#include <string>

namespace platform {

class OSTransaction {
 public:
  explicit OSTransaction(std::string label);
  OSTransaction(const OSTransaction&) = delete;
  OSTransaction& operator=(const OSTransaction&) = delete;
  ~OSTransaction();

  const std::string& label() const { return label_; }
  // Transactions alive in the process right now.
  static std::size_t activeCount();

 private:
  std::string label_;
};

}  // namespace platform
