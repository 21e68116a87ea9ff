#pragma once

// The source of the exclusion rules the store's ignore-list filter applies.
// A rule maps entry field names to the exact texts those fields must hold;
// every rule handed out is a non-empty string-to-string dictionary.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

namespace nimbra {

using ExclusionRule = std::map<std::string, std::string>;
using ExclusionRuleList = std::vector<ExclusionRule>;

class ExclusionRulesProviding {
 public:
  // Receives the rules before the change (nullopt if unknown) and after it.
  using RulesHandler = std::function<void(const std::optional<ExclusionRuleList>& oldRules,
                                          const ExclusionRuleList& newRules)>;

  virtual ~ExclusionRulesProviding() = default;

  // The rules in force, in matching order. Called on the launch event queue
  // for every launch; implementations synchronize their own data.
  virtual ExclusionRuleList currentRules() const = 0;

  // The same rules without a copy; the list stays unchanged for as long as
  // the caller holds it. Any thread.
  virtual std::shared_ptr<const ExclusionRuleList> currentRulesSnapshot() const {
    return std::make_shared<const ExclusionRuleList>(currentRules());
  }

  // Calls `handler` after each change of the rules, on the thread that ran
  // the reload. nullopt when the rules can never change (no asset source).
  virtual std::optional<platform::ObserverToken> addObserver(RulesHandler handler) = 0;
  virtual void removeObserver(platform::ObserverToken token) = 0;
};

}  // namespace nimbra
