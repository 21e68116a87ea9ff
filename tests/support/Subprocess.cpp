#include "tests/support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileDescriptor.h"

extern char** environ;

namespace nimbra::test {

namespace {

struct Pipe {
  platform::FileDescriptor read;
  platform::FileDescriptor write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read.reset(fds[0]);
      write.reset(fds[1]);
    }
  }
};

}  // namespace

namespace {

ProcessResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                  const std::string& input, std::chrono::milliseconds timeout,
                  const std::vector<std::pair<std::string, int>>& sockets) {
  ProcessResult result;
  if (argv.empty()) return result;

  // Everything the child needs is built before fork: only async-signal-safe
  // calls may follow it in a threaded process.
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : environment) merged[key] = value;
  // Passed sockets go to high descriptors first, so that moving them to 3, 4,
  // ... in the child never overwrites one that is still to be moved.
  std::vector<platform::FileDescriptor> passed;
  if (!sockets.empty()) {
    std::string names;
    for (const auto& [name, fd] : sockets) {
      names += (names.empty() ? "" : ":") + name;
      passed.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 100));
    }
    merged["LISTEN_FDS"] = std::to_string(sockets.size());
    merged["LISTEN_FDNAMES"] = names;
    merged.erase("LISTEN_PID");
  }
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : merged) envStrings.push_back(key + "=" + value);
  // The child's own process id is only known after fork; its digits are
  // written into this entry there.
  if (!sockets.empty()) envStrings.push_back("LISTEN_PID=" + std::string(20, '\0'));
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  Pipe in, out, err;
  pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    ::dup2(in.read.get(), STDIN_FILENO);
    ::dup2(out.write.get(), STDOUT_FILENO);
    ::dup2(err.write.get(), STDERR_FILENO);
    for (std::size_t i = 0; i < passed.size(); ++i) ::dup2(passed[i].get(), 3 + static_cast<int>(i));
    if (!passed.empty()) {
      char* digits = envp[envp.size() - 2] + std::strlen("LISTEN_PID=");
      char reversed[20];
      int count = 0;
      for (unsigned long value = static_cast<unsigned long>(::getpid()); value > 0 || count == 0; value /= 10) {
        reversed[count++] = static_cast<char>('0' + value % 10);
      }
      for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
      digits[count] = '\0';
    }
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  in.read.reset();
  out.write.reset();
  err.write.reset();
  passed.clear();
  ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);

  std::size_t written = 0;
  if (input.empty()) in.write.reset();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.read || err.read) {
    pollfd fds[3];
    int n = 0;
    int outIndex = -1, errIndex = -1, inIndex = -1;
    if (out.read) fds[outIndex = n++] = {out.read.get(), POLLIN, 0};
    if (err.read) fds[errIndex = n++] = {err.read.get(), POLLIN, 0};
    if (in.write) fds[inIndex = n++] = {in.write.get(), POLLOUT, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    int rc = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) break;
    auto drain = [](platform::FileDescriptor& fd, std::string& into) {
      char buffer[16 * 1024];
      ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
      if (got > 0) {
        into.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fd.reset();
      }
    };
    if (outIndex >= 0 && fds[outIndex].revents != 0) drain(out.read, result.out);
    if (errIndex >= 0 && fds[errIndex].revents != 0) drain(err.read, result.err);
    if (inIndex >= 0 && fds[inIndex].revents != 0) {
      ssize_t put = ::write(in.write.get(), input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written >= input.size()) in.write.reset();
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = !result.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                         const std::string& input, std::chrono::milliseconds timeout) {
  return run(argv, environment, input, timeout, {});
}

ProcessResult runActivated(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, int>>& sockets,
                           const std::map<std::string, std::string>& environment, std::chrono::milliseconds timeout) {
  return run(argv, environment, {}, timeout, sockets);
}

}  // namespace nimbra::test
