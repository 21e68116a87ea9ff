#pragma once

// The baseline of the transport benchmarks: a plain Unix-socket server that
// sends every complete frame back unchanged.

#include <string>
#include <thread>

#include "platform/FileDescriptor.h"

namespace nimbra::bench {

// One blocking thread per connection that reads what is there and writes
// every complete frame back in one write. Lives until the process ends.
class RawEchoServer {
 public:
  explicit RawEchoServer(const std::string& path);

 private:
  void acceptLoop();
  static void echo(platform::FileDescriptor connection);

  std::string path_;
  platform::FileDescriptor fd_;
  std::thread acceptor_;
};

}  // namespace nimbra::bench
