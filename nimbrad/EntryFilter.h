#pragma once

// The decisions behind the store's entry filters: the ignore list (platform
// tools that are never recorded, then the exclusion rules) and the
// uninteresting-target table. Stateless; the store supplies the rules, the
// switches and its logger. Any thread.

#include <string_view>

#include "nimbrad/ExclusionRulesProviding.h"
#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/VelmoraPolicy.h"
#include "platform/Log.h"

namespace nimbra {

class EntryFilter {
 public:
  EntryFilter() = delete;

  // The team identifier that marks a platform binary (exact, case-sensitive).
  static constexpr std::string_view kPlatformTeamID = "Corvane";

  // The rules used when the store has no provider: one rule,
  // responsible_developer_name = "CodeWeavers Inc.".
  static const ExclusionRuleList& builtInRules();

  // Membership in the platform's never-recorded responsible names (6) and
  // process names (5); exact text equality.
  static bool isPlatformResponsibleName(std::string_view name);
  static bool isPlatformProcessName(std::string_view name);

  // True when every key of `rule` names a text field of `entry` holding
  // exactly the rule's value. A key that names no field, or a field that is
  // not text (user, flag, date, count, reason), never matches. An empty rule
  // matches nothing.
  static bool ruleMatches(const ProcessDataEntry& entry, const ExclusionRule& rule);

  // A platform entry (process or responsible team "Corvane") matches only by
  // the two name sets, never by a rule; any other entry matches by the first
  // rule of `rules` that matches it. Each match is logged at debug level.
  static bool ignoreListMatches(const ProcessDataEntry& entry, const ExclusionRuleList& rules,
                                const platform::Logger& log);

  // The uninteresting-target table, first applicable row decides; only a
  // non-platform target inside a platform process depends on the policy
  // (kept when pluginNotificationEnabled).
  static bool isUninterestingTarget(const ProcessDataEntry& entry, const VelmoraPolicy& policy);
};

}  // namespace nimbra
