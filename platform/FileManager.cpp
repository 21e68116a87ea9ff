#include "platform/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/FileDescriptor.h"

namespace platform {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// fsync of whatever `path` names; O_NONBLOCK so that a FIFO put in its place
// cannot hang the caller.
std::error_code synchronize(const std::string& path, int flags) {
  FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return lastError();
  if (::fsync(fd.get()) != 0) return lastError();
  return {};
}

}  // namespace

FileManager& FileManager::defaultManager() {
  static SystemFileManager manager;
  return manager;
}

bool SystemFileManager::fileExists(const std::string& path) const {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

std::error_code SystemFileManager::createDirectory(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) return error;
  if (!std::filesystem::is_directory(path, error)) return error ? error : std::make_error_code(std::errc::not_a_directory);
  return {};
}

std::error_code SystemFileManager::removeItem(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return lastError();
  return {};
}

std::error_code SystemFileManager::replaceItem(const std::string& source, const std::string& destination) {
  if (::rename(source.c_str(), destination.c_str()) != 0) return lastError();
  return {};
}

std::error_code SystemFileManager::moveItem(const std::string& source, const std::string& destination) {
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return lastError();
  // A file system without the no-replace flag: a hard link cannot replace
  // either; the source name is removed once the new one exists.
  if (::link(source.c_str(), destination.c_str()) != 0) return lastError();
  if (::unlink(source.c_str()) != 0) {
    std::error_code error = lastError();
    ::unlink(destination.c_str());
    return error;
  }
  return {};
}

Expected<std::vector<std::string>, std::error_code> SystemFileManager::contentsOfDirectory(
    const std::string& path) const {
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return unexpected(lastError());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(directory);
  return names;
}

std::error_code SystemFileManager::synchronizeFile(const std::string& path) { return synchronize(path, O_RDONLY); }

std::error_code SystemFileManager::synchronizeDirectory(const std::string& path) {
  return synchronize(path, O_RDONLY | O_DIRECTORY);
}

}  // namespace platform
