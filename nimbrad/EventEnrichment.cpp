#include "nimbrad/EventEnrichment.h"

#include <string_view>

namespace nimbra {

namespace {

constexpr std::string_view kUnknown = "<unknown>";

void replaceFrom(const platform::Dictionary& found, const char* key, std::string& field) {
  auto it = found.find(key);
  if (it == found.end()) return;
  if (const std::string* value = it->second.asString()) field = *value;
}

}  // namespace

VelmoraCoordinatorFactory defaultVelmoraCoordinatorFactory() {
  return [](const std::string& processName, const std::string& processPath, const std::string& targetPath,
            const std::string& responsibleName, const std::string& responsiblePath,
            const platform::UserFileReader& files) {
    return std::make_unique<platform::VelmoraCoordinator>(processName, processPath, targetPath, responsibleName,
                                                          responsiblePath, files, /*logAnalysis=*/false);
  };
}

VelmoraEventData enrichUnknownValues(VelmoraEventData event, const VelmoraCoordinatorFactory& makeCoordinator,
                                     const platform::UserFileReader& files) {
  bool anyUnknown = event.processBundleID == kUnknown || event.processTeamID == kUnknown ||
                    event.responsibleBundleID == kUnknown || event.responsibleTeamID == kUnknown ||
                    event.targetBundleID == kUnknown || event.targetTeamID == kUnknown;
  if (!anyUnknown || !makeCoordinator) return event;

  auto coordinator = makeCoordinator(event.processName, event.processPath, event.targetPath, event.responsibleName,
                                     event.responsiblePath, files);
  if (!coordinator) return event;
  std::optional<platform::Dictionary> found = coordinator->analyze();
  if (!found) return event;

  struct Executable {
    std::string& bundleID;
    std::string& bundleVersion;
    std::string& teamID;
    std::string& developerName;
    const char* bundleIDKey;
    const char* bundleVersionKey;
    const char* teamIDKey;
    const char* developerNameKey;
  };
  Executable executables[] = {
      {event.processBundleID, event.processBundleVersion, event.processTeamID, event.processDeveloperName,
       "ProcessBundleIdentifier", "ProcessBundleVersion", "ProcessTeamIdentifier", "ProcessDeveloperName"},
      {event.targetBundleID, event.targetBundleVersion, event.targetTeamID, event.targetDeveloperName,
       "TargetBundleIdentifier", "TargetBundleVersion", "TargetTeamIdentifier", "TargetDeveloperName"},
      {event.responsibleBundleID, event.responsibleBundleVersion, event.responsibleTeamID,
       event.responsibleDeveloperName, "ResponsibleBundleIdentifier", "ResponsibleBundleVersion",
       "ResponsibleTeamIdentifier", "ResponsibleDeveloperName"},
  };
  for (auto& e : executables) {
    // Both decisions are taken on the values as sent, before any replacement.
    bool bundleUnknown = e.bundleID == kUnknown;
    bool teamUnknown = e.teamID == kUnknown;
    if (bundleUnknown) {
      replaceFrom(*found, e.bundleIDKey, e.bundleID);
      replaceFrom(*found, e.bundleVersionKey, e.bundleVersion);
    }
    if (teamUnknown) {
      replaceFrom(*found, e.teamIDKey, e.teamID);
      replaceFrom(*found, e.developerNameKey, e.developerName);
    }
  }
  return event;
}

}  // namespace nimbra
