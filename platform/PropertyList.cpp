#include "platform/PropertyList.h"
#include "platform/FileDescriptor.h"
#include "platform/FileProbe.h"

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

Unexpected<PropertyListError> systemFailure(std::string_view what, int error) {
  return unexpected(PropertyListError{std::string(what) + ": " + std::strerror(error), error});
}

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
  auto bytes = files::read(path, maxBytes);
  if (!bytes) return unexpected(PropertyListError{bytes.error().message, bytes.error().errorNumber});
  return decode(*bytes, limits);
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
