#include "nimbrad/BundleType.h"

#include <array>
#include <utility>

namespace nimbra {

namespace {

constexpr std::array<std::pair<BundleType, std::string_view>, 12> kTexts{{
    {BundleType::app, "Application"},
    {BundleType::framework, "Framework"},
    {BundleType::bundle, "Bundle"},
    {BundleType::component, "Component"},
    {BundleType::xpc, "XPC Service"},
    {BundleType::library, "Library"},
    {BundleType::appexec, "App Executable"},
    {BundleType::plugin, "Plugin"},
    {BundleType::script, "Script"},
    {BundleType::system, "System Executable"},
    {BundleType::other, "Other"},
    {BundleType::none, "ERROR"},
}};

constexpr std::array<std::pair<std::string_view, BundleType>, 16> kExtensions{{
    {"app", BundleType::app},
    {"bundle", BundleType::bundle},
    {"framework", BundleType::framework},
    {"component", BundleType::component},
    {"xpc", BundleType::xpc},
    {"dylib", BundleType::library},
    {"so", BundleType::library},
    {"jnilib", BundleType::library},
    {"appex", BundleType::plugin},
    {"plugin", BundleType::plugin},
    {"prefpane", BundleType::plugin},
    {"mdimporter", BundleType::plugin},
    {"qlgenerator", BundleType::plugin},
    {"saver", BundleType::plugin},
    {"kext", BundleType::system},
    {"driver", BundleType::system},
}};

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view bundleTypeText(BundleType type) {
  for (const auto& [candidate, text] : kTexts) {
    if (candidate == type) return text;
  }
  return "ERROR";
}

std::optional<BundleType> bundleTypeFromText(std::string_view text) {
  for (const auto& [type, candidate] : kTexts) {
    if (candidate == text) return type;
  }
  return std::nullopt;
}

BundleType bundleTypeForExtension(std::string_view extension) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  // The table's extensions are lower-case ASCII, so comparing with ASCII case
  // folding equals comparing the lower-cased extension.
  for (const auto& [candidate, type] : kExtensions) {
    if (equalsIgnoringAsciiCase(extension, candidate)) return type;
  }
  return BundleType::none;
}

bool isBundleExtension(std::string_view extension) {
  BundleType type = bundleTypeForExtension(extension);
  return type != BundleType::none && type != BundleType::library;
}

}  // namespace nimbra
