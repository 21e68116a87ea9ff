#include "platform/PropertyList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/BinaryPropertyList.h"
#include "platform/XmlPropertyList.h"

namespace platform {

namespace {

Unexpected<PropertyListError> tooLarge(std::size_t maxBytes) {
  return unexpected(PropertyListError{"file is larger than " + std::to_string(maxBytes) + " bytes"});
}

Unexpected<PropertyListError> systemFailure(std::string_view what, int error) {
  return unexpected(PropertyListError{std::string(what) + ": " + std::strerror(error), error});
}

// Closes on scope exit; the descriptor may be released early to check close().
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Expected<Value, PropertyListError> PropertyList::decode(std::string_view bytes, const PropertyListLimits& limits) {
  if (BinaryPropertyList::hasMagic(bytes)) return BinaryPropertyList::decode(bytes, limits);
  std::size_t start = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  while (start < bytes.size() &&
         (bytes[start] == ' ' || bytes[start] == '\t' || bytes[start] == '\n' || bytes[start] == '\r')) {
    ++start;
  }
  if (start < bytes.size() && bytes[start] == '<') return XmlPropertyList::decode(bytes, limits);
  return unexpected(PropertyListError{"not a property list"});
}

std::string PropertyList::encodeBinary(const Value& value) {
  std::string out;
  BinaryPropertyList::encode(value, out);
  return out;
}

Expected<std::string, PropertyListError> PropertyList::encodeXml(const Value& value) {
  return XmlPropertyList::encode(value);
}

Expected<Value, PropertyListError> PropertyList::readFile(const std::string& path, const PropertyListLimits& limits,
                                                          std::size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return systemFailure("cannot open", errno);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return systemFailure("cannot stat", errno);
  if (!S_ISREG(info.st_mode)) return unexpected(PropertyListError{"not a regular file"});
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) return tooLarge(maxBytes);
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t filled = 0;
  for (;;) {
    // A file that grew since fstat is read up to the limit plus one byte, to notice it.
    if (filled == bytes.size()) {
      if (bytes.size() > maxBytes) return tooLarge(maxBytes);
      bytes.resize(std::min(maxBytes + 1, std::max<std::size_t>(bytes.size() * 2, 4096)));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return systemFailure("cannot read", errno);
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  bytes.resize(filled);
  return decode(bytes, limits);
}

Expected<void, PropertyListError> PropertyList::writeFileAtomically(const std::string& path, const Value& value,
                                                                   PropertyListFormat format, unsigned mode) {
  std::string bytes;
  if (format == PropertyListFormat::Binary) {
    BinaryPropertyList::encode(value, bytes);
  } else {
    auto xml = XmlPropertyList::encode(value);
    if (!xml) return unexpected(std::move(xml).error());
    bytes = std::move(xml).value();
  }

  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // A hidden name without the final extension: directory scans that pick up
  // "*.plist" never see a half-written file.
  std::string temporary = directory + "/." + name + ".XXXXXX";
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return systemFailure("cannot create temporary file", errno);

  struct Cleanup {
    const std::string& path;
    bool armed = true;
    ~Cleanup() {
      if (armed) ::unlink(path.c_str());
    }
  } cleanup{temporary};

  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) return systemFailure("cannot set mode", errno);
  if (!writeAll(fd.get(), bytes)) return systemFailure("cannot write", errno);
  if (::fsync(fd.get()) != 0) return systemFailure("cannot sync", errno);
  if (::close(fd.release()) != 0) return systemFailure("cannot close", errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return systemFailure("cannot rename into place", errno);
  cleanup.armed = false;

  // The rename is durable only once the directory entry is on disk.
  FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return systemFailure("cannot open directory to sync", errno);
  if (::fsync(dir.get()) != 0) return systemFailure("cannot sync directory", errno);
  return {};
}

}  // namespace platform
