#pragma once

// A deliberately unhelpful peer of a service socket: it writes whatever bytes
// a test gives it, so tests can play truncated, oversized, garbage or silent
// clients against a listener, and watch how the connection ends.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileDescriptor.h"

namespace nimbra::test {

// A 4-byte big-endian length followed by `payload`.
std::string frame(std::string_view payload);
// Only the length header, claiming `length` bytes.
std::string frameHeader(std::uint32_t length);

// A binary property list of `depth` arrays nested inside each other (the
// innermost is empty), written by hand so that no encoder has to recurse.
std::string nestedBinaryArrays(std::size_t depth);
// The same nesting as an XML property list.
std::string nestedXmlArrays(std::size_t depth);
// A binary property list {"k": [s, s, ...]} whose array references one
// ASCII string s of `stringBytes` bytes `references` times: small on the
// wire, references x stringBytes once decoded naively.
std::string expandingBinaryList(std::size_t stringBytes, std::size_t references);

class RawPeer {
 public:
  // Connects to the Unix stream socket at `path`; nullopt when that fails.
  static std::optional<RawPeer> connect(const std::string& path);
  // Takes over a connected socket made elsewhere (say, by another process).
  static RawPeer adopt(int fd) { return RawPeer(fd); }

  RawPeer(RawPeer&& other) noexcept = default;
  RawPeer& operator=(RawPeer&& other) noexcept = default;
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  // Writes all of `bytes`; false when the service has gone.
  bool send(std::string_view bytes);
  // Ends the sending side (the service sees end of stream).
  void shutdownWrite();

  // Reads one frame's payload within `timeout`; nullopt on timeout or close.
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout);
  // True when the service closes the connection within `timeout`; bytes it
  // sends before that are discarded.
  bool waitForClose(std::chrono::milliseconds timeout);
  // True when, within `timeout`, the service neither closes nor sends.
  bool staysOpen(std::chrono::milliseconds timeout);

  int fd() const { return fd_.get(); }

 private:
  explicit RawPeer(int fd) : fd_(fd) {}
  platform::FileDescriptor fd_;
  std::string pending_;
};

}  // namespace nimbra::test
