#include "nimbrad/AssetPolicyProvider.h"

namespace nimbra {

AssetPolicyProvider::AssetPolicyProvider(PrivateTag, std::shared_ptr<AssetProvider> assetProvider)
    : assetProvider_(std::move(assetProvider)) {}

std::shared_ptr<AssetPolicyProvider> AssetPolicyProvider::create(std::shared_ptr<AssetProvider> assetProvider) {
  auto provider = std::make_shared<AssetPolicyProvider>(PrivateTag{}, std::move(assetProvider));
  std::weak_ptr<AssetPolicyProvider> weak = provider;
  provider->assetObserver_ =
      provider->assetProvider_->addObserver([weak](const Asset& newAsset, const std::optional<Asset>&) {
        if (newAsset.type != AssetType::velmoraNotificationPolicy) return;
        auto self = weak.lock();
        if (!self) return;
        self->log_.debug("AssetPolicy changed via AssetProvider");
        platform::NotificationCenter::defaultCenter().post(kDidChangeNotificationName, self.get());
      });
  return provider;
}

AssetPolicyProvider::~AssetPolicyProvider() {
  if (assetObserver_) assetProvider_->removeObserver(*assetObserver_);
}

VelmoraPartialPolicy AssetPolicyProvider::loadPolicy() {
  // Held over the file read too: it is our own file access, no callback runs under it.
  std::lock_guard lock(loadMutex_);
  Asset asset = assetProvider_->asset(AssetType::velmoraNotificationPolicy);
  const auto& deployment = asset.deployment;
  std::string deploymentID;
  switch (deployment.kind()) {
    case DeploymentType::Kind::rollout:
      log_.info("Loaded policy from Fennix rollout (rollout:{} deployment:{} factorPack:{})", deployment.primaryID(),
                deployment.deploymentID(), deployment.secondaryID());
      deploymentID = deployment.deploymentID();
      break;
    case DeploymentType::Kind::experiment:
      log_.info("Loaded policy from Fennix experiment (experiment:{} deployment:{} treatment:{})",
                deployment.primaryID(), deployment.deploymentID(), deployment.secondaryID());
      deploymentID = deployment.deploymentID();
      break;
    case DeploymentType::Kind::defaultFactors:
      log_.info("Loaded policy from bundled default factors");
      deploymentID = "defaultFactors";
      break;
  }
  if (lastKnownDeploymentID_.empty()) {
    log_.info("Initial policy deploymentID: {}", deploymentID);
  } else if (lastKnownDeploymentID_ != deploymentID) {
    log_.info("Policy deploymentID changed: {} -> {}", lastKnownDeploymentID_, deploymentID);
  } else {
    log_.info("Policy deploymentID unchanged: {}", deploymentID);
  }
  lastKnownDeploymentID_ = deploymentID;

  // Decided by where the file came from, not by the deployment kind: Fennix
  // content without a rollout or experiment is still Fennix content and must
  // never stop the daemon.
  bool builtIn = asset.isBuiltInDefault();
  auto dictionary = asset.readDictionary();
  if (!dictionary) {
    if (builtIn) {
      log_.fault("Bundled default corrupt for velmora policy");
      platform::fatalError("Corrupt bundled default: velmoraNotificationPolicy", "nimbrad/AssetPolicyProvider");
    }
    // A broken update, or a file removed behind the cached asset, must not
    // undo a policy that was rolled out: the last good one stays.
    if (lastGoodPolicy_) {
      log_.error("Failed to parse velmora policy from Fennix, keeping last known good policy");
      return *lastGoodPolicy_;
    }
    log_.error("Failed to parse velmora policy from Fennix, returning empty policy");
    return {};
  }
  auto policy = makePartialPolicy(*dictionary);
  if (!policy) {
    if (builtIn) {
      log_.fault("Bundled default has invalid policy values");
      platform::fatalError("Invalid bundled default policy values", "nimbrad/AssetPolicyProvider");
    }
    log_.error("Failed to create policy from invalid asset data");
    if (lastGoodPolicy_) {
      log_.info("Keeping last known good velmora policy");
      return *lastGoodPolicy_;
    }
    return {};
  }
  lastGoodPolicy_ = *policy;
  return *policy;
}

std::optional<platform::ObserverToken> AssetPolicyProvider::addObserver(ChangeHandler handler) {
  log_.debug("AssetPolicy.addObserver()");
  return platform::NotificationCenter::defaultCenter().addObserver(
      kDidChangeNotificationName, this,
      [log = log_, handler = std::move(handler)](const platform::Notification& notification) {
        log.debug("AssetPolicy changed, calling handler for observer");
        handler(notification);
      });
}

void AssetPolicyProvider::removeObserver(platform::ObserverToken token) {
  log_.debug("AssetPolicy.removeObserver()");
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

std::string AssetPolicyProvider::description() const { return "AssetPolicyProvider(asset: velmoraNotificationPolicy)"; }

}  // namespace nimbra
