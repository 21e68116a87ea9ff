#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "nimbrad/AssetProvider.h"

namespace nimbra::test {

// An asset provider whose assets tests set and whose observers they call
// directly, on the calling thread. Thread-safe.
class FakeAssetProvider final : public AssetProvider {
 public:
  void setAsset(const Asset& asset) {
    std::lock_guard lock(mutex_);
    assets_[asset.type] = asset;
  }

  // Sets the asset and calls every observer with it, as the manager's store does.
  void store(const Asset& asset) {
    std::optional<Asset> previous;
    std::vector<Observer> observers;
    {
      std::lock_guard lock(mutex_);
      if (auto it = assets_.find(asset.type); it != assets_.end()) previous = it->second;
      assets_[asset.type] = asset;
      for (const auto& [id, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) observer(asset, previous);
  }

  Asset asset(AssetType type) const override {
    std::lock_guard lock(mutex_);
    return assets_.at(type);
  }

  // What builtInDefault() answers for `asset.type`; a type without one throws.
  void setBuiltInDefault(const Asset& asset) {
    std::lock_guard lock(mutex_);
    builtInDefaults_[asset.type] = asset;
  }

  Asset builtInDefault(AssetType type) const override {
    std::lock_guard lock(mutex_);
    return builtInDefaults_.at(type);
  }

  AssetObserverToken addObserver(Observer observer) override {
    std::lock_guard lock(mutex_);
    AssetObserverToken token{nextToken_++};
    observers_.emplace(token.id, std::move(observer));
    return token;
  }

  void removeObserver(AssetObserverToken token) override {
    std::lock_guard lock(mutex_);
    observers_.erase(token.id);
    ++removals_;
  }

  std::size_t observerCount() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
  }
  std::size_t removals() const {
    std::lock_guard lock(mutex_);
    return removals_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<AssetType, Asset> assets_;                  // GUARDED_BY(mutex_)
  std::map<AssetType, Asset> builtInDefaults_;         // GUARDED_BY(mutex_)
  std::map<std::uint64_t, Observer> observers_;        // GUARDED_BY(mutex_)
  std::uint64_t nextToken_ = 1;                        // GUARDED_BY(mutex_)
  std::size_t removals_ = 0;                           // GUARDED_BY(mutex_)
};

}  // namespace nimbra::test
