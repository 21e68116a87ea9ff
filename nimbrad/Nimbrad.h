#pragma once

// The daemon's main object: created once at start-up and kept for the life of
// the process. It owns every queue, the store, the providers and handlers, the
// service listeners, the database sync timer, the memory-pressure source and
// the signal sources. Blocks that run later hold it weakly.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nimbrad/AssetManager.h"
#include "nimbrad/AnalyticsService.h"
#include "nimbrad/DateFormatter.h"
#include "nimbrad/EntitlementChecker.h"
#include "nimbrad/EventEnrichment.h"
#include "nimbrad/LudexClient.h"
#include "nimbrad/LudexFilter.h"
#include "nimbrad/ExclusionRulesProviding.h"
#include "nimbrad/NativeAppListProviding.h"
#include "nimbrad/ProcessListDataStore.h"
#include "nimbrad/ProductMappingProviding.h"
#include "nimbrad/VelmoraPolicyManager.h"
#include "nimbrad/XPCService.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/MemoryPressureSource.h"
#include "platform/PeerIdentity.h"
#include "platform/ServiceListener.h"
#include "platform/UserDefaults.h"
#include "platform/UserIdentity.h"
#include "platform/Value.h"

namespace nimbra {

class Nimbrad : public std::enable_shared_from_this<Nimbrad> {
 public:
  // The platform services the daemon reaches, replaceable in tests.
  struct Environment {
    std::shared_ptr<const platform::EntitlementSource> entitlements;
    // Starts the memory-pressure source; may return nullptr (no source).
    std::function<std::unique_ptr<platform::MemoryPressureSource>(std::shared_ptr<platform::DispatchQueue>,
                                                                  platform::Block)>
        startMemoryPressureSource;
    // The daemon's standard defaults domain, "com.corvane.nimbrad".
    std::function<platform::UserDefaults()> standardDefaults;
    const platform::Clock* clock = &platform::Clock::system();
    // Where the store keeps nimbra.db; none means the group container.
    std::optional<std::string> databaseDirectory;
    // Makes the asset manager; nullptr (or no function) means it cannot be
    // created, and the daemon runs without assets.
    std::function<std::shared_ptr<AssetManager>()> makeAssetManager;
    // The policy suite "com.corvane.nimbra.policy"; no function: the suite
    // cannot be opened.
    std::function<platform::UserDefaults()> policyDefaults;
    // The games libraries of the users; none means the per-user files.
    std::shared_ptr<platform::LXGameLibraryFactory> gameLibraries;
    // The analytics service; none means Telemetra's JSON-lines sink.
    std::shared_ptr<AnalyticsService> analytics;
    // Fills in unknown bundle values; none means the bundle reader.
    VelmoraCoordinatorFactory coordinators;
    // The uid and groups whose rights the files a launch names are read
    // with: the user database, through a short-lived cache by default.
    std::function<platform::UserIdentity(uid_t)> userIdentity = platform::UserIdentity::ofUser;
    // How long the game filter waits for a games library.
    double ludexQueryTimeoutSeconds = LudexFilter::kQueryTimeoutSeconds;
  };
  static Environment defaultEnvironment();

  static constexpr const char* kSandboxIdentifier = "com.corvane.nimbrad";
  static constexpr std::int64_t kDefaultDatabaseSyncInterval = 1800;
  static constexpr double kSaveTimeoutSeconds = 15.0;
  // Of the shutdown's 15 seconds, the part kept for the save itself.
  static constexpr std::chrono::seconds kShutdownSaveReserve{5};
  // How long the exit hook waits for a save that is still running.
  static constexpr std::chrono::milliseconds kExitSaveLockWait{5000};

  // Construction in the documented order; ends with the [INIT] line.
  static std::shared_ptr<Nimbrad> create(Environment environment = defaultEnvironment());

  Nimbrad(const Nimbrad&) = delete;
  Nimbrad& operator=(const Nimbrad&) = delete;
  ~Nimbrad();

  // Start-up registrations, called by the entry point in this order. Each of
  // the first six starts one service as its row of the service table says
  // (Nimbrad.cpp); a listener that cannot start is logged and left out.
  void registerVelmoraEventListener();
  void registerDatabaseListener();
  void registerProcessReporterListener();
  void registerUnsupportedAppsListener();
  void registerDeprecationWarningListener();
  void registerSupportedVelmoraUsageListener();
  void registerBackgroundTasks();
  void setupPolicyObservation();
  void registerSignalHandlers();

