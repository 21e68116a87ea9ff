#pragma once

// Whether a reload that produced data tells the provider's observers.

#include <string_view>

namespace nimbra {

enum class ChangeNotificationStrategy {
  always,        // every successful reload notifies
  never,         // reloads replace the data silently
  onDataChange,  // only when the new data differs from the old
};

// "Always", "Never", "OnDataChange".
constexpr std::string_view changeNotificationStrategyText(ChangeNotificationStrategy strategy) {
  switch (strategy) {
    case ChangeNotificationStrategy::always: return "Always";
    case ChangeNotificationStrategy::never: return "Never";
    case ChangeNotificationStrategy::onDataChange: return "OnDataChange";
  }
  return "OnDataChange";
}

}  // namespace nimbra
