#include "bench/support/RawEchoServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace nimbra::bench {

RawEchoServer::RawEchoServer(const std::string& path) : path_(path) {
  fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ::unlink(path.c_str());
  if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_.get(), 64) != 0) {
    std::perror("raw echo server");
    std::exit(1);
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
  acceptor_.detach();
}

void RawEchoServer::acceptLoop() {
  for (;;) {
    platform::FileDescriptor client(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return;
    std::thread([client = std::move(client)]() mutable { echo(std::move(client)); }).detach();
  }
}

void RawEchoServer::echo(platform::FileDescriptor connection) {
  const int fd = connection.get();
  std::vector<char> buffer(256 * 1024);
  std::size_t used = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
    std::size_t complete = 0;
    while (used - complete >= 4) {
      auto b = reinterpret_cast<unsigned char*>(buffer.data() + complete);
      std::size_t length = (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
      if (used - complete < 4 + length) break;
      complete += 4 + length;
    }
    for (std::size_t sent = 0; sent < complete;) {
      ssize_t w = ::write(fd, buffer.data() + sent, complete - sent);
      if (w <= 0) return;
      sent += static_cast<std::size_t>(w);
    }
    std::memmove(buffer.data(), buffer.data() + complete, used - complete);
    used -= complete;
  }
}

}  // namespace nimbra::bench