  void registerDatabaseSyncTimer();
  // The periodic save interval in seconds, from "dbSyncInterval" or 1800.
  std::int64_t databaseSyncInterval() const;
  // Seconds until the next periodic save; nullopt while no timer is active.
  std::optional<std::int64_t> timeUntilNextDatabaseSync() const;

  // Records memory pressure; true starts a timed save on dbSyncQueue.
  void setMemoryPressureDetected(bool value);
  bool memoryPressureDetected() const;
  // What the memory-pressure source does on every event, of any level.
  void handleMemoryPressureEvent();

  // Service 1: decodes and validates one launch event, fills in unknown
  // values and hands it to the game filter (or straight to processEvent when
  // the filter is off). Replies {"result": 0} for every decoded event,
  // {"result": 1} for one that fails validation. On velmoraEventQueue.
  platform::Value handleVelmoraEvent(const platform::Value& message);

  // Services 2 to 6, on their services' queues: each receives the message
  // and the peer of its session (pid, uid and gid read at accept time, and
  // the executable). Until a service is built, it answers
  // {"ServiceNotAvailable": true} and logs an error line saying so.
  platform::Value handleCommand(const platform::Value& message, const platform::PeerIdentity& peer);
  platform::Value handleProcessReporterRequest(const platform::Value& message, const platform::PeerIdentity& peer);
  platform::Value handleDaemonUnsupportedAppsRequest(const platform::Value& message,
                                                     const platform::PeerIdentity& peer);
  platform::Value handleDeprecationWarningRequest(const platform::Value& message, const platform::PeerIdentity& peer);
  platform::Value handleSupportedVelmoraUsageRequest(const platform::Value& message,
                                                     const platform::PeerIdentity& peer);

  // The recording step: builds the store entry, applies the exclusion
  // filter, writes the entry asynchronously and, for a new launch, schedules
  // the launch notification check 2 seconds later. Runs on velmoraEventQueue.
  void processEvent(const VelmoraEventData& event);

  // Writes `entry` to the store; a first launch of an identity sends the
  // launch analytics event. Runs on the store-write queue.
  void registerDatabaseEntry(const ProcessDataEntry& entry);

  // Queues `entry` for registerDatabaseEntry on the store-write queue.
  void scheduleDatabaseEntry(ProcessDataEntry entry);

  // The final save of the exit hook. Waits at most kExitSaveLockWait for a
  // save that is still running, so that the exit never hangs behind one.
  void finalSave();

  // Service listeners started so far, in registration order.
  std::size_t listenerCount() const { return listeners_.size(); }

  const std::shared_ptr<ProcessListDataStore>& processListDataStore() const { return processListDataStore_; }
  const std::shared_ptr<platform::DispatchQueue>& velmoraEventQueue() const { return velmoraEventQueue_; }
  const std::shared_ptr<platform::DispatchQueue>& dbSyncQueue() const { return dbSyncQueue_; }
  // nullptr when the asset manager could not be created.
  const std::shared_ptr<AssetManager>& assetManager() const { return assetManager_; }
  const std::shared_ptr<VelmoraPolicyManager>& velmoraPolicy() const { return velmoraPolicy_; }
  // Created over the asset manager, or without one (then serving their empty
  // fallbacks); never null.
  const std::shared_ptr<NativeAppListProviding>& nativeAppListProvider() const { return nativeAppListProvider_; }
  const std::shared_ptr<ExclusionRulesProviding>& exclusionRulesProvider() const { return exclusionRulesProvider_; }
  const std::shared_ptr<ProductMappingProviding>& productMappingProvider() const { return productMappingProvider_; }
  const std::shared_ptr<LudexClient>& ludexClient() const { return ludexClient_; }
  const std::shared_ptr<LudexFilter>& ludexFilter() const { return ludexFilter_; }
  // Blocks until every store write started so far has finished (tests and
  // benchmarks).
  void waitForPendingWrites() const;

  // Waits until every launch event handled so far has left the game filter
  // (passed on or dropped) and every store write has finished, or until
  // `deadline`. False on timeout. Not on the event or store-write queue.
  bool drainIntake(std::chrono::steady_clock::time_point deadline) const;

 private:
  explicit Nimbrad(Environment environment);
  void construct();

