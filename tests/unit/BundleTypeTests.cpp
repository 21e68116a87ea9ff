#include <gtest/gtest.h>

#include "nimbrad/BundleType.h"

using namespace nimbra;

TEST(BundleType, TextFormsAreStableAndReadBack) {
  const std::vector<std::pair<BundleType, std::string>> cases = {
      {BundleType::app, "Application"},     {BundleType::framework, "Framework"},
      {BundleType::bundle, "Bundle"},       {BundleType::component, "Component"},
      {BundleType::xpc, "XPC Service"},     {BundleType::library, "Library"},
      {BundleType::appexec, "App Executable"}, {BundleType::plugin, "Plugin"},
      {BundleType::script, "Script"},       {BundleType::system, "System Executable"},
      {BundleType::other, "Other"},         {BundleType::none, "ERROR"},
  };
  for (const auto& [type, text] : cases) {
    EXPECT_EQ(bundleTypeText(type), text);
    EXPECT_EQ(bundleTypeFromText(text), type);
  }
  EXPECT_EQ(bundleTypeFromText("application"), std::nullopt);
}

TEST(BundleType, ExtensionTableIgnoresCaseAndSeparatesLibraries) {
  const std::vector<std::tuple<std::string, BundleType, bool>> cases = {
      {"app", BundleType::app, true},          {".APP", BundleType::app, true},
      {"bundle", BundleType::bundle, true},    {"Framework", BundleType::framework, true},
      {"component", BundleType::component, true}, {"xpc", BundleType::xpc, true},
      {"dylib", BundleType::library, false},   {"so", BundleType::library, false},
      {"jnilib", BundleType::library, false},  {"appex", BundleType::plugin, true},
      {"plugin", BundleType::plugin, true},    {"prefPane", BundleType::plugin, true},
      {"mdimporter", BundleType::plugin, true}, {"qlgenerator", BundleType::plugin, true},
      {"saver", BundleType::plugin, true},     {"kext", BundleType::system, true},
      {"driver", BundleType::system, true},    {"exe", BundleType::none, false},
      {"", BundleType::none, false},           {"apps", BundleType::none, false},
  };
  for (const auto& [extension, type, isBundle] : cases) {
    EXPECT_EQ(bundleTypeForExtension(extension), type) << extension;
    EXPECT_EQ(isBundleExtension(extension), isBundle) << extension;
  }
}
