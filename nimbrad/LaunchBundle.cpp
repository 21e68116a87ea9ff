#include "nimbrad/LaunchBundle.h"

namespace nimbra {

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
