#pragma once

// Parsed contents of small files that are read on every launch (bundle
// information dictionaries, localized strings, curated names), reused while
// the file on disk is the one that was parsed. Every lookup checks the file
// with one stat, so an edit, a replacement or a removal is seen at once;
// only the parsing is saved.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace platform {

// What identifies one version of a file: a rename gives another inode, an
// edit another size or time.
struct FileVersion {
  mode_t mode = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;   // nanoseconds
  bool operator==(const FileVersion&) const = default;

  // The version of the file of any kind at `path` (following symbolic
  // links); nullopt when there is none. One stat.
  static std::optional<FileVersion> of(const std::string& path);
  // The version a status describes.
  static FileVersion of(const struct stat& status);
  // The version of the open file `fd`; nullopt when fstat fails.
  static std::optional<FileVersion> ofOpenFile(int fd);
  // The same, but nullopt for anything but a regular file.
  static std::optional<FileVersion> ofRegularFile(const std::string& path);

  bool isRegularFile() const;
};

template <typename T>
class ParsedFileCache {
 public:
  // Parses the file at `path`; nullptr when its content is unusable.
  using Loader = std::function<std::shared_ptr<const T>(const std::string& path)>;

  explicit ParsedFileCache(std::size_t capacity) : capacity_(capacity) {}
  ParsedFileCache(const ParsedFileCache&) = delete;
  ParsedFileCache& operator=(const ParsedFileCache&) = delete;

  // The parsed content of the regular file at `path` as it is now, or
  // nullptr when there is no regular file there or `load` found it unusable
  // (that answer is kept too, until the file changes). Thread-safe; `load`
  // runs without the cache's lock.
  std::shared_ptr<const T> get(const std::string& path, const Loader& load) {
    auto version = FileVersion::ofRegularFile(path);
    if (!version) return nullptr;
    return get(path, *version, load);
  }

  // The same for a caller that has just taken the file's version itself
  // (saves a second stat); `version` must be that of a regular file.
  std::shared_ptr<const T> get(const std::string& path, const FileVersion& currentVersion, const Loader& load) {
    return get(path, currentVersion, load, [&path] { return FileVersion::ofRegularFile(path); });
  }

  // The same for a file the caller has opened itself (with a user's rights,
  // see UserFileReader): `version` is that of the open file, `load` reads
  // it, and `versionAfterLoad` gives its version once read. A cached parse is
  // only ever returned to a caller that has just opened the file, so it never
  // reaches a user who could not read the file.
  std::shared_ptr<const T> get(const std::string& path, const FileVersion& currentVersion, const Loader& load,
                               const std::function<std::optional<FileVersion>()>& versionAfterLoad) {
    std::optional<FileVersion> version = currentVersion;
    {
      std::lock_guard lock(mutex_);
      auto it = index_.find(path);
      if (it != index_.end() && it->second->version == *version) {
        order_.splice(order_.begin(), order_, it->second);
        return it->second->content;
      }
    }
    std::shared_ptr<const T> content = load(path);
    // A file that changed while it was read is not kept under the old version.
    if (versionAfterLoad() != version) return content;
    std::lock_guard lock(mutex_);
    auto it = index_.find(path);
    if (it != index_.end()) {
      it->second->version = *version;
      it->second->content = content;
      order_.splice(order_.begin(), order_, it->second);
      return content;
    }
    order_.push_front(Entry{path, *version, content});
    index_.emplace(path, order_.begin());
    while (order_.size() > capacity_) {
      index_.erase(order_.back().path);
      order_.pop_back();
    }
    return content;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return order_.size();
  }

 private:
  struct Entry {
    std::string path;
    FileVersion version;
    std::shared_ptr<const T> content;
  };
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> order_;  // GUARDED_BY(mutex_); most recently used first
  std::unordered_map<std::string, typename std::list<Entry>::iterator> index_;  // GUARDED_BY(mutex_)
};

}  // namespace platform
