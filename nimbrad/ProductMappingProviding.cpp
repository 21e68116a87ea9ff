#include "nimbrad/ProductMappingProviding.h"

#include "nimbrad/PathParsers.h"

namespace nimbra {

namespace {

bool isProductBundleKind(BundleType kind) {
  switch (kind) {
    case BundleType::app:
    case BundleType::framework:
    case BundleType::bundle:
    case BundleType::component:
    case BundleType::xpc:
    case BundleType::library: return true;
    default: return false;
  }
}

}  // namespace

std::string ProductMappingProviding::productKey(const ProductMappingProviding* provider,
                                                const VelmoraEventData& event,
                                                const std::optional<LaunchBundle>& bundle,
                                                const platform::UserFileReader& files,
                                                const PathParsersConfiguration& paths) {
  VelmoraEventData candidate = event;
  if (bundle && isProductBundleKind(bundle->kind)) {
    candidate.responsibleName = bundle->name;
    candidate.responsiblePath = bundle->path;
    candidate.responsibleBundleID = bundle->bundleID;
    candidate.responsibleBundleVersion = bundle->version;
    candidate.responsibleTeamID = bundle->teamID;
    candidate.responsibleDeveloperName = bundle->developerName;
  }
  std::string defaultKey = PathParsers::bundleRoot(candidate.responsiblePath);
  if (provider == nullptr) return defaultKey;

  if (auto match = provider->matchingRule(candidate)) return match->productKey;

  // A helper's own identifiers often say nothing; the bundle it ships in does.
  // When that bundle is the launch's own, it has been read already.
  std::optional<std::string> identifier;
  if (bundle && bundle->path == defaultKey) {
    if (!bundle->bundleID.empty()) identifier = bundle->bundleID;
  } else if (auto embedded = PathParsers::getEmbeddedBundle(defaultKey, files, paths)) {
    identifier = embedded->bundleIdentifier();
  }
  if (identifier) {
    candidate.responsibleBundleID = *identifier;
    if (auto match = provider->matchingRule(candidate)) return match->productKey;
  }
  return defaultKey;
}

}  // namespace nimbra
