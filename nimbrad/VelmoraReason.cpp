#include "nimbrad/VelmoraReason.h"

#include "nimbrad/PathParsers.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/MachO.h"

namespace nimbra {

namespace {

constexpr std::string_view kResponsiblePrefix = "Due to Responsible: ";
constexpr std::string_view kTargetPrefix = "Due to Target: ";

constexpr std::string_view kPlatformTeamID = "Corvane";

const platform::Logger& log() { return platform::Logger::defaultLog(); }

const platform::Value* lookup(const platform::Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

void appendArchitecture(std::string& text, std::int32_t cputype) {
  if (cputype == platform::macho::kCpuTypeX86_64) text.append("x86  ");
  if (cputype == platform::macho::kCpuTypeArm64) text.append("arm64  ");
}

// A reason computed on first use: the responsible and target executables are
// inspected only when the process's reason leaves the decision to them.
class LazyReason {
 public:
  LazyReason(const VelmoraEntity& entity, const VelmoraEntity& process, const std::optional<VelmoraReason>& known,
             const platform::UserFileReader& files)
      : entity_(entity), sameAsProcess_(entity.path == process.path), known_(known), files_(files) {}

  VelmoraReason::Kind kind() {
    if (!kind_) {
      if (sameAsProcess_) {
        kind_ = VelmoraReason::Kind::unknown;
      } else if (known_) {
        kind_ = known_->kind();
      } else {
        kind_ = reasonForBundle(entity_.path, files_, entity_).reason.kind();
      }
    }
    return *kind_;
  }

 private:
  const VelmoraEntity& entity_;
  bool sameAsProcess_;
  const std::optional<VelmoraReason>& known_;
  const platform::UserFileReader& files_;
  std::optional<VelmoraReason::Kind> kind_;
};

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

std::optional<std::vector<std::int32_t>> detectArchitectures(const std::string& path,
                                                             const platform::UserFileReader& files) {
  if (!files.status(path)) {
    log().debug("<VelmoraReason> detectArchitectures: File does not exist: {}", path);
    return std::nullopt;
  }
  std::vector<std::int32_t> architectures;
  int result = platform::macho::forEachSliceCached(files, path, [&](std::int32_t cputype, std::int32_t) {
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

BundleReason reasonForBundle(const std::string& path, const platform::UserFileReader& files,
                             const VelmoraEntity& entity) {
  std::string text = "<VelmoraReason fromBundle> ";
  std::optional<std::vector<std::int32_t>> architectures;
  static const platform::Dictionary noInfo;
  std::optional<platform::Bundle> bundle;
  if (PathParsers::isBundlePath(path)) bundle = platform::Bundle::open(path, files);
  const platform::Dictionary* info = &noInfo;
  if (bundle) {
    info = &bundle->infoDictionary();
    architectures = bundle->executableArchitectures();
  } else {
    architectures = detectArchitectures(path, files);
    text.append("Direct Mach-O detection | ");
  }

  bool prefersX86 = false;
  if (const platform::Value* priority = lookup(*info, "LSArchitecturePriority");
      priority != nullptr && priority->asArray() != nullptr) {
    text.append("InfoPlist: ");
    const platform::Array& entries = *priority->asArray();
    for (const platform::Value& entry : entries) {
      const std::string* name = entry.asString();
      if (name == nullptr) continue;
      if (*name == "x86_64") text.append("x86  ");
      if (*name == "arm64") text.append("arm64  ");
    }
    text.append("| ");
    // The first entry is the architecture the bundle asks to run as.
    const std::string* first = entries.empty() ? nullptr : entries.front().asString();
    prefersX86 = first != nullptr && *first == "x86_64";
  }
  bool requiresNative = false;
  if (const platform::Value* native = lookup(*info, "LSRequiresNativeExecution");
      native != nullptr && native->asBool() != nullptr && *native->asBool()) {
    requiresNative = true;
    text.append("ReqNative | ");
  }

  text.append(" Arch: ");
  bool hasX86 = false;
  bool hasArm = false;
  if (architectures) {
    for (std::int32_t cputype : *architectures) {
      appendArchitecture(text, cputype);
      hasX86 = hasX86 || cputype == platform::macho::kCpuTypeX86_64;
      hasArm = hasArm || cputype == platform::macho::kCpuTypeArm64;
    }
  }
  text.append("| ");

  if (hasX86 && !hasArm) {
    text.append("x86 Only | ");
    return {VelmoraReason::x86Only(entity), std::move(text)};
  }
  if (hasX86 && hasArm && prefersX86 && !requiresNative) {
    text.append("x86 Set in Plist | ");
    return {VelmoraReason::x86SetInPlist(entity), std::move(text)};
  }
  if (hasX86 && hasArm && !prefersX86 && !requiresNative) {
    text.append("x86 Forced | ");
    return {VelmoraReason::x86Forced(entity), std::move(text)};
  }
  return {VelmoraReason::unknown(), std::move(text)};
}

VelmoraReason reasonForLaunch(const VelmoraEntity& process, const VelmoraEntity& responsible,
                              const VelmoraEntity& target, const platform::UserFileReader& files,
                              const std::optional<VelmoraReason>& knownProcess,
                              const std::optional<VelmoraReason>& knownResponsible,
                              const std::optional<VelmoraReason>& knownTarget) {
  using Kind = VelmoraReason::Kind;
  const Kind rP = knownProcess ? knownProcess->kind() : reasonForBundle(process.path, files, process).reason.kind();
  LazyReason rR(responsible, process, knownResponsible, files);
  LazyReason rT(target, process, knownTarget, files);

  switch (rP) {
    case Kind::x86SetInPlist: return VelmoraReason::x86SetInPlist(process);
    case Kind::x86Checkbox: return VelmoraReason::x86Checkbox(process);
    case Kind::x86Only:
      if (process.teamID != kPlatformTeamID) return VelmoraReason::x86Only(process);
      if (rT.kind() == Kind::x86Only || rT.kind() == Kind::x86SetInPlist) return VelmoraReason::fromTarget(target);
      if (responsible.teamID == kPlatformTeamID) return VelmoraReason::x86Only(process);
      return VelmoraReason::fromResponsible(responsible);
    case Kind::x86Forced:
      if (rR.kind() != Kind::unknown) return VelmoraReason::fromResponsible(responsible);
      if (rT.kind() == Kind::x86Forced || rT.kind() == Kind::unknown) return VelmoraReason::x86Forced(process);
      return VelmoraReason::fromTarget(target);
    case Kind::unknown:
      if (rR.kind() != Kind::unknown) return VelmoraReason::fromResponsible(responsible);
      if (rT.kind() == Kind::x86Forced || rT.kind() == Kind::unknown) return VelmoraReason::unknown();
      return VelmoraReason::fromTarget(target);
    case Kind::fromResponsible:
    case Kind::fromTarget: return knownProcess ? *knownProcess : VelmoraReason::unknown();
  }
  return VelmoraReason::unknown();
}

}  // namespace nimbra