  // The six services, in registration order; their table is in Nimbrad.cpp.
  enum class Service { velmoraEvent, database, processReporter, unsupportedApps, deprecationWarning,
                       supportedVelmoraUsage };
  struct ServiceRow;
  static const ServiceRow& serviceRow(Service service);
  void listen(Service service);
  // SIGHUP: saves the store and carries on.
  void saveOnSignal(const char* signalName);
  // SIGTERM, SIGINT: closes the services, writes every launch already
  // accepted, saves, and exits with status 0, within kSaveTimeoutSeconds.
  void shutDown(const char* signalName);

  // Held by a launch event while the game filter decides about it.
  struct FilterTicket;
  void endFilterCheck();


  Environment environment_;
  std::shared_ptr<const EntitlementChecker> entitlementChecker_;

  std::shared_ptr<platform::DispatchQueue> velmoraEventQueue_;
  std::shared_ptr<platform::DispatchQueue> databaseRequestQueue_;
  std::shared_ptr<platform::DispatchQueue> userNotificationRequestQueue_;
  std::shared_ptr<platform::DispatchQueue> periodicNotificationQueue_;
  std::shared_ptr<platform::DispatchQueue> catchupNotificationQueue_;
  std::shared_ptr<platform::DispatchQueue> processReporterRequestQueue_;
  std::shared_ptr<platform::DispatchQueue> unsupportedApplicationListRequestQueue_;
  std::shared_ptr<platform::DispatchQueue> deprecationWarningRequestQueue_;
  std::shared_ptr<platform::DispatchQueue> dbSyncQueue_;

  std::shared_ptr<ProcessListDataStore> processListDataStore_;
  std::shared_ptr<AssetManager> assetManager_;
  std::shared_ptr<NativeAppListProviding> nativeAppListProvider_;
  std::shared_ptr<ExclusionRulesProviding> exclusionRulesProvider_;
  std::shared_ptr<ProductMappingProviding> productMappingProvider_;
  std::shared_ptr<VelmoraPolicyManager> velmoraPolicy_;
  std::shared_ptr<LudexClient> ludexClient_;
  std::shared_ptr<LudexFilter> ludexFilter_;
  std::shared_ptr<AnalyticsService> analyticsService_;
  // Store writes run here, off the event queue, in the order events were
  // recorded, so that launch counts and timestamps of one identity never race.
  // Entries queue up in pendingWrites_ and one drain writes all that are
  // there: under load a wake-up serves many launches.
  std::shared_ptr<platform::DispatchQueue> storeWriteQueue_;
  mutable std::mutex pendingWritesMutex_;
  std::vector<ProcessDataEntry> pendingWrites_;  // GUARDED_BY(pendingWritesMutex_)
  bool drainScheduled_ = false;                  // GUARDED_BY(pendingWritesMutex_)
  std::size_t unfinishedWrites_ = 0;             // GUARDED_BY(pendingWritesMutex_)
  std::size_t eventsInFilter_ = 0;               // GUARDED_BY(pendingWritesMutex_)
  mutable std::condition_variable writesFinished_;
  std::optional<platform::ObserverToken> policyObserver_;  // set by setupPolicyObservation()

  mutable std::mutex dbSyncMutex_;
  std::unique_ptr<platform::DispatchTimer> dbSyncTimer_;                        // GUARDED_BY(dbSyncMutex_)
  std::optional<std::chrono::steady_clock::time_point> dbSyncTimerStartTime_;  // GUARDED_BY(dbSyncMutex_)

  bool memoryPressureDetected_ = false;  // only touched on memoryPressureQueue_
  std::shared_ptr<platform::DispatchQueue> memoryPressureQueue_;
  std::unique_ptr<platform::MemoryPressureSource> memoryPressureSource_;

  std::mutex lastEntryLock_;
  // The last entry that passed the exclusion filter, for the duplicate check.
  platform::Date lastLaunchTimestamp_ = DateFormatter::distantPast;  // GUARDED_BY(lastEntryLock_)
  std::string lastProcessHash_;                 // GUARDED_BY(lastEntryLock_)
  std::string lastResponsibleHash_;             // GUARDED_BY(lastEntryLock_)

  std::vector<std::unique_ptr<platform::ServiceListener>> listeners_;
  std::atomic<bool> shuttingDown_{false};
  std::vector<std::unique_ptr<platform::SignalSource>> signalSources_;
};

}  // namespace nimbra
