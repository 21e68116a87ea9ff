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

std::optional<LaunchBundle> LaunchBundle::containing(const std::string& path, const platform::UserFileReader& files,
                                                     const PathParsersConfiguration& paths) {
  auto bundle = PathParsers::getEmbeddedBundle(path, files, paths);
  if (!bundle) return std::nullopt;
  LaunchBundle out;
  out.path = bundle->path();
  auto slash = out.path.find_last_of('/');
  out.name = slash == std::string::npos ? out.path : out.path.substr(slash + 1);
  out.bundleID = bundle->bundleIdentifier().value_or("");
  for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
    if (const std::string* version = bundle->infoString(key); version != nullptr && !version->empty()) {
      out.version = *version;
      break;
    }
  }
  auto dot = out.name.find_last_of('.');
  out.kind = dot == std::string::npos ? BundleType::other : bundleTypeForExtension(out.name.substr(dot));
  return out;
}

}  // namespace nimbra
