#pragma once

// The generic base of the providers that turn one asset into typed data D
// (exclusion rules, product mappings, the native app list). It keeps the
// current data, reloads it when the asset manager stores a new asset of its
// type or when its Darwin notification is posted, and posts its own change
// notification when the data changed (as its ChangeNotificationStrategy
// decides). A subclass contributes its configuration and loadFromAsset().
//
// Construction is two-phase because loading calls the subclass's virtual
// loadFromAsset() and the callbacks must hold the provider weakly: a
// subclass exposes a factory that calls make<T>(...), which constructs and
// then start()s the provider.
//
// At start, Fennix content that is unusable gives way to the built-in
// default of the same asset, as a running provider keeps its previous data:
// the rules in force never depend on whether the daemon restarted.
//
// Threads: currentData()/currentAsset() may be called from any thread
// (shared lock; the swap takes it exclusively). Reloads run on the asset
// manager's observer queue or the Darwin notify center's queue, one at a
// time and in the order they began, so that a slow reload of an older asset
// never replaces the data of a newer one; the change notification is posted
// on the thread that ran the reload, still in that order, and observer
// handlers run there (they must not wait for another reload of the same
// provider). The data lock is never held while loadFromAsset(), an observer
// or a notification runs.

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "nimbrad/Asset.h"
#include "nimbrad/AssetProvider.h"
#include "nimbrad/ChangeNotificationStrategy.h"
#include "nimbrad/DarwinNotificationObserver.h"
#include "platform/Expected.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

namespace nimbra {

namespace asset_backed_provider {
// The non-template steps, shared by every instantiation.
void logAssetSource(const platform::Logger& logger, const Asset& asset);
[[noreturn]] void missingLoadFromAsset();
}  // namespace asset_backed_provider

template <typename D>
class AssetBackedProvider : public std::enable_shared_from_this<AssetBackedProvider<D>> {
 public:
  using Data = D;
  // What loadFromAsset() yields: the data, or why the content is unusable
  // (a short text, for the log).
  using LoadResult = platform::Expected<D, std::string>;
  // Receives the data before the change (nullopt if the notification carried
  // none) and after it.
  using DataHandler = std::function<void(const std::optional<D>& oldData, const D& newData)>;

  struct Configuration {
    AssetType assetType;
    D fallbackData;
    // Logger category, the subclass's name.
    std::string loggerCategory;
    // Label of the lock that guards the data, for diagnostics.
    std::string queueLabel;
    // The provider's own change notification on the default notification center.
    std::string notificationName;
    // Posting this Darwin notification makes the provider reload; nullopt: none.
    std::optional<std::string> darwinNotificationName;
    ChangeNotificationStrategy changeNotificationStrategy = ChangeNotificationStrategy::onDataChange;
  };

  AssetBackedProvider(const AssetBackedProvider&) = delete;
  AssetBackedProvider& operator=(const AssetBackedProvider&) = delete;

  virtual ~AssetBackedProvider() {
    if (assetObserver_ && assetProvider_) assetProvider_->removeObserver(*assetObserver_);
    if (darwinObserver_) darwinObserver_->stopObserving();
  }

  // The current data: the fallback until a load succeeded.
  D currentData() const {
    std::shared_lock lock(dataMutex_);
    return *cachedData_;
  }

  // The current data without copying it; stays valid (and unchanged) however
  // long the caller keeps it.
  std::shared_ptr<const D> currentDataSnapshot() const {
    std::shared_lock lock(dataMutex_);
    return cachedData_;
  }

  // The asset the current data was loaded from; nullopt until a load succeeded.
  std::optional<Asset> currentAsset() const {
    std::shared_lock lock(dataMutex_);
    return currentAsset_;
  }

