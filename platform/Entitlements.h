#pragma once

// Entitlements of peers. A process holds an entitlement when the registry
// says so for its executable. The registry is every *.plist file in
// $CONFIGURATION_DIRECTORY/entitlements.d/, each a dictionary
//   {"Executable": "<absolute path>", "Entitlements": {"<name>": <value>},
//    "Users": [<uid>, ...]}            ("Users" optional)
// An entry with "Users" grants only to peers running as one of those users.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Expected.h"
#include "platform/DirectoryWatcher.h"
#include "platform/PeerIdentity.h"
#include "platform/Value.h"

namespace platform {

struct EntitlementLookup {
  // The value of the entitlement when an entry grants it.
  std::optional<Value> value;
  // Set when the answer could not be given as the registry intends: the
  // registry cannot be read, or two entries disagree.
  std::optional<std::string> error;
};

class EntitlementSource {
 public:
  virtual ~EntitlementSource() = default;
  // False when the peer cannot be identified: process id 0 or no readable
  // executable. Such a peer holds no entitlement.
  virtual bool canIdentify(const PeerIdentity& peer) const = 0;
  // The value of entitlement `name` for the peer. Thread-safe.
  virtual EntitlementLookup copyValue(const PeerIdentity& peer, std::string_view name) const = 0;
};

// The file registry. It is the daemon's trust root, so an entry counts only
// if it is a regular file (not a symbolic link) owned by root (or by the
// daemon's own user) that neither group nor others may write; any other
// file, and any malformed entry, is skipped with one error line naming the
// file and the reason. The files are read when first needed and again only
// after something in the directory changed (inotify), so that a lookup costs
// no file reading and an installed entry still takes effect without a restart.
class EntitlementRegistry final : public EntitlementSource {
 public:
  // `directory` defaults to $CONFIGURATION_DIRECTORY/entitlements.d.
  explicit EntitlementRegistry(std::string directory = {});
  bool canIdentify(const PeerIdentity& peer) const override;
  EntitlementLookup copyValue(const PeerIdentity& peer, std::string_view name) const override;

 private:
  struct Entry {
    std::string file;
    std::string executable;  // as written
    // `executable` was its own realpath when read, so it is compared as it
    // is; otherwise (a symbolic link, or not installed yet) it is resolved
    // at each lookup, as its target may change.
    bool canonical = false;
    std::optional<std::vector<std::int64_t>> users;
    Dictionary entitlements;
  };
  struct Snapshot {
    std::vector<Entry> entries;
    std::optional<std::string> error;  // the directory could not be read
  };

  // Reads one entry from the open registry directory, or says why it does
  // not count.
  static Expected<Entry, std::string> readEntry(int directory, const std::string& name);
  std::shared_ptr<const Snapshot> current() const;
  std::shared_ptr<const Snapshot> load() const;  // REQUIRES: mutex_ held

  std::string directory_;
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const Snapshot> loaded_;  // GUARDED_BY(mutex_)
  // What the last load reported, so that a reload does not repeat it.
  mutable std::set<std::string> reported_;  // GUARDED_BY(mutex_)
  // Set by the watch's handler, taken by the next lookup.
  mutable std::atomic<bool> changed_{false};
  mutable std::atomic<bool> watchLost_{false};
  mutable std::optional<DirectoryWatcher::Watch> watch_;  // GUARDED_BY(mutex_)
  // Last: destroyed first, so that no handler runs on the members above.
  mutable std::unique_ptr<DirectoryWatcher> watcher_;  // GUARDED_BY(mutex_)
};

}  // namespace platform
