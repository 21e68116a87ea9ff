#pragma once

// Decides, per asset type, which file is current (Fennix content when Fennix
// has a usable file for it, else the built-in default), keeps the current
// asset of every type, follows Fennix updates and tells observers about every
// stored asset. It never looks inside files: the providers parse them and
// decide whether the content really changed.
//
// Threads: every public operation may be called from any thread. The cache is
// a reader-writer lock (reads shared, stores exclusive); observer callbacks
// run one after the other on the serial queue
// "com.corvane.nimbrad.fennix.assetmanager.observers"; change notifications
// on the default notification center are posted from the global utility
// queue. No lock is held while an observer or a notification runs.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "nimbrad/Asset.h"
#include "nimbrad/AssetProvider.h"
#include "platform/Dispatch.h"
#include "platform/FennixClient.h"
#include "platform/Log.h"

namespace nimbra {

class AssetManager final : public AssetProvider, public std::enable_shared_from_this<AssetManager> {
 public:
  // Makes the Fennix client; nullptr when it cannot be made.
  using ClientFactory = std::function<std::unique_ptr<platform::FennixClient>()>;

  // Loads every type (Fennix first, then the built-in default under
  // `resourcesDirectory`) and registers for Fennix updates. A missing client
  // is not an error: the manager then serves built-in defaults only. A missing
  // built-in default file ends the process (a broken installation).
  static std::shared_ptr<AssetManager> create(const ClientFactory& clientFactory, std::string resourcesDirectory);

  // The daemon's manager: the file store under the state directory and the
  // framework bundle's resources directory. nullptr when the manager cannot
  // be created.
  static std::shared_ptr<AssetManager> create();

  AssetManager(const AssetManager&) = delete;
  AssetManager& operator=(const AssetManager&) = delete;
  ~AssetManager() override;

  // The cached asset of `type`. A type missing from the cache (which the
  // constructor rules out) answers the built-in default without caching it.
  Asset asset(AssetType type) const override;
  Asset builtInDefault(AssetType type) const override;

  AssetObserverToken addObserver(Observer observer) override;
  void removeObserver(AssetObserverToken token) override;

  // Refreshes the client and reloads every type from Fennix; a type without
  // usable Fennix content keeps its cached asset. Every type that loaded is
  // stored (and notified) even when it equals the cached one. Returns false,
  // doing nothing, when there is no Fennix client.
  bool refreshAllAssets();

  // Status of the cached asset of `type`, or of every type in table order when
  // nullopt; types without a cached asset are left out.
  std::vector<AssetStatusInfo> assetStatus(std::optional<AssetType> type = std::nullopt) const;

  bool hasFennixClient() const { return client_ != nullptr; }
  const std::string& resourcesDirectory() const { return resourcesDirectory_; }

 private:
  struct PrivateTag {};

 public:
  AssetManager(PrivateTag, std::string resourcesDirectory);

 private:
  struct ObserverRecord {
    Observer callback;
    AssetObserverToken token;
  };

  // REQUIRES: fennixMutex_ held.
  std::optional<Asset> loadFromFennix(AssetType type);
  Asset load(AssetType type);
  void store(const Asset& asset);
  void handleFennixUpdate(const std::string& namespaceName);
  void logRollout(const Asset& asset) const;
  void registerForUpdates();

  platform::Logger log_{"com.corvane.nimbrad", "AssetManager"};
  std::string resourcesDirectory_;

  std::unique_ptr<platform::FennixClient> client_;
  // Serialises the refresh-lookup-store sequences, so that one load reads one
  // consistent client snapshot and stores happen in the order of the loads.
  // Lock order: fennixMutex_, then cacheMutex_. Never held while an observer
  // or a notification runs (stores only queue those).
  std::mutex fennixMutex_;
  // Written during construction only, then read by the destructor.
  std::map<std::string, platform::FennixUpdateToken> notificationTokens_;

  mutable std::shared_mutex cacheMutex_;
  std::map<AssetType, Asset> assetCache_;       // GUARDED_BY(cacheMutex_)
  bool shouldPostChangedNotification_ = false;  // GUARDED_BY(cacheMutex_)

  // Touched only by blocks running on observerQueue_.
  std::vector<ObserverRecord> assetObservers_;
  std::shared_ptr<platform::DispatchQueue> observerQueue_;
  std::atomic<std::uint64_t> nextObserverToken_{1};
};

}  // namespace nimbra
