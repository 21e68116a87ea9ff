#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/Directories.h"
#include "platform/Log.h"
#include "platform/MemoryPressureSource.h"
#include "platform/Sandbox.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDirectory.h"

using namespace platform;
using nimbra::test::ScopedEnv;
namespace sandbox = platform::sandbox;

namespace {

bool landlockAvailable() {
  return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U /* LANDLOCK_CREATE_RULESET_VERSION */) > 0;
}

// Runs `body` in a forked child, which has a single thread whatever the test
// process runs, and returns its exit status. The child reports the first
// failed check on standard error and exits with 1.
int inChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) std::_Exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define CHILD_CHECK(condition)                                                                    \
  do {                                                                                            \
    if (!(condition)) {                                                                           \
      std::fprintf(stderr, "child check failed at line %d: %s (errno %s)\n", __LINE__, #condition, \
                   std::strerror(errno));                                                         \
      return 1;                                                                                   \
    }                                                                                             \
  } while (0)

// Result of an operation in the sandbox: 0 or the errno it failed with.
int createFile(const std::string& path) {
  platform::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  return fd ? 0 : errno;
}
int readFile(const std::string& path) {
  platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  char byte;
  return ::read(fd.get(), &byte, 1) < 0 ? errno : 0;
}
int truncateFile(const std::string& path) {
  platform::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  return fd ? 0 : errno;
}
int bindSocket(const std::string& path) {
  platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
}
int makeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno; }
int removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

// An identifier of this test run, so that /tmp/<identifier> is ours alone.
std::string uniqueIdentifier(const char* what) {
  return std::string("com.corvane.nimbrad.test.") + what + "." + std::to_string(::getpid());
}

