#pragma once

// The installed-games library of one user: which applications the user has
// installed and whether each is a game.
//
// On Linux the library of user U is the property-list file
// $STATE_DIRECTORY/ludex/U.plist, an array of {"bundleID": <string>,
// "isGame": <bool>}, edited by `nimbractl games`. The file is watched with
// inotify so that the change handler sees every edit.
//
// Every answer is delivered asynchronously on a queue of the library, never on
// the caller's stack. A missing file is an empty library. A file that cannot
// be read, is not a property list, is not an array or is too large gives no
// answer (not "no games"); entries without a usable bundle identifier or flag
// are skipped.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Expected.h"

namespace platform {

struct LXGameLibraryApp {
  std::optional<std::string> bundleID;
  bool isGame = false;

  bool operator==(const LXGameLibraryApp&) const = default;
};

using LXGameLibraryApps = std::vector<LXGameLibraryApp>;

class LXGameLibrary {
 public:
  using AppsHandler = std::function<void(LXGameLibraryApps)>;
  using FetchCompletion = std::function<void(std::optional<LXGameLibraryApps>)>;

  virtual ~LXGameLibrary() = default;

  // `handler` receives the full list each time the installed games change,
  // on the library's queue. Handlers stay registered for the library's life.
  virtual void registerInstalledGamesDidChangeHandler(AppsHandler handler) = 0;

  // Delivers the full list, or nullopt when the library cannot be read or
  // is unusable as a whole ("no answer" rather than "no games"). The change
  // handler is not called for such a file.
  virtual void fetchInstalledGames(FetchCompletion completion) = 0;

  // Delivers the applications among `bundleIDs` that the library knows, in
  // the order asked; possibly none (also when the file is unreadable).
  virtual void fetchApps(std::vector<std::string> bundleIDs, AppsHandler completion) = 0;
};

// `libraryForUserIdentifier`: the platform's way to obtain a user's library.
class LXGameLibraryFactory {
 public:
  virtual ~LXGameLibraryFactory() = default;
  // A new library object for `uid`; never nullptr.
  virtual std::shared_ptr<LXGameLibrary> libraryForUserIdentifier(uid_t uid) = 0;
};

// Libraries over the files of a folder.
class LudexFileLibraryFactory final : public LXGameLibraryFactory {
 public:
  // `folder` holds one <uid>.plist per user; it is created on first watch
  // when missing.
  explicit LudexFileLibraryFactory(std::string folder);
  LudexFileLibraryFactory(const LudexFileLibraryFactory&) = delete;
  LudexFileLibraryFactory& operator=(const LudexFileLibraryFactory&) = delete;
  ~LudexFileLibraryFactory() override;

  // The factory over $STATE_DIRECTORY/ludex (read once, on first use).
  static std::shared_ptr<LudexFileLibraryFactory> shared();

  std::shared_ptr<LXGameLibrary> libraryForUserIdentifier(uid_t uid) override;

  const std::string& folder() const { return folder_; }

  // The folder's inotify watch, shared with the libraries (defined in the .cpp).
  struct Watcher;

 private:
  std::string folder_;
  std::shared_ptr<Watcher> watcher_;
};

// Reading and editing library files; shared by the library and nimbractl.
namespace ludex {

struct LibraryError {
  std::string message;
};

// $STATE_DIRECTORY/ludex
std::string defaultFolder();
// <folder>/<uid>.plist
std::string libraryPath(std::string_view folder, uid_t uid);

// Largest library file that is read; a larger one reads as empty.
inline constexpr std::size_t kMaxLibraryFileBytes = 8 * 1024 * 1024;

// The applications of a library file. A missing file is an empty library; a
// file that is not a property list, not an array, or too large has no
// applications and `malformed` says why (the library then gives no answer;
// an edit replaces it); entries that are not dictionaries, lack a string
// "bundleID" or a boolean "isGame" are skipped. An error only when the file
// exists but cannot be read (permissions, I/O), or is not a regular file.
struct LibraryContents {
  LXGameLibraryApps apps;
  std::optional<std::string> malformed;
  std::size_t skippedEntries = 0;
};
Expected<LibraryContents, LibraryError> readLibraryFile(const std::string& path);

// Sets `bundleID` of user `uid` to game or not a game (adding it if absent,
// dropping unreadable entries), writing the file atomically (temporary file
// and rename), so that the watcher sees one change and readers never see a
// partial file. Creates the folder when missing.
Expected<void, LibraryError> setApp(const std::string& folder, uid_t uid, std::string_view bundleID, bool isGame);

// Removes every application of `uid`: the library becomes an empty array,
// written atomically.
Expected<void, LibraryError> clearLibrary(const std::string& folder, uid_t uid);

}  // namespace ludex

}  // namespace platform
