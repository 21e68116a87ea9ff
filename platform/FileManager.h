#pragma once

// The file operations the daemon's stores need, behind an interface so that
// tests can make them fail (a rename refused, a file that cannot be removed).

#include <string>
#include <system_error>
#include <vector>

#include "platform/Expected.h"

namespace platform {

class FileManager {
 public:
  virtual ~FileManager() = default;

  // The real file system; lives for the process. Thread-safe.
  static FileManager& defaultManager();

  // True when something (file, directory, any kind) exists at `path`; a
  // dangling symbolic link counts as nothing.
  virtual bool fileExists(const std::string& path) const = 0;

  // Creates the directory and its missing parents (mode 0777 less the umask).
  // Success also when it exists already as a directory.
  virtual std::error_code createDirectory(const std::string& path) = 0;

  // Removes the file (not a directory) at `path`. An error when nothing is there.
  virtual std::error_code removeItem(const std::string& path) = 0;

  // Renames `source` over `destination` in one step: an existing destination
  // is replaced, never removed first. Both must be on one file system.
  virtual std::error_code replaceItem(const std::string& source, const std::string& destination) = 0;

  // Renames `source` to `destination`, which must not exist: an existing
  // destination is never replaced (the error is then EEXIST). Both must be on
  // one file system. For moving a file aside without losing another.
  virtual std::error_code moveItem(const std::string& source, const std::string& destination) = 0;

  // The names of the entries of the directory (without "." and ".."), in no
  // particular order; the error when it cannot be read.
  virtual Expected<std::vector<std::string>, std::error_code> contentsOfDirectory(const std::string& path) const = 0;

  // Flushes the file's data and metadata to stable storage.
  virtual std::error_code synchronizeFile(const std::string& path) = 0;

  // Flushes a directory, so that entries created or renamed in it survive a
  // power loss.
  virtual std::error_code synchronizeDirectory(const std::string& path) = 0;
};

// The file system itself.
class SystemFileManager : public FileManager {
 public:
  bool fileExists(const std::string& path) const override;
  std::error_code createDirectory(const std::string& path) override;
  std::error_code removeItem(const std::string& path) override;
  std::error_code replaceItem(const std::string& source, const std::string& destination) override;
  std::error_code moveItem(const std::string& source, const std::string& destination) override;
  Expected<std::vector<std::string>, std::error_code> contentsOfDirectory(const std::string& path) const override;
  std::error_code synchronizeFile(const std::string& path) override;
  std::error_code synchronizeDirectory(const std::string& path) override;
};

}  // namespace platform
