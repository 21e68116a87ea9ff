#pragma once

// One message with descriptors attached (SCM_RIGHTS) on a Unix socket, as the
// daemon's helper processes and their tests exchange them. Both functions
// make system calls only: they may run in a child forked from a process with
// several threads.

#include <sys/types.h>

#include <cstddef>

namespace platform {

// Sends `size` bytes of `data` with the `count` descriptors of `fds` (up to
// 2) as one message, retrying on EINTR; sendmsg's result.
ssize_t sendWithDescriptors(int socket, const void* data, std::size_t size, const int* fds, std::size_t count);

// Receives one message of up to `size` bytes into `data`, and up to
// `maxFds` (at most 2) descriptors into `fds` (close-on-exec; the others set
// to -1), retrying on EINTR; recvmsg's result. The caller owns what arrives.
ssize_t receiveWithDescriptors(int socket, void* data, std::size_t size, int* fds, std::size_t maxFds);

}  // namespace platform
