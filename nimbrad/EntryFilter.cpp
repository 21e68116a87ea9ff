#include "nimbrad/EntryFilter.h"

#include <array>
#include <span>
#include <fmt/format.h>

namespace nimbra {

namespace {

constexpr std::array<std::string_view, 6> kPlatformResponsibleNames = {
    "Pakmaster", "com.corvane.brindle.sidecarAgent", "patchwardend", "tessad-root-aide", "tessad-aide", "indexling"};
constexpr std::array<std::string_view, 5> kPlatformProcessNames = {"pakd", "system_pakd", "tessad-root-aide",
                                                                   "tessad-aide", "indexling"};

bool contains(std::span<const std::string_view> names, std::string_view name) {
  for (auto candidate : names) {
    if (candidate == name) return true;
  }
  return false;
}

bool isPlatformTeam(const std::string& teamID) { return teamID == EntryFilter::kPlatformTeamID; }

// "{key: "value", ...}" for the match log line.
std::string ruleText(const ExclusionRule& rule) {
  std::string text = "{";
  bool first = true;
  for (const auto& [key, value] : rule) {
    if (!first) text += ", ";
    first = false;
    text += fmt::format("{}: \"{}\"", key, value);
  }
  text += "}";
  return text;
}

}  // namespace

const ExclusionRuleList& EntryFilter::builtInRules() {
  static const ExclusionRuleList rules = {{{"responsible_developer_name", "CodeWeavers Inc."}}};
  return rules;
}

// The sets are a handful of short texts: a scan of a constant array is
// faster than hashing and needs no initialisation.
bool EntryFilter::isPlatformResponsibleName(std::string_view name) {
  return contains(kPlatformResponsibleNames, name);
}

bool EntryFilter::isPlatformProcessName(std::string_view name) { return contains(kPlatformProcessNames, name); }

bool EntryFilter::ruleMatches(const ProcessDataEntry& entry, const ExclusionRule& rule) {
  if (rule.empty()) return false;
  for (const auto& [key, expected] : rule) {
    const ProcessDataEntry::Field* field = ProcessDataEntry::field(key);
    // A key that names no field never matches, also not a rule whose value
    // happens to be the no-value text.
    if (field == nullptr) return false;
    ProcessDataEntry::FieldValue value = field->read(entry);
    const auto* text = std::get_if<std::string_view>(&value);
    if (text == nullptr || *text != expected) return false;
  }
  return true;
}

bool EntryFilter::ignoreListMatches(const ProcessDataEntry& entry, const ExclusionRuleList& rules,
                                    const platform::Logger& log) {
  if (isPlatformTeam(entry.responsible_team_id) || isPlatformTeam(entry.process_team_id)) {
    if (isPlatformResponsibleName(entry.responsible_name)) {
      log.debug("<nimbrad:PLDS:IGNORELIST> Ignoring Corvane App: {}", entry.responsible_name);
      return true;
    }
    if (isPlatformProcessName(entry.process_name)) {
      log.debug("<nimbrad:PLDS:IGNORELIST> Ignoring Corvane App: {}", entry.process_name);
      return true;
    }
    return false;
  }
  for (const auto& rule : rules) {
    if (ruleMatches(entry, rule)) {
      if (log.enabled(platform::LogLevel::Debug)) {
        log.debug("<nimbrad:PLDS:IGNORELIST> Matched exclusion rule: {} for {}", ruleText(rule), entry.process_name);
      }
      return true;
    }
  }
  return false;
}

bool EntryFilter::isUninterestingTarget(const ProcessDataEntry& entry, const VelmoraPolicy& policy) {
  const bool t = isPlatformTeam(entry.target_team_id);
  const bool p = isPlatformTeam(entry.process_team_id);
  const bool r = isPlatformTeam(entry.responsible_team_id);
  if (t && !p) return true;
  if (t && r) return true;
  if (entry.process_path == entry.target_path) return false;
  if (!p) return true;
  if (t) return true;
  // A non-platform target inside a platform process: a plug-in.
  return !policy.pluginNotificationEnabled;
}

}  // namespace nimbra
