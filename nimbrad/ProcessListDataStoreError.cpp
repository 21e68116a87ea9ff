#include "nimbrad/ProcessListDataStoreError.h"

#include <fmt/format.h>

namespace nimbra {

ProcessListDataStoreError ProcessListDataStoreError::databaseError(std::string_view message, int code,
                                                                   std::string_view sqliteMessage) {
  return {Kind::databaseError, fmt::format("{} {} {}", message, code, sqliteMessage)};
}

ProcessListDataStoreError ProcessListDataStoreError::queryError(std::string_view message, int code,
                                                                std::string_view sqliteMessage) {
  return {Kind::queryError, fmt::format("{} {} {}", message, code, sqliteMessage)};
}

}  // namespace nimbra