  // Calls `handler` after each change of the data, on the thread that ran the
  // reload. Returns nullopt when the provider has no asset provider (its data
  // can then never change). Remove the token with removeObserver().
  std::optional<platform::ObserverToken> addObserver(DataHandler handler) {
    if (!assetProvider_) return std::nullopt;
    std::string name(displayName(assetType_));
    logger_.debug("{}.addObserver()", name);
    return platform::NotificationCenter::defaultCenter().addObserver(
        notificationName_, this,
        [logger = logger_, name, handler = std::move(handler)](const platform::Notification& notification) {
          logger.debug("{} changed, calling handler for observer", name);
          const D* newData = nullptr;
          if (auto it = notification.userInfo.find("newData"); it != notification.userInfo.end()) {
            newData = std::any_cast<D>(&it->second);
          }
          if (newData == nullptr) {
            logger.error("Missing newData in notification userInfo");
            return;
          }
          std::optional<D> oldData;
          if (auto it = notification.userInfo.find("oldData"); it != notification.userInfo.end()) {
            if (const D* old = std::any_cast<D>(&it->second)) oldData = *old;
          }
          handler(oldData, *newData);
        });
  }

  void removeObserver(platform::ObserverToken token) {
    logger_.debug("{}.removeObserver()", displayName(assetType_));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
  }

  AssetType assetType() const { return assetType_; }
  const std::string& notificationName() const { return notificationName_; }
  const std::optional<std::string>& darwinNotificationName() const { return darwinNotificationName_; }
  ChangeNotificationStrategy changeNotificationStrategy() const { return changeNotificationStrategy_; }
  const std::string& queueLabel() const { return queueLabel_; }
  bool hasAssetProvider() const { return assetProvider_ != nullptr; }

 protected:
  // `assetProvider` may be null: the provider then serves its fallback for ever.
  AssetBackedProvider(std::shared_ptr<AssetProvider> assetProvider, Configuration configuration)
      : assetProvider_(std::move(assetProvider)),
        assetType_(configuration.assetType),
        fallbackData_(std::make_shared<const D>(std::move(configuration.fallbackData))),
        logger_("com.corvane.nimbrad", std::move(configuration.loggerCategory)),
        notificationName_(std::move(configuration.notificationName)),
        darwinNotificationName_(std::move(configuration.darwinNotificationName)),
        changeNotificationStrategy_(configuration.changeNotificationStrategy),
        queueLabel_(std::move(configuration.queueLabel)),
        cachedData_(fallbackData_) {}

  // Constructs T and runs the second phase of construction.
  template <typename T, typename... Args>
  static std::shared_ptr<T> make(Args&&... args) {
    auto provider = std::make_shared<T>(std::forward<Args>(args)...);
    static_cast<AssetBackedProvider<D>&>(*provider).start();
    return provider;
  }

  // Parses `asset` into data; an error (the reason) means the content is
  // unusable and the current data stays. Subclasses must override it; the
  // base ends the process, since a provider that cannot parse is a
  // programming error.
  virtual LoadResult loadFromAsset(const Asset& asset) {
    (void)asset;
    asset_backed_provider::missingLoadFromAsset();
  }

  const platform::Logger& logger() const { return logger_; }

 private:
  // Second phase: the first load and the two registrations. Only with an
  // asset provider. No callback can run yet, so no reload lock is needed.
  void start() {
    if (!assetProvider_) return;
    Asset asset = assetProvider_->asset(assetType_);
    auto data = loadData(asset);
    if (!data && !asset.isBuiltInDefault()) {
      // There is no earlier data to keep: without this the fallback (no
      // rules at all) would apply until the next change.
      logger_.error("Failed to load {} from {} ({}); using the bundled default instead", displayName(assetType_),
                    asset.fileURL, data.error());
      data = loadData(assetProvider_->builtInDefault(assetType_));
    }
    if (data) {
      std::unique_lock lock(dataMutex_);
      cachedData_ = std::make_shared<const D>(std::move(data).value());
    }
    std::weak_ptr<AssetBackedProvider<D>> weak = this->weak_from_this();
    assetObserver_ = assetProvider_->addObserver([weak](const Asset& newAsset, const std::optional<Asset>&) {
      if (auto self = weak.lock()) self->handleAssetChange(newAsset);
    });
    if (darwinNotificationName_) {
      darwinObserver_ = std::make_unique<DarwinNotificationObserver>(*darwinNotificationName_, [weak] {
        if (auto self = weak.lock()) self->handleDarwinNotification();
      });
      darwinObserver_->startObserving();
    }
  }

