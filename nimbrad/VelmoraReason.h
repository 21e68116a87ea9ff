#pragma once

// Why a process runs translated, and on which executable of the launch that
// was found. The text form is what the store keeps in its `reason` column
// and what reports show; fromDescription() reads it back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nimbrad/VelmoraEntity.h"
#include "platform/UserFileReader.h"

namespace nimbra {

class VelmoraReason {
 public:
  enum class Kind { x86SetInPlist, x86Forced, x86Checkbox, x86Only, fromResponsible, fromTarget, unknown };

  VelmoraReason() = default;  // unknown

  static VelmoraReason x86SetInPlist(VelmoraEntity entity) { return {Kind::x86SetInPlist, std::move(entity)}; }
  static VelmoraReason x86Forced(VelmoraEntity entity) { return {Kind::x86Forced, std::move(entity)}; }
  static VelmoraReason x86Checkbox(VelmoraEntity entity) { return {Kind::x86Checkbox, std::move(entity)}; }
  static VelmoraReason x86Only(VelmoraEntity entity) { return {Kind::x86Only, std::move(entity)}; }
  static VelmoraReason fromResponsible(VelmoraEntity entity) { return {Kind::fromResponsible, std::move(entity)}; }
  static VelmoraReason fromTarget(VelmoraEntity entity) { return {Kind::fromTarget, std::move(entity)}; }
  static VelmoraReason unknown() { return {}; }

  Kind kind() const { return kind_; }
  // The entity the reason was found on; nullptr for unknown.
  const VelmoraEntity* entity() const { return kind_ == Kind::unknown ? nullptr : &entity_; }

  // "x86 Plist", "x86 Forced", "x86 Checkbox", "x86 Only",
  // "Due to Responsible: <name>", "Due to Target: <name>", "<UNKNOWN>".
  std::string description() const;

  // The reason a stored text stands for. The four fixed texts give their case
  // with an empty entity; "Due to Responsible: X" and "Due to Target: X" give
  // their case with an entity whose name is X (the other fields are not
  // stored); anything else is unknown. description() of the result gives
  // `text` back for every text description() can produce.
  static VelmoraReason fromDescription(std::string_view text);

  bool operator==(const VelmoraReason&) const = default;

 private:
  VelmoraReason(Kind kind, VelmoraEntity entity) : kind_(kind), entity_(std::move(entity)) {}

  Kind kind_ = Kind::unknown;
  VelmoraEntity entity_;
};

// The recognised CPU types (x86_64 and arm64) of the executable at `path`, one
// entry per slice in slice order; nullopt when the file does not exist for
// the user of `files`, cannot be read by them as an executable, or has no
// recognised slice (each logged at debug level). Thread-safe.
std::optional<std::vector<std::int32_t>> detectArchitectures(const std::string& path,
                                                             const platform::UserFileReader& files);

struct BundleReason {
  VelmoraReason reason;
  // What the decision was based on, beginning "<VelmoraReason fromBundle> ".
  std::string diagnostic;
};

// The reason found on one bundle or executable path. A bundle directory is
// judged by its information dictionary ("LSArchitecturePriority",
// "LSRequiresNativeExecution") and its executable's architectures; any other
// path by the architectures of the file itself. x86_64 without arm64 is
// x86Only; both with x86_64 preferred by the dictionary (and native execution
// not required) x86SetInPlist; both without either setting x86Forced;
// anything else (including no readable architectures) unknown. The reason
// carries `entity`. Never yields x86Checkbox. Thread-safe.
// Files are read with `files`' rights.
BundleReason reasonForBundle(const std::string& path, const platform::UserFileReader& files,
                             const VelmoraEntity& entity = {});

// The reason stored for a launch of `process`, started for `target` on
// behalf of `responsible`. A known reason of an executable is used instead of
// inspecting its path; the responsible and target executables count as
// unknown when they have the process's path. Their paths are inspected only
// when the process's own reason leaves the decision to them, with `files`'
// rights (the launch's user). Thread-safe.
VelmoraReason reasonForLaunch(const VelmoraEntity& process, const VelmoraEntity& responsible,
                              const VelmoraEntity& target, const platform::UserFileReader& files,
                              const std::optional<VelmoraReason>& knownProcess = {},
                              const std::optional<VelmoraReason>& knownResponsible = {},
                              const std::optional<VelmoraReason>& knownTarget = {});

}  // namespace nimbra
