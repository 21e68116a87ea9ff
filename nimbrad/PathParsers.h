#pragma once

// Questions about the file-system paths that launch events and stored entries
// carry: their bundles, display names, the kind of bundle they belong to, a
// path to reveal to the user. Stateless; every call looks at the file system
// afresh (callers ask a few times per notification evaluation, not in loops).
// The file system is looked at with the rights of the user the path concerns
// (`files`): what that user could not reach or read does not exist here.
// All functions may be called from any thread. None throws: a failure gives
// an absent result (or the unchanged path) and, where stated, a log line on
// the default log.
//
// Paths are texts as received. Only absolute paths name files: a path that
// does not begin with "/" is "not a proper URL" wherever a file URL is needed.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "nimbrad/BundleType.h"
#include "platform/Bundle.h"
#include "platform/Translocation.h"
#include "platform/UserFileReader.h"

namespace nimbra {

// Where PathParsers finds what is not in the path itself. The daemon uses
// standard(); tests point the directories at temporary folders.
struct PathParsersConfiguration {
  // The framework bundle's resources (holds "CuratedDisplayNames.plist").
  std::string resourcesDirectory;
  // Tried as a prefix for paths that do not exist as given; ends with "/".
  std::string applicationsDirectory = "/Applications/";
  // Temporary locations, never revealed to the user; ends with "/".
  std::string temporaryFolders = "/private/var/folders/";
  const platform::Translocation* translocation = &platform::Translocation::system();

  // platform::directories::resources(), "/Applications/",
  // "/private/var/folders/", the system's translocation. Computed once.
  static const PathParsersConfiguration& standard();
};

// A platform process that hosts plug-ins, by its exact executable path.
struct HostExecutable {
  std::string_view path;
  std::string_view label;
};

class PathParsers {
 public:
  PathParsers() = delete;

  // The six plug-in host processes whose launches are reported by label.
  static std::span<const HostExecutable> hostExecutables();

  // `name` without one pair of enclosing quotation marks, straight ("x") or
  // typographic (“x”); unchanged otherwise, also for a lone quotation mark.
  static std::string cleanDisplayName(std::string_view name);

  // True when the extension of the last component (after its last "."), in
  // lower case, is a bundle extension. A trailing "/" is ignored.
  static bool isBundlePath(std::string_view path);

  // The curated display name of exactly this path from
  // "CuratedDisplayNames.plist" in the resources directory, read on every
  // call. Absent when the path has none; a missing resources directory, a
  // missing file or a file that is not a dictionary is logged at error level.
  static std::optional<std::string> getCuratedDisplayNameForPath(const std::string& path,
                                                                 const PathParsersConfiguration& config =
                                                                     PathParsersConfiguration::standard());

  // The name to show for a path: the curated name; else, when the path is in
  // or is a bundle, the bundle's (localized) name or display name or its
  // directory name without extension; else the first component (by the
  // display-name suffixes, in their order) ending with such a suffix, without
  // it. Enclosing quotes are removed. Absent when nothing gives a name.
  static std::optional<std::string> getDisplayNameForPath(const std::string& path,
                                                          const platform::UserFileReader& files,
                                                          const PathParsersConfiguration& config =
                                                              PathParsersConfiguration::standard());

  // The bundle identifier of the bundle at bundleRoot(path), when the path is
  // in or is a bundle and that bundle has one.
  static std::optional<std::string> getBundleIdentifierForPath(const std::string& path,
                                                               const platform::UserFileReader& files);

  // The bundle that contains the (sanitized) path, opened; absent when the
  // path is in no bundle or the bundle cannot be opened.
  static std::optional<platform::Bundle> getEmbeddedBundle(const std::string& path,
                                                           const platform::UserFileReader& files,
                                                           const PathParsersConfiguration& config =
                                                               PathParsersConfiguration::standard());

  // The directory to reveal to the user for a path: its bundle root (or the
  // path) when that exists, with translocation undone; absent when nothing
  // exists there or the result lies in the temporary folders.
  static std::optional<std::string> getShowInVistralPath(const std::string& path,
                                                         const platform::UserFileReader& files,
                                                         const PathParsersConfiguration& config =
                                                             PathParsersConfiguration::standard());

  // The path up to and including its first component with a bundle
  // extension (the outermost bundle), or `path` itself when there is none.
  static std::string bundleRoot(std::string_view path);

  // `path` when something exists there; else the applications directory
  // followed by `path` when that exists (writing "found <that path>" to
  // standard output); else `path` unchanged, logged at error level.
  static std::string handleSanitizedPath(const std::string& path, const platform::UserFileReader& files,
                                         const PathParsersConfiguration& config = PathParsersConfiguration::standard());

  // handleSanitizedPath(path), cut after its last component with a bundle
  // extension (the innermost bundle); the sanitized path itself when it has
  // none.
  static std::string getContainingBundlePath(const std::string& path, const platform::UserFileReader& files,
                                             const PathParsersConfiguration& config =
                                                 PathParsersConfiguration::standard());

  // A path under the temporary folders that contains "/AppTranslocation/"
  // turned back into the application's original location; every other path
  // unchanged.
  static std::string resolveTranslocatedPath(const std::string& path,
                                             const PathParsersConfiguration& config =
                                                 PathParsersConfiguration::standard());

  // The outermost bundle on the path as (directory name, type): a host
  // executable gives (its label, system); a path at or below a system binary
  // directory gives (the whole path, script); a path without any bundle its
  // last component with type other (an executable "steam_osx" gives
  // ("Steam.app", app)). Absent, logged at error level, for a path that is
  // not absolute.
  static std::optional<BundleTuple> mainBundleTuple(std::string_view path);

  // The innermost bundle on the path below `mainBundle` (the bundleName of
  // mainBundleTuple) as (directory name, type); (the last component, other)
  // when there is none; (path, script) when `mainBundle` equals the path.
  // Absent, logged at error level, for a path that is not absolute.
  static std::optional<BundleTuple> execBundleTuple(std::string_view path,
                                                    std::optional<std::string_view> mainBundle = std::nullopt);
};

}  // namespace nimbra