  // Loads `asset` and, when it is usable, records it as the current asset.
  LoadResult loadData(const Asset& asset) {
    asset_backed_provider::logAssetSource(logger_, asset);
    auto data = loadFromAsset(asset);
    // Recorded only with its data, so that currentAsset() always names the
    // file the current data came from, never a rejected one.
    if (data) {
      std::unique_lock lock(dataMutex_);
      currentAsset_ = asset;
    }
    return data;
  }

  void handleAssetChange(const Asset& newAsset) {
    if (newAsset.type != assetType_) return;
    std::string name(displayName(assetType_));
    logger_.debug("{} changed via AssetProvider", name);
    // Waits for a reload under way, which may have read an older asset.
    std::lock_guard reload(reloadMutex_);
    auto data = loadData(newAsset);
    if (!data) {
      logger_.error("Failed to load new {}, keeping existing data", name);
      return;
    }
    auto previous = swap(*data);
    if (!previous) {
      logger_.debug("{} unchanged. No observers notified", name);
      return;
    }
    logger_.debug("Notifying observers {} {} changed, notifying observers",
                  changeNotificationStrategyText(changeNotificationStrategy_), name);
    postChange(**previous, std::move(data).value());
  }

  void handleDarwinNotification() {
    // Taken before the current asset is read: a reload that read an older
    // asset finishes before a store of a newer one is applied.
    std::lock_guard reload(reloadMutex_);
    std::string name(displayName(assetType_));
    logger_.debug("Checking for {} changes", name);
    auto data = loadData(assetProvider_->asset(assetType_));
    if (!data) {
      logger_.error("Failed to reload {} from Darwin notification, keeping existing data", name);
      return;
    }
    auto previous = swap(*data);
    if (!previous) {
      logger_.debug("{} refresh completed - no changes detected", name);
      return;
    }
    logger_.debug("{} changed, notifying observers", name);
    postChange(**previous, std::move(data).value());
  }

  // Replaces the data (whatever the strategy). Returns the replaced data when
  // the strategy says the observers must hear of it, nullopt otherwise.
  std::optional<std::shared_ptr<const D>> swap(const D& data) {
    auto replacement = std::make_shared<const D>(data);
    std::shared_ptr<const D> previous;
    {
      std::unique_lock lock(dataMutex_);
      previous = std::move(cachedData_);
      cachedData_ = std::move(replacement);
    }
    bool changed = false;
    switch (changeNotificationStrategy_) {
      case ChangeNotificationStrategy::always: changed = true; break;
      case ChangeNotificationStrategy::never: changed = false; break;
      case ChangeNotificationStrategy::onDataChange: changed = !(*previous == data); break;
    }
    if (!changed) return std::nullopt;
    return previous;
  }

  void postChange(const D& oldData, D newData) {
    platform::NotificationCenter::defaultCenter().post(notificationName_, this,
                                                       {{"oldData", oldData}, {"newData", std::move(newData)}});
  }

  const std::shared_ptr<AssetProvider> assetProvider_;
  const AssetType assetType_;
  const std::shared_ptr<const D> fallbackData_;
  const platform::Logger logger_;
  const std::string notificationName_;
  const std::optional<std::string> darwinNotificationName_;
  const ChangeNotificationStrategy changeNotificationStrategy_;
  const std::string queueLabel_;

  // Serialises reloads (read, parse, swap, post), so they apply in the order
  // they began. Lock order: reloadMutex_, then dataMutex_.
  std::mutex reloadMutex_;
  // Guards the data: shared for reads, exclusive for swaps. It stands for the
  // provider's concurrent queue (labelled queueLabel), a reader-writer lock here.
  mutable std::shared_mutex dataMutex_;
  std::shared_ptr<const D> cachedData_;  // GUARDED_BY(dataMutex_)
  std::optional<Asset> currentAsset_;    // GUARDED_BY(dataMutex_)

  // Set in start(), before any callback can run; then only read.
  std::optional<AssetObserverToken> assetObserver_;
  std::unique_ptr<DarwinNotificationObserver> darwinObserver_;
};

}  // namespace nimbra
