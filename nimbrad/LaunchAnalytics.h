#pragma once

// The two launch analytics events: one for each newly recorded translated
// executable, one for each game-filter decision. Both build their payload
// lazily from values captured at the call.

#include <string>
#include <string_view>

#include "nimbrad/AnalyticsService.h"
#include "nimbrad/GameCheckResult.h"
#include "nimbrad/ProcessDataEntry.h"
#include "nimbrad/VelmoraEventData.h"
#include "platform/Value.h"

namespace nimbra {

inline constexpr std::string_view kFallbackDescriptorEventName = "com.corvane.nimbra.velmora-fallback-descriptor";
inline constexpr std::string_view kGameDecisionEventName = "com.corvane.nimbra.velmoragames";

// The reason text of the fallback-descriptor event: the translation reason's
// description, followed by " [<name> (<path>)]" of the executable it names
// when it begins with "Due to Responsible: " (the responsible process) or
// "Due to Target: " (the target). Any other description is returned unchanged.
std::string fallbackDescriptorReason(std::string_view reasonDescription, std::string_view responsibleName,
                                     std::string_view responsiblePath, std::string_view targetName,
                                     std::string_view targetPath);

// The same for an entry: its reason's description, with the entry's
// responsible or target name and path.
std::string fallbackDescriptorReason(const ProcessDataEntry& entry);

// Logs the "Sending Analytics Event" line and sends the fallback-descriptor
// event with "Reason", "Timestamp" (the launch date as the shared date
// formatter writes it), "ProcessBundleIdentifier", "ProcessBundleVersion" and
// "ProcessName". Thread-safe.
void sendFallbackDescriptorEvent(AnalyticsService& analytics, std::string reason, platform::Date launchedDate,
                                 std::string processBundleID, std::string processBundleVersion,
                                 std::string processName);

// The event for a newly recorded entry, with the reason text given.
void sendFallbackDescriptorEvent(AnalyticsService& analytics, const ProcessDataEntry& entry, std::string reason);

// Sends the game-decision event ("LudexDecision" 1/2/3 and
// "ProcessBundleIdentifier"), except for a library or plug-in load (process
// path differs from target path), which is only logged. Thread-safe.
void sendGameDecisionEvent(AnalyticsService& analytics, const VelmoraEventData& event, const GameCheckResult& result);

}  // namespace nimbra
