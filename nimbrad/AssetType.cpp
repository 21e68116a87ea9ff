#include "nimbrad/AssetType.h"

namespace nimbra {

namespace {

struct AssetTypeInfo {
  std::string_view raw;
  std::string_view display;
  std::string_view ns;
  std::string_view factor;
  std::string_view file;
};

const AssetTypeInfo& info(AssetType type) {
  static constexpr AssetTypeInfo table[] = {
      {"nativeApps", "Native Apps", "LANTERN_MOSS_MAGPIE", "MAGPIE_PLIST", "assets_LANTERN_MOSS_MAGPIE/MAGPIE.plist"},
      {"velmoraNotificationPolicy", "Velmora Notification Policy", "LANTERN_MOSS_PUMPKIN", "PUMPKIN_PLIST",
       "assets_LANTERN_MOSS_PUMPKIN/PUMPKIN.plist"},
      {"exclusionRules", "Exclusion Rules", "LANTERN_MOSS_CORAL", "CORAL_PLIST",
       "assets_LANTERN_MOSS_CORAL/CORAL.plist"},
      {"productMappings", "Product Mappings", "LANTERN_MOSS_BEACON", "BEACON_PLIST",
       "assets_LANTERN_MOSS_BEACON/BEACON.plist"},
  };
  return table[static_cast<std::size_t>(type)];
}

}  // namespace

std::string_view rawValue(AssetType type) { return info(type).raw; }
std::string_view displayName(AssetType type) { return info(type).display; }
std::string_view fennixNamespace(AssetType type) { return info(type).ns; }
std::string_view fennixFactor(AssetType type) { return info(type).factor; }
std::string_view defaultFileRelativePath(AssetType type) { return info(type).file; }

std::string changeNotificationName(AssetType type) {
  return "com.corvane.nimbrad.asset." + std::string(rawValue(type)) + ".didChange";
}

std::optional<AssetType> assetTypeFromString(std::string_view text) {
  for (AssetType type : kAllAssetTypes) {
    if (rawValue(type) == text) return type;
  }
  return std::nullopt;
}

}  // namespace nimbra
