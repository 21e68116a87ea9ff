#include "nimbrad/LaunchAnalytics.h"

#include <ctime>

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

std::string formatLaunchTimestamp(std::chrono::system_clock::time_point time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm tm{};
  if (localtime_r(&seconds, &tm) == nullptr) return {};
  char buffer[64];
  std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
  return std::string(buffer, n);
}

void sendFallbackDescriptorEvent(AnalyticsService& analytics, std::string reason,
                                 std::chrono::system_clock::time_point launchedDate, std::string processBundleID,
                                 std::string processBundleVersion, std::string processName) {
  analyticsLog().debug("<nimbrad> registerDatabaseEntry: Sending Analytics Event to {} : {} Reason: {}",
                       kFallbackDescriptorEventName, processName, reason);
  analytics.sendEventLazy(kFallbackDescriptorEventName,
                          [reason = std::move(reason), launchedDate, bundleID = std::move(processBundleID),
                           version = std::move(processBundleVersion), name = std::move(processName)] {
                            return platform::Dictionary{
                                {"Reason", reason},
                                {"Timestamp", formatLaunchTimestamp(launchedDate)},
                                {"ProcessBundleIdentifier", bundleID},
                                {"ProcessBundleVersion", version},
                                {"ProcessName", name},
                            };
                          });
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
