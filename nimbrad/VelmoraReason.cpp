#include "nimbrad/VelmoraReason.h"

#include "platform/FileProbe.h"
#include "platform/Log.h"
#include "platform/MachO.h"

namespace nimbra {

namespace {

constexpr std::string_view kResponsiblePrefix = "Due to Responsible: ";
constexpr std::string_view kTargetPrefix = "Due to Target: ";

const platform::Logger& log() { return platform::Logger::defaultLog(); }

}  // namespace

std::string VelmoraReason::description() const {
  switch (kind_) {
    case Kind::x86SetInPlist: return "x86 Plist";
    case Kind::x86Forced: return "x86 Forced";
    case Kind::x86Checkbox: return "x86 Checkbox";
    case Kind::x86Only: return "x86 Only";
    case Kind::fromResponsible: return std::string(kResponsiblePrefix) + entity_.name;
    case Kind::fromTarget: return std::string(kTargetPrefix) + entity_.name;
    case Kind::unknown: return "<UNKNOWN>";
  }
  return "<UNKNOWN>";
}

VelmoraReason VelmoraReason::fromDescription(std::string_view text) {
  if (text == "x86 Plist") return x86SetInPlist({});
  if (text == "x86 Forced") return x86Forced({});
  if (text == "x86 Checkbox") return x86Checkbox({});
  if (text == "x86 Only") return x86Only({});
  if (text.starts_with(kResponsiblePrefix)) {
    return fromResponsible(VelmoraEntity{.name = std::string(text.substr(kResponsiblePrefix.size()))});
  }
  if (text.starts_with(kTargetPrefix)) {
    return fromTarget(VelmoraEntity{.name = std::string(text.substr(kTargetPrefix.size()))});
  }
  return unknown();
}

std::optional<std::vector<std::int32_t>> detectArchitectures(const std::string& path) {
  if (!platform::files::exists(path)) {
    log().debug("<VelmoraReason> detectArchitectures: File does not exist: {}", path);
    return std::nullopt;
  }
  std::vector<std::int32_t> architectures;
  int result = platform::macho::forEachSlice(path, [&](std::int32_t cputype, std::int32_t) {
    if (cputype == platform::macho::kCpuTypeX86_64 || cputype == platform::macho::kCpuTypeArm64) {
      architectures.push_back(cputype);
    }
  });
  if (result != 0) {
    log().debug("<VelmoraReason> detectArchitectures: macho_for_each_slice failed with code {} for: {}", result, path);
    return std::nullopt;
  }
  if (architectures.empty()) {
    log().debug("<VelmoraReason> detectArchitectures: No recognized architectures found in: {}", path);
    return std::nullopt;
  }
  return architectures;
}

}  // namespace nimbra
