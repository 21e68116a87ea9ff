#include "nimbrad/Nimbrad.h"

#include <signal.h>

#include <cstdlib>
#include <map>
#include <semaphore>

#include "nimbrad/AssetPolicyProvider.h"
#include "nimbrad/LaunchAnalytics.h"
#include "nimbrad/PathParsers.h"
#include "nimbrad/TelemetraService.h"
#include "nimbrad/VelmoraReason.h"
#include "nimbrad/ExclusionRulesProvider.h"
#include "nimbrad/NativeAppListProvider.h"
#include "nimbrad/ProductMappingProvider.h"
#include "nimbrad/UserDefaultsPolicyProvider.h"
#include "nimbrad/VelmoraEventData.h"
#include "platform/Entitlements.h"
#include "platform/Log.h"
#include "platform/UserIdentityCache.h"

namespace nimbra {

using platform::DispatchQueue;
using platform::QoS;
using platform::Value;

namespace {

const platform::Logger& log() { return platform::Logger::defaultLog(); }

Value resultReply(std::int64_t result) { return Value(platform::Dictionary{{"result", Value(result)}}); }

}  // namespace

Nimbrad::Environment Nimbrad::defaultEnvironment() {
  Environment environment;
  environment.entitlements = std::make_shared<platform::EntitlementRegistry>();
  environment.startMemoryPressureSource = [](std::shared_ptr<DispatchQueue> queue, platform::Block handler) {
    return platform::MemoryPressureSource::start(std::move(queue), std::move(handler));
  };
  environment.standardDefaults = [] { return platform::UserDefaults::standard(kSandboxIdentifier); };
  environment.makeAssetManager = [] { return AssetManager::create(); };
  environment.policyDefaults = [] { return platform::UserDefaults::standard(UserDefaultsPolicyProvider::kSuiteName); };
  environment.coordinators = defaultVelmoraCoordinatorFactory();
  auto identities = std::make_shared<platform::UserIdentityCache>();
  environment.userIdentity = [identities](uid_t uid) { return identities->identity(uid); };
  return environment;
}

Nimbrad::Nimbrad(Environment environment) : environment_(std::move(environment)) {}

Nimbrad::~Nimbrad() {
  if (policyObserver_ && velmoraPolicy_) {
    velmoraPolicy_->removeObserver(*policyObserver_);
    policyObserver_.reset();
    log().notice("<nimbrad> Cleaned up policy change observer");
  }
}

std::shared_ptr<Nimbrad> Nimbrad::create(Environment environment) {
  std::shared_ptr<Nimbrad> daemon(new Nimbrad(std::move(environment)));
  daemon->construct();
  return daemon;
}

void Nimbrad::construct() {
  entitlementChecker_ = std::make_shared<EntitlementChecker>(environment_.entitlements);

  // The database sync timer and its start time stay empty until registration.
  processListDataStore_ = std::make_shared<ProcessListDataStore>(environment_.databaseDirectory,
                                                                 platform::FileManager::defaultManager(),
                                                                 *environment_.clock);
  memoryPressureQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.memoryPressureQueue");

  velmoraEventQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.velmoraEvent");
  databaseRequestQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.databaseRequest");
  processReporterRequestQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.processreporterrequest");
  unsupportedApplicationListRequestQueue_ =
      DispatchQueue::makeSerial("com.corvane.nimbra.unsupportedapplicationlistrequest");
  deprecationWarningRequestQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.deprecationwarningrequest");
  userNotificationRequestQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.notifications");
  periodicNotificationQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.periodic-notifications");
  catchupNotificationQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.catchup-notifications");
  dbSyncQueue_ = DispatchQueue::makeSerial("com.corvane.nimbra.dbSync", QoS::Utility);
  storeWriteQueue_ = DispatchQueue::makeSerial("com.corvane.nimbrad.registerDatabaseEntry");

  ludexClient_ = environment_.gameLibraries ? std::make_shared<LudexClient>(environment_.gameLibraries)
                                            : std::make_shared<LudexClient>();

  if (environment_.makeAssetManager) assetManager_ = environment_.makeAssetManager();
  nativeAppListProvider_ = NativeAppListProvider::create(assetManager_);
  exclusionRulesProvider_ = ExclusionRulesProvider::create(assetManager_);
  productMappingProvider_ = ProductMappingProvider::create(assetManager_);

  // User defaults first: the administrator's settings override the asset's.
  std::vector<std::shared_ptr<VelmoraPolicyProvider>> policyProviders;
  policyProviders.push_back(UserDefaultsPolicyProvider::create(
      environment_.policyDefaults ? std::optional(environment_.policyDefaults()) : std::nullopt));
  if (assetManager_) policyProviders.push_back(AssetPolicyProvider::create(assetManager_));
  velmoraPolicy_ = VelmoraPolicyManager::create(std::move(policyProviders), VelmoraPolicy::builtInDefault());

  analyticsService_ = environment_.analytics ? environment_.analytics : std::make_shared<TelemetraService>();
  std::weak_ptr<AnalyticsService> analytics = analyticsService_;
  ludexFilter_ = std::make_shared<LudexFilter>(
      ludexClient_,
      [analytics](const VelmoraEventData& event, const GameCheckResult& result) {
        if (auto service = analytics.lock()) sendGameDecisionEvent(*service, event, result);
      },
      true, environment_.ludexQueryTimeoutSeconds);

  if (environment_.startMemoryPressureSource) {
    memoryPressureSource_ = environment_.startMemoryPressureSource(
        DispatchQueue::global(QoS::Default),
        platform::weakly(shared_from_this(), [](Nimbrad& self) { self.handleMemoryPressureEvent(); }));
  }

  log().notice("<nimbrad> [INIT] gameFilterEnabled={} knownLauncherFilterEnabled={} policyEnabled={} assetsLoaded={}",
               int(processListDataStore_->enableGameFilter.load()), int(ludexFilter_->enableKnownLauncherFilter()),
               int(velmoraPolicy_->enabled()),
               assetManager_ ? "yes" : "no");
}

// ---------------------------------------------------------------------------
// Services

// One row per service: what the frame needs to know of it, the queue its
// messages run on, and its handler.
struct Nimbrad::ServiceRow {
  Service service;
  XPCServiceDescription description;
  std::shared_ptr<DispatchQueue> Nimbrad::*queue;
  std::function<Value(Nimbrad&, const Value& message, const platform::PeerIdentity& peer)> handler;
  // The answer to a message that arrives while the daemon is being torn down.
  Value replyWithoutDaemon = XPCService::notAvailableReply();
};

const Nimbrad::ServiceRow& Nimbrad::serviceRow(Service service) {
  static const ServiceRow rows[] = {
      {.service = Service::velmoraEvent,
       .description = {.machServiceName = "com.corvane.nimbra.velmora",
                       .entitlements = {"com.corvane.private.nimbra.velmora"},
                       .transactionLabel = "com.corvane.nimbrad.handleVelmoraEvent",
                       .rejectionLogLine = "<nimbrad> XPC VelmoraEvent: sender not entitled",
                       .rejectReason = "Not entitled to send Velmora events"},
       .queue = &Nimbrad::velmoraEventQueue_,
       .handler = [](Nimbrad& daemon, const Value& message,
                     const platform::PeerIdentity&) { return daemon.handleVelmoraEvent(message); },
       .replyWithoutDaemon = resultReply(1)},
      {.service = Service::database,
       .description = {.machServiceName = "com.corvane.nimbra.database",
                       .entitlements = {"com.corvane.private.nimbra.database"},
                       .transactionLabel = "com.corvane.nimbrad.handleCommand",
                       .rejectionLogLine = "<nimbrad> XPC DatabaseRequest: sender is not entitled",
                       .rejectReason = "sender is not entitled",
                       .socketMode = 0600},
       .queue = &Nimbrad::databaseRequestQueue_,
       .handler = &Nimbrad::handleCommand},
      {.service = Service::processReporter,
       .description = {.machServiceName = "com.corvane.nimbra.processreporter",
                       .entitlements = {"com.corvane.private.nimbra.processreporter.access",
                                        "com.corvane.nimbra.processreporter.access"},
                       .transactionLabel = "com.corvane.nimbrad.handleProcessReporterRequest",
                       .rejectionLogLine = "<nimbrad> XPC ProcessReporter: sender is not entitled",
                       .rejectReason = "sender is not entitled"},
       .queue = &Nimbrad::processReporterRequestQueue_,
       .handler = &Nimbrad::handleProcessReporterRequest},
      {.service = Service::unsupportedApps,
       .description = {.machServiceName = "com.corvane.nimbra.daemon.unsupported-apps",
                       .entitlements = {"com.corvane.private.nimbra.daemon.unsupported-apps"},
                       .transactionLabel = "com.corvane.nimbrad.handleDaemonUnsupportedAppsRequest",
                       .rejectionLogLine = "<nimbrad> XPC DaemonUnsupportedApps: sender is not entitled",
                       .rejectReason = "sender is not entitled",
                       .dictionaryMessages = false},
       .queue = &Nimbrad::unsupportedApplicationListRequestQueue_,
       .handler = &Nimbrad::handleDaemonUnsupportedAppsRequest},
      {.service = Service::deprecationWarning,
       .description = {.machServiceName = "com.corvane.nimbra.deprecationwarning",
                       .entitlements = {"com.corvane.private.nimbra.deprecationwarning"},
                       .transactionLabel = "com.corvane.nimbrad.handleDeprecationWarningRequest",
                       .rejectionLogLine = "<nimbrad> XPC DeprecationWarning: sender is not entitled",
                       .rejectReason = "sender is not entitled",
                       .dictionaryMessages = false},
       .queue = &Nimbrad::deprecationWarningRequestQueue_,
       .handler = &Nimbrad::handleDeprecationWarningRequest},
      // Shares the deprecation warning's queue, so the two are handled one at a time.
      {.service = Service::supportedVelmoraUsage,
       .description = {.machServiceName = "com.corvane.nimbra.daemon.supportedvelmorausage",
                       .entitlements = {"com.corvane.private.nimbra.unsupportedapplicationlist"},
                       .transactionLabel = "com.corvane.nimbrad.handleSupportedVelmoraUsageRequest",
                       .rejectionLogLine = "<nimbrad> XPC SupportedVelmoraUsage: sender is not entitled",
                       .rejectReason = "sender is not entitled",
                       .dictionaryMessages = false},
       .queue = &Nimbrad::deprecationWarningRequestQueue_,
       .handler = &Nimbrad::handleSupportedVelmoraUsageRequest},
  };
  for (const auto& row : rows) {
    if (row.service == service) return row;
  }
  std::abort();  // every Service has a row
}

void Nimbrad::listen(Service service) {
  const ServiceRow& row = serviceRow(service);
  auto handler = [weak = weak_from_this(), &row](const Value& message, const platform::PeerIdentity& peer) {
    auto self = weak.lock();
    return self ? row.handler(*self, message, peer) : row.replyWithoutDaemon;
  };
  auto listener = XPCService::listen(row.description, this->*row.queue, std::move(handler), entitlementChecker_);
  if (!listener) {
    log().error("<nimbrad> XPC EventListener: failed to listen for {}: {}", row.description.machServiceName,
                listener.error());
    return;
  }
  listeners_.push_back(std::move(listener).value());
}

void Nimbrad::registerVelmoraEventListener() { listen(Service::velmoraEvent); }
void Nimbrad::registerDatabaseListener() { listen(Service::database); }
void Nimbrad::registerProcessReporterListener() { listen(Service::processReporter); }
void Nimbrad::registerUnsupportedAppsListener() { listen(Service::unsupportedApps); }
void Nimbrad::registerDeprecationWarningListener() { listen(Service::deprecationWarning); }
void Nimbrad::registerSupportedVelmoraUsageListener() { listen(Service::supportedVelmoraUsage); }

namespace {

// The answer of a service whose handler a later part of the daemon provides.
Value notAvailable(const char* serviceLabel) {
  log().error("<nimbrad> XPC {}: handler not available, replying \"not available\"", serviceLabel);
  return XPCService::notAvailableReply();
}

}  // namespace

Value Nimbrad::handleCommand(const Value&, const platform::PeerIdentity&) { return notAvailable("DatabaseRequest"); }

Value Nimbrad::handleProcessReporterRequest(const Value&, const platform::PeerIdentity&) {
  return notAvailable("ProcessReporter");
}

Value Nimbrad::handleDaemonUnsupportedAppsRequest(const Value&, const platform::PeerIdentity&) {
  return notAvailable("DaemonUnsupportedApps");
}

Value Nimbrad::handleDeprecationWarningRequest(const Value&, const platform::PeerIdentity&) {
  return notAvailable("DeprecationWarning");
}

Value Nimbrad::handleSupportedVelmoraUsageRequest(const Value&, const platform::PeerIdentity&) {
  return notAvailable("SupportedVelmoraUsage");
}

struct Nimbrad::FilterTicket {
  explicit FilterTicket(std::weak_ptr<Nimbrad> owner) : daemon(std::move(owner)) {}
  FilterTicket(const FilterTicket&) = delete;
  FilterTicket& operator=(const FilterTicket&) = delete;
  ~FilterTicket() {
    if (auto self = daemon.lock()) self->endFilterCheck();
  }
  std::weak_ptr<Nimbrad> daemon;
};

Value Nimbrad::handleVelmoraEvent(const Value& message) {
  auto decoded = VelmoraEventData::fromMessage(message);
  if (!decoded) {
    log().error("<nimbrad> Failed to extract event data: {}", decoded.error().description());
    return resultReply(1);
  }
  // Files the event names are read with its user's rights, never the daemon's.
  const platform::UserFileReader files(environment_.userIdentity(decoded->uid));
  VelmoraEventData event = enrichUnknownValues(std::move(decoded).value(), environment_.coordinators, files);

  if (!processListDataStore_->enableGameFilter.load()) {
    log().debug("<nimbrad: Ludex> Game filter disabled, processing all apps");
    processEvent(event);
  } else {
    // The filter may continue on a games-library or timer thread; recording
    // goes back to the event queue so that it stays one event at a time.
    // The ticket lives until the event is queued for writing or dropped.
    {
      std::lock_guard lock(pendingWritesMutex_);
      ++eventsInFilter_;
    }
    auto ticket = std::make_shared<FilterTicket>(weak_from_this());
    std::weak_ptr<Nimbrad> weak = weak_from_this();
    ludexFilter_->filter(std::move(event), [weak, ticket](VelmoraEventData kept) {
      auto self = weak.lock();
      if (!self) return;
      if (self->velmoraEventQueue_->isCurrent()) {
        self->processEvent(kept);
      } else {
        self->velmoraEventQueue_->async([weak, ticket, kept = std::move(kept)] {
          if (auto strong = weak.lock()) strong->processEvent(kept);
        });
      }
    });
  }
  return resultReply(0);
}

namespace {

VelmoraEntity processEntity(const VelmoraEventData& e) {
  return {e.processName, e.processPath, e.processBundleID, e.processTeamID, e.processDeveloperName,
          e.processBundleVersion};
}
VelmoraEntity responsibleEntity(const VelmoraEventData& e) {
  return {e.responsibleName, e.responsiblePath, e.responsibleBundleID, e.responsibleTeamID,
          e.responsibleDeveloperName, e.responsibleBundleVersion};
}
VelmoraEntity targetEntity(const VelmoraEventData& e) {
  return {e.targetFilename, e.targetPath, e.targetBundleID, e.targetTeamID, e.targetDeveloperName,
          e.targetBundleVersion};
}

}  // namespace

void Nimbrad::processEvent(const VelmoraEventData& event) {
  const platform::UserFileReader files(environment_.userIdentity(event.uid));
  // Display names, falling back to what the sender reported.
  // The three paths are usually one and the same: each is looked up once.
  std::map<std::string_view, std::optional<std::string>> displayNames;
  auto displayName = [&](const std::string& path) -> const std::optional<std::string>& {
    auto [it, inserted] = displayNames.try_emplace(path);
    if (inserted) it->second = PathParsers::getDisplayNameForPath(path, files);
    return it->second;
  };
  VelmoraEventData named = event;
  named.processName = displayName(event.processPath).value_or(event.processName);
  named.responsibleName = displayName(event.responsiblePath).value_or(event.responsibleName);
  named.targetFilename = displayName(event.targetPath).value_or(event.targetFilename);

  VelmoraReason reason = reasonForLaunch(processEntity(named), responsibleEntity(named), targetEntity(named), files);
  auto bundle = LaunchBundle::containing(event.processPath, files);
  std::string productKey = ProductMappingProviding::productKey(productMappingProvider_.get(), event, bundle, files);
  ProcessDataEntry entry =
      ProcessDataEntry::fromEvent(named, event.eventTimestamp, reason, productKey, *environment_.clock);
  if (auto rule = productMappingProvider_->rule(productKey); rule && rule->displayName) {
    entry.product_display_name = *rule->displayName;
  }
  // A launch whose product is not the bundle it runs in is a component of
  // another product (a mapped product or an embedded helper).
  entry.is_embedded_component =
      productKey != (bundle ? bundle->path : PathParsers::getContainingBundlePath(entry.process_path, files));

  VelmoraPolicy policy = velmoraPolicy_->currentPolicy();
  if (processListDataStore_->shouldExclude(entry, policy)) {
    log().debug("<nimbrad> registerDatabaseEntry: Process excluded, skip adding {}", entry.process_name);
    return;
  }

  scheduleDatabaseEntry(entry);

  auto recordLastEntry = [&] {
    std::lock_guard lock(lastEntryLock_);
    lastProcessHash_ = entry.process_hash;
    lastResponsibleHash_ = entry.responsible_hash;
    lastLaunchTimestamp_ = entry.previously_launched_date;
  };
  if (event.processBundleID == "<unknown>") {
    recordLastEntry();
    return;
  }

  log().debug("<nimbrad> Checking notification trigger for bundleID: {}", event.processBundleID);
  bool shouldNotify;
  {
    std::lock_guard lock(lastEntryLock_);
    shouldNotify = entry.process_hash != lastProcessHash_ || entry.responsible_hash != lastResponsibleHash_ ||
                   entry.previously_launched_date.secondsSince1970 - lastLaunchTimestamp_.secondsSince1970 > 5.0;
  }
  log().debug("<nimbrad> shouldNotify check: {} for {}", int(shouldNotify), event.processBundleID);
  if (shouldNotify) {
    log().debug("<nimbrad> Scheduling notification check for uid: {} in 2 seconds", event.uid);
    userNotificationRequestQueue_->asyncAfterWallClock(
        std::chrono::system_clock::now() + std::chrono::seconds(2),  // a real timer: the real clock
        platform::weakly(shared_from_this(), [event](Nimbrad&) {
          log().debug("<nimbrad> Launch notification check for uid {} ran", event.uid);
        }));
  }
  recordLastEntry();
}

void Nimbrad::registerDatabaseEntry(const ProcessDataEntry& entry) {
  std::int64_t rid = processListDataStore_->getRID(entry);
  log().debug("<nimbrad> registerDatabaseEntry: {} rid: {}", entry.process_name, rid);
  auto written = processListDataStore_->updateEntry(entry, rid < 0 ? 0 : rid, rid < 0);
  if (!written) {
    log().error("<nimbrad> Failed to register database entry: {}", written.error().description());
    log().error("<nimbrad> registerDatabaseEntry [{}] failed to add to ProcessListDataStore", entry.description());
    return;
  }
  if (log().enabled(platform::LogLevel::Debug)) {  // the description is long: built only when logged
    if (*written) {
      log().debug("<nimbrad> registerDatabaseEntry [{}] successfully added to ProcessListDataStore",
                  entry.descriptionLines());
    } else {
      log().debug("<nimbrad> registerDatabaseEntry [{}] successfully updated in ProcessListDataStore",
                  entry.descriptionLines());
    }
  }
  if (rid < 0) sendFallbackDescriptorEvent(*analyticsService_, entry, fallbackDescriptorReason(entry));
}

void Nimbrad::scheduleDatabaseEntry(ProcessDataEntry entry) {
  {
    std::lock_guard lock(pendingWritesMutex_);
    pendingWrites_.push_back(std::move(entry));
    ++unfinishedWrites_;
    if (drainScheduled_) return;
    drainScheduled_ = true;
  }
  // A short wait lets a burst of launches share one drain.
  storeWriteQueue_->asyncAfter(std::chrono::milliseconds(1), platform::weakly(shared_from_this(), [](Nimbrad& self) {
    std::vector<ProcessDataEntry> batch;
    {
      std::lock_guard lock(self.pendingWritesMutex_);
      batch.swap(self.pendingWrites_);
      self.drainScheduled_ = false;
    }
    for (const auto& entry : batch) self.registerDatabaseEntry(entry);
    {
      std::lock_guard lock(self.pendingWritesMutex_);
      self.unfinishedWrites_ -= batch.size();
    }
    self.writesFinished_.notify_all();
  }));
}

void Nimbrad::waitForPendingWrites() const {
  velmoraEventQueue_->sync([] {});
  std::unique_lock lock(pendingWritesMutex_);
  writesFinished_.wait(lock, [this] { return unfinishedWrites_ == 0; });
}

void Nimbrad::endFilterCheck() {
  {
    std::lock_guard lock(pendingWritesMutex_);
    --eventsInFilter_;
  }
  writesFinished_.notify_all();
}

bool Nimbrad::drainIntake(std::chrono::steady_clock::time_point deadline) const {
  // A handler still running on the event queue goes first: its launch may
  // have been answered already, and it queues the write before it returns.
  auto passed = std::make_shared<std::binary_semaphore>(0);
  velmoraEventQueue_->async([passed] { passed->release(); });
  if (!passed->try_acquire_until(deadline)) return false;
  std::unique_lock lock(pendingWritesMutex_);
  return writesFinished_.wait_until(lock, deadline,
                                    [this] { return unfinishedWrites_ == 0 && eventsInFilter_ == 0; });
}

// ---------------------------------------------------------------------------
// Background work: the database sync timer

void Nimbrad::registerBackgroundTasks() { registerDatabaseSyncTimer(); }

void Nimbrad::setupPolicyObservation() {
  std::weak_ptr<Nimbrad> weak = weak_from_this();
  policyObserver_ = velmoraPolicy_->addObserver([weak](const VelmoraPolicy&) {
    if (!weak.lock()) return;
    log().info("<nimbrad> VelmoraPolicyManager configuration changed - updating SystemTaskScheduler");
  });
  log().notice("<nimbrad> Policy change observation setup complete");
}

std::int64_t Nimbrad::databaseSyncInterval() const {
  platform::UserDefaults defaults = environment_.standardDefaults();
  platform::Dictionary values = defaults.dictionaryRepresentation();
  auto found = values.find("dbSyncInterval");
  if (found == values.end()) {
    log().debug("<nimbrad> dbSyncInterval default is: {}", kDefaultDatabaseSyncInterval);
    return kDefaultDatabaseSyncInterval;
  }
  auto interval = platform::UserDefaults::integerFrom(found->second);
  if (!interval || *interval <= 0) {
    // A timer period of zero or less would fire continuously or never.
    log().error("<nimbrad> dbSyncInterval override {} is not a positive number of seconds, using default {}",
                found->second.description(), kDefaultDatabaseSyncInterval);
    return kDefaultDatabaseSyncInterval;
  }
  log().notice("<nimbrad> dbSyncInterval override is: {}", *interval);
  return *interval;
}

void Nimbrad::registerDatabaseSyncTimer() {
  std::int64_t interval = databaseSyncInterval();
  auto timer = std::make_unique<platform::DispatchTimer>(
      dbSyncQueue_, platform::weakly(shared_from_this(), [](Nimbrad& self) {
        log().notice("<nimbrad> Database sync: Starting periodic save to disk");
        self.processListDataStore_->saveToDiskAsync();
        std::lock_guard lock(self.dbSyncMutex_);
        self.dbSyncTimerStartTime_ = self.environment_.clock->uptime();
      }));
  timer->schedule(std::chrono::seconds(interval), std::chrono::seconds(interval));
  {
    std::lock_guard lock(dbSyncMutex_);
    dbSyncTimer_ = std::move(timer);
    dbSyncTimerStartTime_ = environment_.clock->uptime();
  }
  log().notice("<nimbrad> Registered database sync timer (every {} seconds)", interval);
}

std::optional<std::int64_t> Nimbrad::timeUntilNextDatabaseSync() const {
  std::chrono::steady_clock::time_point start;
  {
    std::lock_guard lock(dbSyncMutex_);
    if (!dbSyncTimer_ || !dbSyncTimerStartTime_) return std::nullopt;
    start = *dbSyncTimerStartTime_;
  }
  std::int64_t interval = databaseSyncInterval();
  auto elapsedNanos = std::chrono::duration_cast<std::chrono::nanoseconds>(environment_.clock->uptime() - start);
  std::int64_t elapsed = elapsedNanos.count() / 1'000'000'000;
  std::int64_t remaining = interval - (elapsed % interval);
  return remaining > 0 ? remaining : interval;
}

// ---------------------------------------------------------------------------
// Memory pressure

void Nimbrad::handleMemoryPressureEvent() {
  log().error("<nimbrad> Received low memory warning");
  log().debug("signpost event: nimbrad.memoryWarning");
  DispatchQueue::main()->async(platform::weakly(shared_from_this(), [](Nimbrad& self) {
    log().error("<nimbrad> Setting memoryPressureDetected to true");
    self.setMemoryPressureDetected(true);
  }));
}

void Nimbrad::setMemoryPressureDetected(bool value) {
  memoryPressureQueue_->sync([&] {
    log().debug("<nimbrad> _memoryPressureDetected value set to: {}", int(value));
    memoryPressureDetected_ = value;
    if (!value) return;
    log().notice("<nimbrad> Memory pressure detected, saving database to disk");
    dbSyncQueue_->async(platform::weakly(shared_from_this(), [](Nimbrad& self) {
      auto saved = self.processListDataStore_->saveToDiskWithTimeout(kSaveTimeoutSeconds, false);
      if (!saved) log().error("<nimbrad> Failed to save database during memory pressure: {}", saved.error().description());
    }));
  });
}

bool Nimbrad::memoryPressureDetected() const {
  bool value = false;
  memoryPressureQueue_->sync([&] { value = memoryPressureDetected_; });
  return value;
}

// ---------------------------------------------------------------------------
// Signals and exit

void Nimbrad::saveOnSignal(const char* signalName) {
  log().notice("<nimbrad> Received {}, saving database", signalName);
  auto saved = processListDataStore_->saveToDiskWithTimeout(kSaveTimeoutSeconds, false);
  if (!saved) {
    log().error("<nimbrad> Failed to save database on {}: {}", signalName, saved.error().description());
  } else {
    log().notice("<nimbrad> Database saved successfully on {}", signalName);
  }
}

void Nimbrad::shutDown(const char* signalName) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSaveTimeoutSeconds));
  log().notice("<nimbrad> Received {}, saving database before shutdown", signalName);
  if (shuttingDown_.exchange(true)) {
    log().notice("<nimbrad> Already shutting down; {} changes nothing", signalName);
    return;
  }
  // Launches answered with result 0 may still wait in the game filter or the
  // write queue; a save now would miss them. So: accept nothing more
  // (closing the listeners closes every connection; a request not handled
  // yet gets no reply), let what was accepted reach the store, then save.
  listeners_.clear();
  if (!drainIntake(deadline - kShutdownSaveReserve)) {
    std::size_t waiting;
    {
      std::lock_guard lock(pendingWritesMutex_);
      waiting = eventsInFilter_ + unfinishedWrites_;
    }
    log().error("<nimbrad> {} accepted launches were not written to the store in time and are not saved", waiting);
  }
  double remaining = std::chrono::duration<double>(deadline - Clock::now()).count();
  auto saved = processListDataStore_->saveToDiskWithTimeout(std::max(remaining, 0.0), false);
  if (!saved) {
    log().error("<nimbrad> Failed to save database on {}: {}", signalName, saved.error().description());
    log().error("<nimbrad> Exiting with {} store changes not saved", processListDataStore_->unsavedChangeCount());
  } else {
    log().notice("<nimbrad> Database saved successfully on {}", signalName);
  }
  std::exit(0);
}

void Nimbrad::registerSignalHandlers() {
  struct Entry {
    int signal;
    const char* name;
    bool exits;
  };
  for (const Entry& entry : {Entry{SIGTERM, "SIGTERM", true}, Entry{SIGINT, "SIGINT", true},
                             Entry{SIGHUP, "SIGHUP", false}}) {
    signalSources_.push_back(std::make_unique<platform::SignalSource>(
        entry.signal, DispatchQueue::global(QoS::Default),
        platform::weakly(shared_from_this(), [entry](Nimbrad& self) {
          if (entry.exits) {
            self.shutDown(entry.name);
          } else {
            self.saveOnSignal(entry.name);
          }
        })));
  }
  log().notice("<nimbrad> Registered signal handlers for graceful shutdown");
}

void Nimbrad::finalSave() {
  log().notice("<nimbrad> Process exiting, attempting final database save");
  auto saved = processListDataStore_->saveToDiskWaitingAtMost(kExitSaveLockWait);
  if (!saved) log().error("<nimbrad> Final database save failed: {}", saved.error().description());
}

}  // namespace nimbra
