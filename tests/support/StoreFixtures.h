#pragma once

// Fakes and builders for the process list store's tests: a clock that stands
// still until moved, a file manager whose operations can be made to fail, and
// launch entries that differ in chosen fields.

#include <atomic>
#include <chrono>
#include <functional>
#include <utility>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <sqlite3.h>

#include "nimbrad/ProcessDataEntry.h"
#include "platform/Clock.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "tests/support/LogCapture.h"

namespace nimbra::test {

class ManualClock final : public platform::Clock {
 public:
  explicit ManualClock(double secondsSince1970) { set(secondsSince1970); }
  void set(double secondsSince1970) {
    seconds_.store(secondsSince1970);
  }
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds_.load())));
  }
  std::chrono::steady_clock::time_point uptime() const override { return std::chrono::steady_clock::now(); }

 private:
  std::atomic<double> seconds_;
};

// The real file system, with switchable failures and a log of the calls that
// change or flush files ("sync <path>", "rename <from> -> <to>", "syncdir <path>",
// "remove <path>", "move <from> -> <to>").
class RecordingFileManager final : public platform::FileManager {
 public:
  std::atomic<bool> failRemove{false};
  std::atomic<bool> failReplace{false};
  std::atomic<bool> failMove{false};
  std::atomic<bool> failSynchronizeFile{false};
  std::atomic<bool> failSynchronizeDirectory{false};
  // Runs at the start of the next synchronizeFile call only (a save is then
  // past its copy and before its rename); set before the save starts.
  std::function<void()> onceBeforeSynchronizeFile;

  bool fileExists(const std::string& path) const override { return real_.fileExists(path); }
  std::error_code createDirectory(const std::string& path) override { return real_.createDirectory(path); }
  std::error_code removeItem(const std::string& path) override {
    record("remove " + path);
    if (failRemove) return std::make_error_code(std::errc::permission_denied);
    return real_.removeItem(path);
  }
  std::error_code replaceItem(const std::string& source, const std::string& destination) override {
    record("rename " + source + " -> " + destination);
    if (failReplace) return std::make_error_code(std::errc::cross_device_link);
    return real_.replaceItem(source, destination);
  }
  std::error_code moveItem(const std::string& source, const std::string& destination) override {
    record("move " + source + " -> " + destination);
    if (failMove) return std::make_error_code(std::errc::read_only_file_system);
    return real_.moveItem(source, destination);
  }
  platform::Expected<std::vector<std::string>, std::error_code> contentsOfDirectory(
      const std::string& path) const override {
    return real_.contentsOfDirectory(path);
  }
  std::error_code synchronizeFile(const std::string& path) override {
    record("sync " + path);
    std::function<void()> hook;
    {
      std::lock_guard lock(mutex_);
      hook = std::exchange(onceBeforeSynchronizeFile, nullptr);
    }
    if (hook) hook();
    if (failSynchronizeFile) return std::make_error_code(std::errc::io_error);
    return real_.synchronizeFile(path);
  }
  std::error_code synchronizeDirectory(const std::string& path) override {
    record("syncdir " + path);
    if (failSynchronizeDirectory) return std::make_error_code(std::errc::io_error);
    return real_.synchronizeDirectory(path);
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  platform::SystemFileManager real_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// A launch of application `name` (a bundle /Applications/<name>.app) by user
// `uid` at `secondsSince1970`. Process, target and responsible process (a
// launcher) are three identities whose every field differs, so that a value
// bound or read for the wrong role shows; only the target's path is the
// process's (an application run as itself). Each field derives from the name.
ProcessDataEntry makeEntry(const std::string& name, std::uint32_t uid = 501, double secondsSince1970 = 1700000000);

// The row count of `table` in `handle`, or -1.
long long rowCount(sqlite3* handle, const std::string& table);

// A store file opened read-only, as a later start of the daemon finds it.
class SnapshotFile {
 public:
  explicit SnapshotFile(const std::string& path);
  SnapshotFile(const SnapshotFile&) = delete;
  SnapshotFile& operator=(const SnapshotFile&) = delete;
  ~SnapshotFile();

  bool isOpen() const { return open_; }
  // Column 0 of the first row as an integer, or -1 (no row, an error).
  long long scalar(const std::string& sql) const;
  // Column 0 of the first row as text; "<no row>", or SQLite's message.
  std::string text(const std::string& sql) const;
  std::string integrity() const { return text("PRAGMA integrity_check"); }

 private:
  sqlite3* db_ = nullptr;
  bool open_ = false;
};

// The bytes of the file at `path`; empty when it cannot be read.
std::string fileBytes(const std::string& path);

// The names of the copies of unloadable store files in `directory`
// ("nimbra.db.unreadable-..."), sorted.
std::vector<std::string> unreadableCopies(const std::string& directory);

// Overwrites the start of page `page` (counted from 1) of the database file
// at `path` with bytes that are no page type: reading that page fails.
void damagePage(const std::string& path, long long page, long long pageSize);

// Writes nimbra.db in `directory` through the store: `count` first launches
// of the applications "<prefix>0", "<prefix>1", ... (makeEntry) by user 501.
void writeLaunchSnapshot(const std::string& directory, int count, const std::string& prefix = "App");

}  // namespace nimbra::test
