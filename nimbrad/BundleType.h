#pragma once

// The kind of bundle a path belongs to, and the (name, kind) pair stored for
// the main and the executable bundle of a launch. The text forms are what the
// store keeps and reports show, so they never change.

#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

enum class BundleType { app, framework, bundle, component, xpc, library, appexec, plugin, script, system, other, none };

// "Application", "Framework", ..., "Other"; "ERROR" for none.
std::string_view bundleTypeText(BundleType type);

// The case whose text is exactly `text`, or nullopt.
std::optional<BundleType> bundleTypeFromText(std::string_view text);

// The type of a path extension given without or with its leading "." and in
// any case (".APP" -> app); none for an extension that is not in the table.
BundleType bundleTypeForExtension(std::string_view extension);

// True for the extensions of the table except the library ones (".dylib",
// ".so", ".jnilib"): the extensions of bundle directories.
bool isBundleExtension(std::string_view extension);

struct BundleTuple {
  std::string bundleName;
  BundleType bundleType = BundleType::none;

  bool operator==(const BundleTuple&) const = default;
};

}  // namespace nimbra
