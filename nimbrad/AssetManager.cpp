#include "nimbrad/AssetManager.h"

#include <sys/stat.h>

#include "platform/Directories.h"
#include "platform/NotificationCenter.h"

namespace nimbra {

namespace {

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

AssetManager::AssetManager(PrivateTag, std::string resourcesDirectory)
    : resourcesDirectory_(std::move(resourcesDirectory)),
      observerQueue_(platform::DispatchQueue::makeSerial("com.corvane.nimbrad.fennix.assetmanager.observers",
                                                         platform::QoS::Utility)) {}

std::shared_ptr<AssetManager> AssetManager::create(const ClientFactory& clientFactory, std::string resourcesDirectory) {
  auto manager = std::make_shared<AssetManager>(PrivateTag{}, std::move(resourcesDirectory));
  manager->client_ = clientFactory ? clientFactory() : nullptr;
  if (manager->client_) {
    manager->log_.info("[AssetManager] FNXClient initialized");
  } else {
    manager->log_.error("[AssetManager] FNXClient initialization failed - will use bundled defaults only");
  }
  for (AssetType type : kAllAssetTypes) {
    Asset asset = manager->load(type);
    manager->store(asset);
    manager->log_.info("[AssetManager] Initialized: {}", asset.description());
  }
  manager->registerForUpdates();
  {
    std::unique_lock lock(manager->cacheMutex_);
    manager->shouldPostChangedNotification_ = true;
  }
  return manager;
}

std::shared_ptr<AssetManager> AssetManager::create() {
  auto factory = []() -> std::unique_ptr<platform::FennixClient> {
    auto client = platform::FennixClient::openFileStore(platform::FennixStore::defaultDirectory());
    if (!client) {
      platform::Logger("com.corvane.nimbrad", "AssetManager").error("[AssetManager] {}", client.error());
      return nullptr;
    }
    return std::move(client).value();
  };
  return create(factory, platform::directories::resources());
}

AssetManager::~AssetManager() {
  if (!client_) return;
  for (const auto& [name, token] : notificationTokens_) client_->removeUpdateHandler(token);
}

void AssetManager::registerForUpdates() {
  if (!client_) {
    log_.error("[AssetManager] Cannot register for updates: client not initialized");
    return;
  }
  std::weak_ptr<AssetManager> weak = weak_from_this();
  for (AssetType type : kAllAssetTypes) {
    std::string namespaceName(fennixNamespace(type));
    auto token = client_->addUpdateHandler(namespaceName, platform::DispatchQueue::global(platform::QoS::Default),
                                           [weak](const std::string& name) {
                                             platform::Logger("com.corvane.nimbrad", "AssetManager")
                                                 .info("[AssetManager] Received Fennix update for namespace: {}", name);
                                             if (auto manager = weak.lock()) manager->handleFennixUpdate(name);
                                           });
    notificationTokens_[namespaceName] = token;
    log_.info("[AssetManager] Registered for updates on namespace: {}", namespaceName);
  }
}

std::optional<Asset> AssetManager::loadFromFennix(AssetType type) {
  if (!client_) {
    log_.error("[AssetManager] Fennix client not initialized");
    return std::nullopt;
  }
  std::string_view name = displayName(type);
  std::string_view ns = fennixNamespace(type);
  std::string_view factor = fennixFactor(type);
  log_.debug("[AssetManager] Refreshing client for: {}", name);
  client_->refresh();

  // A rollout wins over an experiment of the same namespace.
  DeploymentType deployment;
  if (auto rollout = client_->rolloutIdentifiers(ns)) {
    deployment = DeploymentType::rollout(rollout->rolloutId, std::to_string(rollout->deploymentId),
                                         rollout->factorPackId);
    log_.debug("[AssetManager] Active rollout for {}: RolloutID={}, DeploymentID={}, FactorPackID={}", name,
               deployment.primaryID(), deployment.deploymentID(), deployment.secondaryID());
  } else if (auto experiment = client_->experimentIdentifiers(ns)) {
    deployment = DeploymentType::experiment(experiment->experimentId, std::to_string(experiment->deploymentId),
                                            experiment->treatmentId);
    log_.debug("[AssetManager] Active experiment for {}: ExperimentID={}, DeploymentID={}, TreatmentID={}", name,
               deployment.primaryID(), deployment.deploymentID(), deployment.secondaryID());
  } else {
    log_.debug("[AssetManager] No active rollout/experiment for {} (using defaults)", name);
  }

  auto level = client_->levelForFactor(factor, ns);
  if (!level) {
    log_.debug("[AssetManager] No level found for factor: {}", factor);
    return std::nullopt;
  }
  if (!level->fileValue) {
    log_.debug("[AssetManager] No file value for factor: {}", factor);
    return std::nullopt;
  }
  if (!level->fileValue->path) {
    log_.debug("[AssetManager] No file path for factor: {}", factor);
    return std::nullopt;
  }
  const std::string& path = *level->fileValue->path;
  if (!fileExists(path)) {
    log_.debug("[AssetManager] File does not exist at path: {}", path);
    return std::nullopt;
  }
  log_.debug("[AssetManager] Successfully loaded from Fennix: {}", path);
  return Asset{.type = type, .fileURL = path, .deployment = deployment, .source = Asset::Source::fennix};
}

Asset AssetManager::load(AssetType type) {
  std::lock_guard lock(fennixMutex_);
  if (auto asset = loadFromFennix(type)) return *asset;
  log_.info("[AssetManager] Using bundled default for: {}", displayName(type));
  Asset asset = builtInDefault(type);
  log_.info("[AssetManager] Loaded bundled default: {}", asset.fileURL);
  return asset;
}

void AssetManager::store(const Asset& asset) {
  std::unique_lock lock(cacheMutex_);
  std::optional<Asset> previous;
  if (auto it = assetCache_.find(asset.type); it != assetCache_.end()) previous = it->second;
  assetCache_[asset.type] = asset;
  if (!shouldPostChangedNotification_) return;
  // Queued while the cache is still locked, so that observers see stores in
  // the order the cache took them; they run only after the lock is released.
  std::weak_ptr<AssetManager> weak = weak_from_this();
  platform::DispatchQueue::global(platform::QoS::Utility)->async([weak, asset, previous] {
    auto manager = weak.lock();
    if (!manager) return;
    manager->log_.debug("[AssetManager] posting change notification for {}", asset.description());
    platform::UserInfo userInfo{{"newAsset", asset}};
    if (previous) userInfo.emplace("oldAsset", *previous);
    platform::NotificationCenter::defaultCenter().post(changeNotificationName(asset.type), manager.get(),
                                                       std::move(userInfo));
  });
  observerQueue_->async([weak, asset, previous] {
    auto manager = weak.lock();
    if (!manager) return;
    // A callback may add or remove observers; walk a copy.
    auto observers = manager->assetObservers_;
    for (const auto& record : observers) record.callback(asset, previous);
  });
}

Asset AssetManager::asset(AssetType type) const {
  {
    std::shared_lock lock(cacheMutex_);
    if (auto it = assetCache_.find(type); it != assetCache_.end()) return it->second;
  }
  log_.fault("[AssetManager] CRITICAL: Asset not in cache: {}", displayName(type));
  Asset fallback = builtInDefault(type);
  log_.info("[AssetManager] Loaded bundled default: {}", fallback.fileURL);
  return fallback;
}

Asset AssetManager::builtInDefault(AssetType type) const { return Asset::builtInDefault(type, resourcesDirectory_); }

AssetObserverToken AssetManager::addObserver(Observer observer) {
  AssetObserverToken token{nextObserverToken_.fetch_add(1)};
  observerQueue_->sync([&] { assetObservers_.push_back(ObserverRecord{std::move(observer), token}); });
  return token;
}

void AssetManager::removeObserver(AssetObserverToken token) {
  observerQueue_->async(platform::weakly(shared_from_this(), [token](AssetManager& manager) {
    std::erase_if(manager.assetObservers_, [&](const ObserverRecord& record) { return record.token == token; });
  }));
}

void AssetManager::handleFennixUpdate(const std::string& namespaceName) {
  for (AssetType type : kAllAssetTypes) {
    if (fennixNamespace(type) != namespaceName) continue;
    // Load and store as one step: otherwise an update that loaded an older
    // state could store it over a newer one stored meanwhile.
    std::lock_guard lock(fennixMutex_);
    auto asset = loadFromFennix(type);
    if (!asset) {
      log_.error("[AssetManager] Fennix update failed validation for {}, keeping last known good version",
                 displayName(type));
      continue;
    }
    store(*asset);
    log_.info("[AssetManager] Updated asset: {}", asset->description());
    logRollout(*asset);
  }
}

bool AssetManager::refreshAllAssets() {
  if (!client_) {
    log_.error("[AssetManager] Cannot refresh: Fennix client not initialized");
    return false;
  }
  log_.info("[AssetManager] Manually refreshing all assets from Fennix");
  std::lock_guard lock(fennixMutex_);
  client_->refresh();
  for (AssetType type : kAllAssetTypes) {
    auto asset = loadFromFennix(type);
    if (!asset) {
      log_.debug("[AssetManager] No Fennix update for: {}", displayName(type));
      continue;
    }
    store(*asset);
    log_.info("[AssetManager] Refreshed asset: {}", asset->description());
    logRollout(*asset);
  }
  return true;
}

void AssetManager::logRollout(const Asset& asset) const {
  platform::Logger::defaultLog().notice("<nimbrad> [ROLLOUT] assetType={} deployment={}", rawValue(asset.type),
                                        asset.deployment.rolloutSummary());
}

std::vector<AssetStatusInfo> AssetManager::assetStatus(std::optional<AssetType> type) const {
  std::vector<Asset> assets;
  {
    std::shared_lock lock(cacheMutex_);
    for (AssetType candidate : kAllAssetTypes) {
      if (type && *type != candidate) continue;
      if (auto it = assetCache_.find(candidate); it != assetCache_.end()) assets.push_back(it->second);
    }
  }
  // File sizes are read without the lock: stat may be slow on a busy disk.
  std::vector<AssetStatusInfo> statuses;
  statuses.reserve(assets.size());
  for (const auto& asset : assets) statuses.push_back(AssetStatusInfo::of(asset));
  return statuses;
}

}  // namespace nimbra
