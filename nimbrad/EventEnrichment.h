#pragma once

// Enrichment of a launch event: bundle identifiers, versions, team
// identifiers and developer names that the sender reported as "<unknown>" are
// filled in from a coordinator's analysis, where it has them.

#include <functional>
#include <memory>
#include <string>

#include "nimbrad/VelmoraEventData.h"
#include "platform/VelmoraCoordinator.h"

namespace nimbra {

// Creates a coordinator for (process name, process path, target path,
// responsible name, responsible path) that reads files with the given
// reader's rights (the launch's user); may return nullptr (no analysis).
using VelmoraCoordinatorFactory = std::function<std::unique_ptr<platform::VelmoraCoordinating>(
    const std::string& processName, const std::string& processPath, const std::string& targetPath,
    const std::string& responsibleName, const std::string& responsiblePath, const platform::UserFileReader& files)>;

// Coordinators that read the bundles on disk, with their own logging off.
VelmoraCoordinatorFactory defaultVelmoraCoordinatorFactory();

// The event with its unknown values filled in. Nothing is analysed when none
// of the six bundle and team identifiers is "<unknown>". For each executable:
// an "<unknown>" bundle identifier lets the identifier and version be
// replaced, an "<unknown>" team identifier the team identifier and developer
// name; each only by a string the analysis holds under its key. The
// coordinator reads with `files`' rights.
VelmoraEventData enrichUnknownValues(VelmoraEventData event, const VelmoraCoordinatorFactory& makeCoordinator,
                                     const platform::UserFileReader& files);

}  // namespace nimbra
