#pragma once

// The four assets that carry the daemon's rules and policy. Each is a
// property-list file delivered by the rollout framework (Fennix) under its
// namespace and factor, with a built-in default in the resources directory.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

enum class AssetType { nativeApps, velmoraNotificationPolicy, exclusionRules, productMappings };

// Every type, in the order every loop over all types follows.
inline constexpr std::array<AssetType, 4> kAllAssetTypes = {
    AssetType::nativeApps, AssetType::velmoraNotificationPolicy, AssetType::exclusionRules,
    AssetType::productMappings};

// The case name, e.g. "nativeApps".
std::string_view rawValue(AssetType type);
// For logs, e.g. "Native Apps".
std::string_view displayName(AssetType type);
// Fennix namespace and factor, e.g. "LANTERN_MOSS_MAGPIE" and "MAGPIE_PLIST".
std::string_view fennixNamespace(AssetType type);
std::string_view fennixFactor(AssetType type);
// The built-in default, relative to the resources directory, e.g.
// "assets_LANTERN_MOSS_MAGPIE/MAGPIE.plist".
std::string_view defaultFileRelativePath(AssetType type);
// "com.corvane.nimbrad.asset." + raw value + ".didChange".
std::string changeNotificationName(AssetType type);

// Exactly the four raw values; anything else (other letter case included) is nullopt.
std::optional<AssetType> assetTypeFromString(std::string_view text);

}  // namespace nimbra
