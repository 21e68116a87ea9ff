#include "nimbrad/Asset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileProbe.h"
#include "platform/Expected.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

namespace nimbra {

namespace {

// Far above any real asset; bounds what a hostile file can make us allocate.
constexpr std::size_t kMaxAssetBytes = 16 * 1024 * 1024;

platform::Expected<std::string, std::string> readRegularFile(const std::string& path) {
  auto bytes = platform::files::read(path, kMaxAssetBytes);
  if (!bytes) return platform::unexpected(bytes.error().message);
  return std::move(bytes).value();
}

}  // namespace

DeploymentType DeploymentType::rollout(std::string rolloutID, std::string deploymentID, std::string factorPackID) {
  return DeploymentType(Kind::rollout, std::move(rolloutID), std::move(deploymentID), std::move(factorPackID));
}

DeploymentType DeploymentType::experiment(std::string experimentID, std::string deploymentID,
                                          std::string treatmentID) {
  return DeploymentType(Kind::experiment, std::move(experimentID), std::move(deploymentID), std::move(treatmentID));
}

std::string DeploymentType::kindText() const {
  switch (kind_) {
    case Kind::rollout: return "rollout";
    case Kind::experiment: return "experiment";
    case Kind::defaultFactors: return "defaultFactors";
  }
  return "defaultFactors";
}

std::string DeploymentType::description() const {
  switch (kind_) {
    case Kind::rollout:
      return fmt::format("rollout(rolloutID={}, deploymentID={}, factorPackID={})", primaryID_, deploymentID_,
                         secondaryID_);
    case Kind::experiment:
      return fmt::format("experiment(experimentID={}, deploymentID={}, treatmentID={})", primaryID_, deploymentID_,
                         secondaryID_);
    case Kind::defaultFactors: return "defaultFactors";
  }
  return "defaultFactors";
}

std::string DeploymentType::rolloutSummary() const {
  switch (kind_) {
    case Kind::rollout: return fmt::format("rollout deploymentID={} rolloutID={}", deploymentID_, primaryID_);
    case Kind::experiment:
      return fmt::format("experiment deploymentID={} experimentID={} treatmentID={}", deploymentID_, primaryID_,
                         secondaryID_);
    case Kind::defaultFactors: return "default";
  }
  return "default";
}

std::map<std::string, std::string> DeploymentType::info() const {
  switch (kind_) {
    case Kind::rollout:
      return {{"rolloutID", primaryID_}, {"deploymentID", deploymentID_}, {"factorPackID", secondaryID_}};
    case Kind::experiment:
      return {{"experimentID", primaryID_}, {"deploymentID", deploymentID_}, {"treatmentID", secondaryID_}};
    case Kind::defaultFactors: return {};
  }
  return {};
}

std::string Asset::description() const {
  return fmt::format("Asset(type={}, deployment={}, url={})", displayName(type), deployment.description(), fileURL);
}

platform::Expected<std::string, std::string> Asset::readData() const {
  auto data = readRegularFile(fileURL);
  if (!data) {
    platform::Logger::defaultLog().error("[Asset] Failed to read data for {}: {}", displayName(type), data.error());
    return platform::unexpected("unreadable: " + data.error());
  }
  return std::move(data).value();
}

platform::Expected<platform::Dictionary, std::string> Asset::readDictionary() const {
  auto data = readData();
  if (!data) return platform::unexpected(data.error());
  auto root = platform::PropertyList::decode(*data);
  if (!root) {
    platform::Logger::defaultLog().error("[Asset] Failed to parse plist for {}: {}", displayName(type),
                                         root.error().message);
    return platform::unexpected(notAPropertyList(root.error().message));
  }
  auto* dictionary = root->asDictionary();
  if (dictionary == nullptr) {
    platform::Logger::defaultLog().error("[Asset] Asset {} is not a dictionary", displayName(type));
    return platform::unexpected(std::string("the root is not a dictionary"));
  }
  return std::move(*dictionary);
}

std::string notAPropertyList(std::string_view why) { return fmt::format("not a property list: {}", why); }

Asset Asset::builtInDefault(AssetType type, const std::string& resourcesDirectory) {
  std::string path = resourcesDirectory + "/" + std::string(defaultFileRelativePath(type));
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    platform::fatalError("Bundled default asset missing for " + std::string(rawValue(type)) + ": " + path,
                         "nimbrad/AssetManager");
  }
  return Asset{.type = type, .fileURL = path, .deployment = DeploymentType::defaultFactors(),
               .source = Source::builtInDefault};
}

AssetStatusInfo AssetStatusInfo::of(const Asset& asset) {
  AssetStatusInfo status;
  status.type = std::string(rawValue(asset.type));
  status.typeDescription = std::string(displayName(asset.type));
  status.filePath = asset.fileURL;
  struct stat st{};
  status.fileSize = ::stat(asset.fileURL.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
  status.deploymentType = asset.deployment.kindText();
  status.deploymentInfo = asset.deployment.info();
  return status;
}

}  // namespace nimbra
