#pragma once

// One current asset file and where it came from, plus the status record the
// diagnostic commands report. Plain values: copy freely, any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "nimbrad/AssetType.h"
#include "platform/Expected.h"
#include "platform/Value.h"

namespace nimbra {

// Which Fennix deployment delivered an asset.
class DeploymentType {
 public:
  enum class Kind { rollout, experiment, defaultFactors };

  // No rollout or experiment is active (Fennix's default level, or the built-in default).
  DeploymentType() = default;
  static DeploymentType rollout(std::string rolloutID, std::string deploymentID, std::string factorPackID);
  static DeploymentType experiment(std::string experimentID, std::string deploymentID, std::string treatmentID);
  static DeploymentType defaultFactors() { return {}; }

  Kind kind() const { return kind_; }
  // The rollout's or experiment's deployment identifier; empty for defaultFactors.
  const std::string& deploymentID() const { return deploymentID_; }
  // rolloutID or experimentID; empty for defaultFactors.
  const std::string& primaryID() const { return primaryID_; }
  // factorPackID or treatmentID; empty for defaultFactors.
  const std::string& secondaryID() const { return secondaryID_; }

  // "rollout", "experiment" or "defaultFactors".
  std::string kindText() const;
  // "rollout(rolloutID=R, deploymentID=D, factorPackID=F)",
  // "experiment(experimentID=E, deploymentID=D, treatmentID=T)" or "defaultFactors".
  std::string description() const;
  // The deployment part of the "[ROLLOUT]" line: "rollout deploymentID=D rolloutID=R",
  // "experiment deploymentID=D experimentID=E treatmentID=T" or "default".
  std::string rolloutSummary() const;
  // {"rolloutID", "deploymentID", "factorPackID"}, {"experimentID", "deploymentID",
  // "treatmentID"}, or empty.
  std::map<std::string, std::string> info() const;

  bool operator==(const DeploymentType&) const = default;

 private:
  DeploymentType(Kind kind, std::string primary, std::string deployment, std::string secondary)
      : kind_(kind), primaryID_(std::move(primary)), deploymentID_(std::move(deployment)),
        secondaryID_(std::move(secondary)) {}

  Kind kind_ = Kind::defaultFactors;
  std::string primaryID_;
  std::string deploymentID_;
  std::string secondaryID_;
};

struct Asset {
  // Where the file came from. A Fennix namespace without an active rollout or
  // experiment also has deployment defaultFactors, so the deployment alone
  // does not tell a built-in default from Fennix content; this does.
  enum class Source { fennix, builtInDefault };

  AssetType type = AssetType::nativeApps;
  // Absolute path of the property-list file.
  std::string fileURL;
  DeploymentType deployment;
  Source source = Source::fennix;

  bool isBuiltInDefault() const { return source == Source::builtInDefault; }

  // "Asset(type=<display name>, deployment=<deployment text>, url=<path>)".
  std::string description() const;

  // The file's bytes. On failure logs on the default log at error level
  // "[Asset] Failed to read data for <display name>: <why>" and returns why
  // as "unreadable: <why>". Only regular files of at most 16 MiB are read, so
  // a FIFO or a device planted at the path can neither hang nor flood the
  // reader.
  platform::Expected<std::string, std::string> readData() const;

  // The file as a property-list dictionary (any property-list format). Each
  // failure (read, parse, a root that is not a dictionary) logs one error line
  // on the default log and returns a short reason.
  platform::Expected<platform::Dictionary, std::string> readDictionary() const;

  // The built-in default of `type` under `resourcesDirectory`, deployment
  // defaultFactors. A missing file is a broken installation: ends the process
  // with "Bundled default asset missing for <raw value>: <path>".
  static Asset builtInDefault(AssetType type, const std::string& resourcesDirectory);

  bool operator==(const Asset&) const = default;
};

// The reason given for asset content that does not decode as a property
// list: "not a property list: <why>".
std::string notAPropertyList(std::string_view why);

// One cached asset, as the diagnostic commands report it.
struct AssetStatusInfo {
  std::string type;             // raw value
  std::string typeDescription;  // display name
  std::string filePath;
  // Size in bytes from the file system; -1 when it cannot be read.
  std::int64_t fileSize = -1;
  std::string deploymentType;  // "rollout", "experiment" or "defaultFactors"
  std::map<std::string, std::string> deploymentInfo;

  static AssetStatusInfo of(const Asset& asset);

  bool operator==(const AssetStatusInfo&) const = default;
};

}  // namespace nimbra