// Removes /tmp/<identifier> when the test ends.
struct TmpCleanup {
  std::string path;
  ~TmpCleanup() {
    if (path.rfind("/tmp/com.corvane.nimbrad.test.", 0) != 0) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

mode_t modeOf(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

}  // namespace

TEST(SandboxUserDirectories, AreCreatedPrivateWithATrailingSlashAndRecreatedWhenRemoved) {
  nimbra::test::TempDirectory cache;
  ScopedEnv cacheEnv("CACHE_DIRECTORY", cache.file("root"));
  const std::string id = uniqueIdentifier("dirs");
  TmpCleanup cleanup{"/tmp/" + id};

  mode_t previous = ::umask(0);
  bool ok = sandbox::setUserDirSuffix(id);
  ::umask(previous);
  ASSERT_TRUE(ok);
  auto temp = sandbox::userTempDirectory();
  auto cached = sandbox::userCacheDirectory();
  ASSERT_TRUE(temp && cached);
  EXPECT_EQ(*temp, "/tmp/" + id + "/");
  EXPECT_EQ(*cached, cache.file("root") + "/" + id + "/");
  for (const auto& dir : {*temp, *cached}) {
    EXPECT_TRUE(S_ISDIR(modeOf(dir))) << dir;
    EXPECT_EQ(modeOf(dir) & 07777, 0700u) << dir;
  }

  ASSERT_EQ(::rmdir(temp->c_str()), 0);
  EXPECT_EQ(sandbox::userTempDirectory(), temp);
  EXPECT_TRUE(S_ISDIR(modeOf(*temp)));

  // A directory of ours with a wider mode is tightened, not refused.
  ASSERT_EQ(::chmod(temp->c_str(), 0777), 0);
  ASSERT_TRUE(sandbox::setUserDirSuffix(id));
  EXPECT_EQ(modeOf(*temp) & 07777, 0700u);
}

TEST(SandboxUserDirectories, RefuseWhatCouldBeAnotherUsersTrap) {
  nimbra::test::TempDirectory scratch;
  ScopedEnv cacheEnv("CACHE_DIRECTORY", scratch.makeDirectory("cache"));
  nimbra::test::LogCapture capture(LogLevel::Default);

  struct Case {
    const char* what;
    std::string identifier;
    std::function<bool(const std::string& tmpPath, const std::string& cachePath)> prepare;
    const char* logged;
    bool needsRoot = false;
  };
  const std::string target = scratch.makeDirectory("target");
  const Case cases[] = {
      {"temporary directory is a symbolic link", uniqueIdentifier("link"),
       [&](const std::string& tmp, const std::string&) { return ::symlink(target.c_str(), tmp.c_str()) == 0; },
       "is not a directory (or is a symbolic link)"},
      {"temporary directory is a file", uniqueIdentifier("file"),
       [&](const std::string& tmp, const std::string&) { return createFile(tmp) == 0; },
       "is not a directory (or is a symbolic link)"},
      {"cache directory is a symbolic link", uniqueIdentifier("cachelink"),
       [&](const std::string&, const std::string& cachePath) {
         return ::symlink(target.c_str(), cachePath.c_str()) == 0;
       },
       "is not a directory (or is a symbolic link)"},
      {"temporary directory owned by someone else", uniqueIdentifier("foreign"),
       [&](const std::string& tmp, const std::string&) {
         return ::mkdir(tmp.c_str(), 0700) == 0 && ::chown(tmp.c_str(), 65534, 65534) == 0;
       },
       "is owned by uid 65534", true},
      {"empty identifier", "", nullptr, "Invalid user directory suffix"},
      {"identifier with a slash", "a/b", nullptr, "Invalid user directory suffix"},
      {"parent directory", "..", nullptr, "Invalid user directory suffix"},
  };
  for (const Case& c : cases) {
    if (c.needsRoot && ::geteuid() != 0) continue;
    const std::string tmpPath = "/tmp/" + c.identifier;
    // Only the directories this test made are removed ("/tmp/.." is not one).
    TmpCleanup cleanup{c.prepare ? tmpPath : std::string()};
    if (c.prepare) {
      ASSERT_TRUE(c.prepare(tmpPath, scratch.file("cache/" + c.identifier))) << c.what << ": " << std::strerror(errno);
    }
    capture->clear();
    EXPECT_FALSE(sandbox::setUserDirSuffix(c.identifier)) << c.what;
    EXPECT_TRUE(capture->contains(c.logged)) << c.what;
  }
  // Nothing planted was followed: the link target stayed empty.
  EXPECT_TRUE(std::filesystem::is_empty(target));
}

TEST(SandboxProfile, BrokenProfilesAndArgumentsFailWithAMessage) {
  nimbra::test::TempDirectory dir;
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
  const std::string tail = "</plist>";
  auto profile = [&](const std::string& name, const std::string& body) { return dir.write(name, head + body + tail); };
  struct Case {
    const char* what;
    std::string path;
    std::vector<const char*> parameters;
    const char* message;
  };
  const Case cases[] = {
      {"missing file", dir.file("missing.plist"), {}, "cannot read sandbox profile"},
      {"not a property list", dir.write("garbage.plist", "not a plist"), {}, "cannot read sandbox profile"},
      {"root is an array", profile("array.plist", "<array/>"), {}, "is not a dictionary"},
      {"misspelt key", profile("key.plist", "<dict><key>wirte</key><array/></dict>"), {}, "unknown key \"wirte\""},
      {"value is not an array", profile("value.plist", "<dict><key>read</key><string>/</string></dict>"), {},
       "is not an array"},
      {"entry is not a string", profile("entry.plist", "<dict><key>read</key><array><integer>1</integer></array></dict>"),
       {}, "not a path"},
      {"unknown variable", profile("var.plist", "<dict><key>write</key><array><string>${NOPE}/x</string></array></dict>"),
       {}, "unknown variable ${NOPE}"},
      {"unterminated variable",
       profile("open.plist", "<dict><key>write</key><array><string>${HOME</string></array></dict>"), {},
       "unterminated variable"},
      {"relative path", profile("rel.plist", "<dict><key>read</key><array><string>etc</string></array></dict>"), {},
       "is not an absolute path"},
      {"relative after substitution",
       profile("relsub.plist", "<dict><key>read</key><array><string>${X}</string></array></dict>"), {"X", "rel"},
       "is not an absolute path"},
      {"parameter without value", profile("ok.plist", "<dict/>"), {"HOME"}, "has no value"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> parameters = c.parameters;
    parameters.push_back(nullptr);
    char* error = nullptr;
    EXPECT_EQ(sandbox::initWithProfileFile(c.path, parameters.data(), &error), -1) << c.what;
    ASSERT_NE(error, nullptr) << c.what;
    EXPECT_NE(std::string(error).find(c.message), std::string::npos) << c.what << ": " << error;
    sandbox::freeError(error);
  }

  const char* none[] = {nullptr};
  struct Named {
    const char* profile;
    unsigned long long flags;
    const char* message;
  };
  const Named named[] = {
      {"com.corvane.nimbrad.missing", sandbox::kSandboxNamed, "cannot read sandbox profile"},
      {"../com.corvane.nimbrad", sandbox::kSandboxNamed, "invalid sandbox profile name"},
      {"com.corvane.nimbrad", 0, "unsupported sandbox flags"},
  };
  for (const Named& n : named) {
    char* error = nullptr;
    EXPECT_EQ(sandbox::initWithParameters(n.profile, n.flags, none, &error), -1) << n.profile;
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error).find(n.message), std::string::npos) << error;
    sandbox::freeError(error);
  }
  // No buffer: the failure is still reported.
  EXPECT_EQ(sandbox::initWithParameters("com.corvane.nimbrad.missing", sandbox::kSandboxNamed, none, nullptr), -1);
}

TEST(SandboxProfile, ConfinedProcessReadsAnywhereAndWritesOnlyBeneathWritePaths) {
  if (!landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this kernel";
  nimbra::test::TempDirectory dir;
  const std::string writable = dir.makeDirectory("writable");
  const std::string outside = dir.makeDirectory("outside");
  const std::string existing = dir.write("outside/existing", "data");
  const std::string profile = dir.write("profile.plist",
                                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                        "<key>read</key><array><string>/</string></array>"
                                        "<key>write</key><array><string>${W}</string><string>${W}/missing</string>"
                                        "<string>${MEMORY_PRESSURE}</string></array>"
                                        "</dict></plist>");
  const bool pressure = ::access("/proc/pressure/memory", W_OK) == 0;

  int status = inChild([&] {
    const char* parameters[] = {"W", writable.c_str(), nullptr};
    char* error = nullptr;
    int result = sandbox::initWithProfileFile(profile, parameters, &error);
    if (result != 0) std::fprintf(stderr, "initWithProfileFile: %s\n", error ? error : "(no error)");
    CHILD_CHECK(result == 0);

    CHILD_CHECK(readFile(existing) == 0);
    CHILD_CHECK(readFile("/proc/self/status") == 0);
    DIR* root = ::opendir("/");
    CHILD_CHECK(root != nullptr);
    ::closedir(root);
    CHILD_CHECK(createFile(outside + "/new") == EACCES);
    CHILD_CHECK(truncateFile(existing) == EACCES);
    CHILD_CHECK(makeDirectory(outside + "/dir") == EACCES);
    CHILD_CHECK(removeFile(existing) == EACCES);
    CHILD_CHECK(bindSocket(outside + "/socket") == EACCES);
    CHILD_CHECK(createFile(dir.file("beside")) == EACCES);

    CHILD_CHECK(createFile(writable + "/new") == 0);
    CHILD_CHECK(truncateFile(writable + "/new") == 0);
    CHILD_CHECK(makeDirectory(writable + "/dir") == 0);
    CHILD_CHECK(createFile(writable + "/dir/deeper") == 0);
    CHILD_CHECK(::rename((writable + "/dir/deeper").c_str(), (writable + "/moved").c_str()) == 0);
    CHILD_CHECK(bindSocket(writable + "/socket") == 0);
    CHILD_CHECK(removeFile(writable + "/socket") == 0);
    CHILD_CHECK(removeFile(writable + "/new") == 0);
    // The confinement is inherited by what the process starts.
    CHILD_CHECK(inChild([&] { return createFile(outside + "/grandchild") == EACCES ? 0 : 1; }) == 0);
    if (pressure) {
      std::string why;
      auto source = MemoryPressureSource::watch("/proc/pressure/memory", DispatchQueue::makeSerial("t"), [] {}, &why);
      if (!source) std::fprintf(stderr, "memory pressure: %s\n", why.c_str());
      CHILD_CHECK(source != nullptr);
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(std::filesystem::exists(outside + "/new"));
  EXPECT_TRUE(std::filesystem::exists(writable + "/moved"));
}

TEST(SandboxProfile, ShippedDaemonProfileConfinesWritesToTheDaemonsDirectories) {
  if (!landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this kernel";
  nimbra::test::TempDirectory dir;
  const std::string state = dir.makeDirectory("state");
  const std::string runtime = dir.makeDirectory("runtime");
  const std::string cache = dir.makeDirectory("cache");
  const std::string configuration = dir.makeDirectory("configuration");
  const std::string settings = dir.write("configuration/com.corvane.nimbrad.plist", "<plist/>");
  const std::string id = uniqueIdentifier("shipped");
  TmpCleanup cleanup{"/tmp/" + id};

  int status = inChild([&] {
    ::setenv("STATE_DIRECTORY", state.c_str(), 1);
    ::setenv("RUNTIME_DIRECTORY", runtime.c_str(), 1);
    ::setenv("CACHE_DIRECTORY", cache.c_str(), 1);
    ::setenv("CONFIGURATION_DIRECTORY", configuration.c_str(), 1);
    CHILD_CHECK(sandbox::setUserDirSuffix(id));
    auto tmp = sandbox::userTempDirectory();
    auto darwinCache = sandbox::userCacheDirectory();
    CHILD_CHECK(tmp && darwinCache);
    auto tmpReal = sandbox::realPath(*tmp);
    auto cacheReal = sandbox::realPath(*darwinCache);
    CHILD_CHECK(tmpReal && cacheReal);
    const char* parameters[] = {"HOME", "/nonexistent", "TMPDIR", tmpReal->c_str(), "DARWIN_CACHE_DIR",
                                cacheReal->c_str(), nullptr};
    char* error = nullptr;
    int result = sandbox::initWithParameters("com.corvane.nimbrad", sandbox::kSandboxNamed, parameters, &error);
    if (result != 0) std::fprintf(stderr, "initWithParameters: %s\n", error ? error : "(no error)");
    CHILD_CHECK(result == 0);

    CHILD_CHECK(readFile(settings) == 0);
    CHILD_CHECK(readFile(directories::resources() + "/sandbox/com.corvane.nimbrad.plist") == 0);
    CHILD_CHECK(readFile(directories::executablePath()) == 0);
    CHILD_CHECK(createFile(state + "/nimbra.db.tmp") == 0);
    CHILD_CHECK(::rename((state + "/nimbra.db.tmp").c_str(), (state + "/nimbra.db").c_str()) == 0);
    CHILD_CHECK(bindSocket(runtime + "/notify") == 0);
    CHILD_CHECK(createFile(cache + "/entry") == 0);
    CHILD_CHECK(createFile(*tmpReal + "/scratch") == 0);
    CHILD_CHECK(createFile(*cacheReal + "/scratch") == 0);
    CHILD_CHECK(createFile(configuration + "/com.corvane.nimbra.policy.plist") == EACCES);
    CHILD_CHECK(truncateFile(settings) == EACCES);
    CHILD_CHECK(createFile(dir.file("elsewhere")) == EACCES);
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST(SandboxProfile, KernelWithoutLandlockRunsUnsandboxedWithAnErrorLine) {
  nimbra::test::TempDirectory dir;
  const std::string profile = dir.write("profile.plist",
                                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                        "<key>read</key><array><string>/</string></array></dict></plist>");
  int status = inChild([&] {
    // Make the Landlock calls fail as they do on a kernel built without it.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_landlock_create_ruleset, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    CHILD_CHECK(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0);
    CHILD_CHECK(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0);

    auto capture = std::make_shared<CaptureLogSink>();
    logging::setSink(capture);
    const char* none[] = {nullptr};
    CHILD_CHECK(sandbox::initWithProfileFile(profile, none, nullptr) == 0);
    auto lines = capture->lines();
    CHILD_CHECK(lines.size() == 1 && lines[0].level == LogLevel::Error &&
                lines[0].message == "<nimbrad: Sandbox> Landlock is not available on this kernel; running unsandboxed");
    CHILD_CHECK(createFile(dir.file("unconfined")) == 0);
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST(SandboxProfile, RefusesAProcessThatAlreadyRunsSeveralThreads) {
  if (!landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this kernel";
  nimbra::test::TempDirectory dir;
  const std::string profile = dir.write("profile.plist",
                                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                        "<key>read</key><array><string>/</string></array></dict></plist>");
  int status = inChild([&] {
    // A thread started before the sandbox would keep full access.
    std::atomic<bool> release{false};
    std::thread other([&] {
      while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    const char* none[] = {nullptr};
    char* error = nullptr;
    int result = sandbox::initWithProfileFile(profile, none, &error);
    release = true;
    other.join();
    CHILD_CHECK(result == -1 && error != nullptr && std::strstr(error, "the process runs 2 threads") != nullptr);
    sandbox::freeError(error);
    CHILD_CHECK(createFile(dir.file("still-unconfined")) == 0);
    return 0;
  });
  EXPECT_EQ(status, 0);
}

namespace {

// 0 or the errno of connecting a new stream socket of `family` to `address`.
int connectTo(int family, const void* address, socklen_t length) {
  platform::FileDescriptor fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return ::connect(fd.get(), static_cast<const sockaddr*>(address), length) == 0 ? 0 : errno;
}

}  // namespace

TEST(SandboxProfile, TcpAndAbstractSocketsAreDeniedWhereTheKernelCanButSignalsAreNot) {
  if (!landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this kernel";
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
  nimbra::test::TempDirectory dir;
  const std::string profile = dir.write("profile.plist",
                                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                        "<key>read</key><array><string>/</string></array></dict></plist>");
  // Listeners made outside the sandbox: TCP on loopback, an abstract and a
  // path Unix socket.
  platform::FileDescriptor tcpListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int tcp = tcpListener.get();
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t loopbackLength = sizeof loopback;
  ASSERT_EQ(::bind(tcp, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
  ASSERT_EQ(::listen(tcp, 8), 0);
  ASSERT_EQ(::getsockname(tcp, reinterpret_cast<sockaddr*>(&loopback), &loopbackLength), 0);
  const std::string abstractName = "nimbra-sandbox-test-" + std::to_string(::getpid());
  sockaddr_un abstract{};
  abstract.sun_family = AF_UNIX;
  std::memcpy(abstract.sun_path + 1, abstractName.data(), abstractName.size());
  const auto abstractLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size());
  platform::FileDescriptor abstractListener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(abstractListener.get(), reinterpret_cast<sockaddr*>(&abstract), abstractLength), 0);
  ASSERT_EQ(::listen(abstractListener.get(), 8), 0);
  sockaddr_un named{};
  named.sun_family = AF_UNIX;
  const std::string namedPath = dir.file("named.socket");
  std::strncpy(named.sun_path, namedPath.c_str(), sizeof named.sun_path - 1);
  platform::FileDescriptor namedListener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(namedListener.get(), reinterpret_cast<sockaddr*>(&named), sizeof named), 0);
  ASSERT_EQ(::listen(namedListener.get(), 8), 0);

  auto confinedChild = [&](int expectedAbstract) {
    return inChild([&] {
      const char* none[] = {nullptr};
      char* error = nullptr;
      CHILD_CHECK(sandbox::initWithProfileFile(profile, none, &error) == 0);
      const int expectedTcp = abi >= 4 ? EACCES : 0;
      CHILD_CHECK(connectTo(AF_INET, &loopback, sizeof loopback) == expectedTcp);
      platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      CHILD_CHECK((::bind(fd.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 ? 0 : errno) == expectedTcp);
      CHILD_CHECK(connectTo(AF_UNIX, &abstract, abstractLength) == expectedAbstract);
      CHILD_CHECK(connectTo(AF_UNIX, &named, sizeof named) == 0);
      // Signals stay unscoped: the parent lives outside the domain.
      CHILD_CHECK(::kill(::getppid(), 0) == 0);
      return 0;
    });
  };
  EXPECT_EQ(confinedChild(abi >= 6 ? EPERM : 0), 0);
  {
    // An abstract notification socket must stay reachable for readiness.
    ScopedEnv notify("NOTIFY_SOCKET", "@" + abstractName);
    EXPECT_EQ(confinedChild(0), 0);
  }
}
