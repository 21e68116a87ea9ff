#include "nimbrad/AssetBackedProvider.h"

namespace nimbra::asset_backed_provider {

void logAssetSource(const platform::Logger& logger, const Asset& asset) {
  const auto& deployment = asset.deployment;
  std::string_view name = displayName(asset.type);
  switch (deployment.kind()) {
    case DeploymentType::Kind::experiment:
      logger.info("Loaded {} from Fennix experiment (experiment:{} deployment:{} treatment:{})", name,
                  deployment.primaryID(), deployment.deploymentID(), deployment.secondaryID());
      break;
    case DeploymentType::Kind::rollout:
      logger.info("Loaded {} from Fennix rollout (rollout:{} deployment:{} factorPack:{})", name,
                  deployment.primaryID(), deployment.deploymentID(), deployment.secondaryID());
      break;
    case DeploymentType::Kind::defaultFactors:
      logger.info("Loaded {} from bundled default factors", name);
      break;
  }
}

void missingLoadFromAsset() {
  platform::fatalError("Subclasses must override loadFromAsset(_:)", "nimbrad/AssetBackedProvider");
}

}  // namespace nimbra::asset_backed_provider
