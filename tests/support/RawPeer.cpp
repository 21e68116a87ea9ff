#include "tests/support/RawPeer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace nimbra::test {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void appendBigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

std::string frameHeader(std::uint32_t length) {
  std::string header;
  appendBigEndian(header, length, 4);
  return header;
}

std::string frame(std::string_view payload) {
  return frameHeader(static_cast<std::uint32_t>(payload.size())) + std::string(payload);
}

std::string nestedBinaryArrays(std::size_t depth) {
  // Object i is an array holding object i + 1; the last one is empty.
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i < depth; ++i) {
    offsets.push_back(out.size());
    if (i + 1 == depth) {
      out.push_back(static_cast<char>(0xA0));
    } else {
      out.push_back(static_cast<char>(0xA1));
      appendBigEndian(out, i + 1, 4);
    }
  }
  std::uint64_t tableOffset = out.size();
  for (auto offset : offsets) appendBigEndian(out, offset, 8);
  out.append(6, '\0');
  out.push_back(8);  // offset size
  out.push_back(4);  // object reference size
  appendBigEndian(out, depth, 8);
  appendBigEndian(out, 0, 8);
  appendBigEndian(out, tableOffset, 8);
  return out;
}

std::string expandingBinaryList(std::size_t stringBytes, std::size_t references) {
  // Objects: 0 the dictionary, 1 its key, 2 the array, 3 the string.
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  auto header = [&out](unsigned kind, std::uint64_t count) {
    out.push_back(static_cast<char>((kind << 4) | 0x0F));
    out.push_back(0x13);  // an 8-byte integer count follows
    appendBigEndian(out, count, 8);
  };
  offsets.push_back(out.size());
  out += "\xD1\x01\x02";
  offsets.push_back(out.size());
  out += "\x51k";
  offsets.push_back(out.size());
  header(0xA, references);
  out.append(references, '\x03');
  offsets.push_back(out.size());
  header(0x5, stringBytes);
  out.append(stringBytes, 'x');
  std::uint64_t tableOffset = out.size();
  for (auto offset : offsets) appendBigEndian(out, offset, 8);
  out.append(6, '\0');
  out.push_back(8);  // offset size
  out.push_back(1);  // object reference size
  appendBigEndian(out, offsets.size(), 8);
  appendBigEndian(out, 0, 8);
  appendBigEndian(out, tableOffset, 8);
  return out;
}

std::string nestedXmlArrays(std::size_t depth) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  for (std::size_t i = 0; i < depth; ++i) out += "<array>";
  for (std::size_t i = 0; i < depth; ++i) out += "</array>";
  out += "</plist>\n";
  return out;
}

std::optional<RawPeer> RawPeer::connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.data(), path.size());
  platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::nullopt;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return std::nullopt;
  return RawPeer(fd.release());
}

bool RawPeer::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void RawPeer::shutdownWrite() { ::shutdown(fd_.get(), SHUT_WR); }

std::optional<std::string> RawPeer::readFrame(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (pending_.size() >= 4) {
      auto b = reinterpret_cast<const unsigned char*>(pending_.data());
      std::size_t length = (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
      if (pending_.size() >= 4 + length) {
        std::string payload = pending_.substr(4, length);
        pending_.erase(0, 4 + length);
        return payload;
      }
    }
    pollfd p{fd_.get(), POLLIN, 0};
    int rc = ::poll(&p, 1, millisecondsUntil(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return std::nullopt;
    char buffer[64 * 1024];
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool RawPeer::waitForClose(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{fd_.get(), POLLIN, 0};
    int rc = ::poll(&p, 1, millisecondsUntil(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    char buffer[64 * 1024];
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
  }
}

bool RawPeer::staysOpen(std::chrono::milliseconds timeout) {
  pollfd p{fd_.get(), POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace nimbra::test
