#pragma once

// The policy delivered as the PUMPKIN asset (type velmoraNotificationPolicy):
// Fennix content when the asset manager has some, else the built-in default.
// Bad Fennix content is logged and the last policy read successfully stays
// (nothing, before the first one); a bad built-in default is a broken
// installation and ends the process.
//
// Threads: loadPolicy() and the observer operations may be called from any
// thread; the did-change notification is posted on the asset manager's
// observer queue.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "nimbrad/AssetProvider.h"
#include "nimbrad/VelmoraPolicyProvider.h"
#include "platform/Log.h"

namespace nimbra {

class AssetPolicyProvider final : public VelmoraPolicyProvider,
                                  public std::enable_shared_from_this<AssetPolicyProvider> {
 public:
  static constexpr const char* kDidChangeNotificationName = "com.corvane.nimbra.AssetPolicyProvider.didChange";

  // Registers with `assetProvider` (not null) for changes of the policy asset.
  static std::shared_ptr<AssetPolicyProvider> create(std::shared_ptr<AssetProvider> assetProvider);

  AssetPolicyProvider(const AssetPolicyProvider&) = delete;
  AssetPolicyProvider& operator=(const AssetPolicyProvider&) = delete;
  ~AssetPolicyProvider() override;

  VelmoraPartialPolicy loadPolicy() override;
  std::optional<platform::ObserverToken> addObserver(ChangeHandler handler) override;
  void removeObserver(platform::ObserverToken token) override;
  std::string description() const override;

 private:
  struct PrivateTag {};

 public:
  AssetPolicyProvider(PrivateTag, std::shared_ptr<AssetProvider> assetProvider);

 private:
  const platform::Logger log_{"com.corvane.nimbra", "VelmoraPolicy"};
  const std::shared_ptr<AssetProvider> assetProvider_;
  // Set once in create(), before any callback can run.
  std::optional<AssetObserverToken> assetObserver_;

  // Serialises loads, so that the last known good policy is the one read last.
  std::mutex loadMutex_;
  std::string lastKnownDeploymentID_;                    // GUARDED_BY(loadMutex_)
  std::optional<VelmoraPartialPolicy> lastGoodPolicy_;  // GUARDED_BY(loadMutex_)
};

}  // namespace nimbra
