#include "nimbrad/LaunchAnalytics.h"

#include "nimbrad/DateFormatter.h"
#include "platform/Log.h"

namespace nimbra {

namespace {

const platform::Logger& analyticsLog() {
  static const platform::Logger log("com.corvane.nimbrad", "LaunchAnalytics");
  return log;
}

constexpr std::string_view kResponsiblePrefix = "Due to Responsible: ";
constexpr std::string_view kTargetPrefix = "Due to Target: ";

}  // namespace

std::string fallbackDescriptorReason(std::string_view reasonDescription, std::string_view responsibleName,
                                     std::string_view responsiblePath, std::string_view targetName,
                                     std::string_view targetPath) {
  std::string reason(reasonDescription);
  if (reasonDescription.starts_with(kResponsiblePrefix)) {
    reason += fmt::format(" [{} ({})]", responsibleName, responsiblePath);
  } else if (reasonDescription.starts_with(kTargetPrefix)) {
    reason += fmt::format(" [{} ({})]", targetName, targetPath);
  }
  return reason;
}

std::string fallbackDescriptorReason(const ProcessDataEntry& entry) {
  return fallbackDescriptorReason(entry.reason.description(), entry.responsible_name, entry.responsible_path,
                                  entry.target_name, entry.target_path);
}

void sendFallbackDescriptorEvent(AnalyticsService& analytics, std::string reason, platform::Date launchedDate,
                                 std::string processBundleID, std::string processBundleVersion,
                                 std::string processName) {
  analyticsLog().debug("<nimbrad> registerDatabaseEntry: Sending Analytics Event to {} : {} Reason: {}",
                       kFallbackDescriptorEventName, processName, reason);
  analytics.sendEventLazy(kFallbackDescriptorEventName,
                          [reason = std::move(reason), launchedDate, bundleID = std::move(processBundleID),
                           version = std::move(processBundleVersion), name = std::move(processName)] {
                            return platform::Dictionary{
                                {"Reason", reason},
                                {"Timestamp", DateFormatter::format(launchedDate)},
                                {"ProcessBundleIdentifier", bundleID},
                                {"ProcessBundleVersion", version},
                                {"ProcessName", name},
                            };
                          });
}

void sendFallbackDescriptorEvent(AnalyticsService& analytics, const ProcessDataEntry& entry, std::string reason) {
  sendFallbackDescriptorEvent(analytics, std::move(reason), entry.previously_launched_date, entry.process_bundle_id,
                              entry.process_bundle_version, entry.process_name);
}

void sendGameDecisionEvent(AnalyticsService& analytics, const VelmoraEventData& event, const GameCheckResult& result) {
  if (event.processPath != event.targetPath) {
    analyticsLog().debug("<nimbrad: Ludex> Skipping analytics for library load: {}", event.processName);
    return;
  }
  int decision = result.decisionCode();
  analyticsLog().debug("<nimbrad: Ludex> Sending analytics - decision: {}, bundleID: {}", decision,
                       event.processBundleID);
  analytics.sendEventLazy(kGameDecisionEventName, [decision, bundleID = event.processBundleID] {
    return platform::Dictionary{
        {"LudexDecision", decision},
        {"ProcessBundleIdentifier", bundleID},
    };
  });
}

}  // namespace nimbra
