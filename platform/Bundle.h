#pragma once

// Bundles on disk: a directory whose information dictionary describes it.
//
// Layouts, tried in this order: "Contents/Info.plist" (applications and
// plug-ins), "Info.plist" (flat bundles), "Resources/Info.plist"
// (frameworks). The executable named by "CFBundleExecutable" is
// "Contents/MacOS/<name>" when the bundle has a "Contents" directory and
// "<bundle>/<name>" otherwise. Localized values come from
// "<resources>/<language>.lproj/InfoPlist.strings", where <resources> is
// "Contents/Resources", "Resources" or the bundle itself (first that exists)
// and the language is the first of "en", "English", "Base" that has the file,
// else the alphabetically first ".lproj" directory that has it (the user must
// be able to list <resources> for that): the daemon
// runs without a user language, and English is the development language of
// nearly every bundle.
//
// Everything read here comes from outside and may be malformed: a file that
// is not a property list, a root that is not a dictionary, a FIFO in place of
// a file, a link loop. Each reads as absent or empty, never as a failure of
// the caller.
//
// A bundle is read with the rights of a user (the one who launched it, or
// who asks about it), through the UserFileReader it is opened with: a file
// that user could not read is absent, whatever the daemon itself may read.

#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UserFileReader.h"
#include "platform/Value.h"

namespace platform {

class Bundle {
 public:
  // Info.plist and InfoPlist.strings files above this size are ignored.
  static constexpr std::size_t kMaxInfoFileBytes = 4 * 1024 * 1024;

  // Opens the bundle directory at `path` and reads its information
  // dictionary, both with `files`' rights, which the bundle keeps for every
  // later read. nullopt when `path` is not a directory the user can reach
  // (following symbolic links; a loop is not a directory). A directory
  // without an Info.plist the user may read opens with an empty information
  // dictionary.
  static std::optional<Bundle> open(const std::string& path, const UserFileReader& files);

  const std::string& path() const { return path_; }

  // The information dictionary; empty when there is none, it is not a
  // property list, or its root is not a dictionary.
  const Dictionary& infoDictionary() const { return *info_; }

  // The string values of the localized InfoPlist.strings (see above); empty
  // when there is none or it cannot be read. Read on each call.
  Dictionary localizedInfoDictionary() const;

  // "CFBundleIdentifier" when it is a non-empty string.
  std::optional<std::string> bundleIdentifier() const;

  // A string value of the information dictionary, or nullptr.
  const std::string* infoString(std::string_view key) const;

  // The path of the executable when "CFBundleExecutable" names a regular
  // file inside the bundle that exists for the user; nullopt otherwise (also for a name containing
  // "/" or equal to "." or "..", which would leave the bundle).
  std::optional<std::string> executablePath() const;

  // The CPU types of every slice of the executable, in slice order; nullopt
  // when there is no executable or the user cannot read it as one.
  std::optional<std::vector<std::int32_t>> executableArchitectures() const;

  // "<resources>/<name>.<type>" when it is a regular file that exists for
  // the user, else nullopt.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;

  // The resources directory as described above.
  std::string resourcesDirectory() const;

 private:
  Bundle(std::string path, std::shared_ptr<const Dictionary> info, UserFileReader files)
      : path_(std::move(path)), info_(std::move(info)), files_(std::move(files)) {}

  std::string path_;
  std::shared_ptr<const Dictionary> info_;  // never null; shared with the parse cache
  UserFileReader files_;
};

}  // namespace platform
