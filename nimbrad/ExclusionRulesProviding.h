#pragma once

// The source of the exclusion rules the store's ignore-list filter applies.
// A rule maps entry field names to the exact texts those fields must hold.

#include <map>
#include <string>
#include <vector>

namespace nimbra {

class ExclusionRulesProviding {
 public:
  virtual ~ExclusionRulesProviding() = default;
  // The rules in force, in matching order. Called on the launch event queue
  // for every launch; implementations synchronize their own data.
  virtual std::vector<std::map<std::string, std::string>> currentRules() const = 0;
};

}  // namespace nimbra
