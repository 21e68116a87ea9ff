// Entry point of the daemon: a readable sequence of start-up steps.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "nimbrad/Nimbrad.h"
#include "nimbrad/SandboxedService.h"
#include "platform/DarwinNotifyCenter.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/PeerInspector.h"
#include "platform/Systemd.h"
#include "platform/UserDefaults.h"

namespace {

using nimbra::Nimbrad;

// The one main object, reachable from the exit hook (which takes no context).
// Never released.
std::shared_ptr<Nimbrad>* gDaemon = nullptr;

void exitHook() {
  if (gDaemon != nullptr && *gDaemon) (*gDaemon)->finalSave();
}

// The log threshold comes from "logLevel" in the daemon's defaults domain.
void configureLogging() {
  auto level = platform::UserDefaults::standard(Nimbrad::kSandboxIdentifier).object("logLevel");
  if (!level) return;
  const std::string* text = level->asString();
  auto parsed = text ? platform::parseLogLevel(*text) : std::nullopt;
  if (parsed) {
    platform::logging::setThreshold(*parsed);
  } else {
    platform::Logger::defaultLog().error("<nimbrad> Ignoring invalid logLevel {}; using default",
                                         level->description());
  }
}

// A daemon that serves nothing must not report itself ready, so that the
// service manager restarts it; a socket it was given and does not serve is as
// fatal as one it could not create.
bool everyServiceListens(const Nimbrad& daemon) {
  constexpr std::size_t kServices = 6;
  bool complete = daemon.listenerCount() == kServices;
  for (const auto& name : platform::systemd::untakenListeningSockets()) {
    platform::Logger::defaultLog().error("<nimbrad> The service manager passed a socket named {} that no service uses",
                                         name);
    complete = false;
  }
  if (!complete) platform::Logger::defaultLog().fault("<nimbrad> Not every service is listening; exiting");
  return complete;
}

}  // namespace

int main() {
  const std::string identifier = Nimbrad::kSandboxIdentifier;
  const auto& log = platform::Logger::defaultLog();

  if (getppid() != 1) {
    log.error("Error: This service may only be launched by launchd.\n");
    // Someone typed the command: say what stands in for launchd here.
    if (::isatty(STDERR_FILENO) == 1) {
      std::fputs("nimbrad: on Linux, systemd starts it (systemctl start nimbrad); to try it by hand, run "
                 "scripts/demo.sh from the source tree.\n",
                 stderr);
    }
    return -1;
  }
  configureLogging();
  log.notice("<nimbrad>: Starting nimbrad");

  // Peer executables can no longer be read once the sandbox is in force, not
  // even by a process forked later: the inspectors come from a spawner forked
  // now. Without them no client could ever be identified.
  auto inspector = platform::PeerInspector::start();
  if (!inspector) {
    log.fault("<nimbrad> Cannot start the peer inspector: {}", inspector.error());
    return EXIT_FAILURE;
  }
  (*inspector)->setExhaustionHandler([] { std::exit(EXIT_FAILURE); });
  platform::PeerInspector::install(std::move(inspector).value());

  nimbra::SandboxedService::enterSandbox(identifier);

  auto notify = platform::DarwinNotifyCenter::shared().start(platform::DarwinNotifyCenter::defaultSocketPath());
  if (!notify) log.error("<nimbrad> Darwin notifications unavailable: {}", notify.error());

  gDaemon = new std::shared_ptr<Nimbrad>(Nimbrad::create());
  std::atexit(exitHook);
  Nimbrad& daemon = **gDaemon;
  daemon.processListDataStore()->setExclusionRulesProvider(daemon.exclusionRulesProvider());
  daemon.processListDataStore()->loadDatabase();

  daemon.registerVelmoraEventListener();
  daemon.registerDatabaseListener();
  daemon.registerProcessReporterListener();
  daemon.registerUnsupportedAppsListener();
  daemon.registerDeprecationWarningListener();
  daemon.registerSupportedVelmoraUsageListener();
  if (!everyServiceListens(daemon)) return EXIT_FAILURE;
  daemon.registerBackgroundTasks();
  daemon.setupPolicyObservation();
  daemon.registerSignalHandlers();

  platform::systemd::notifyReady();
  platform::DispatchRuntime::shared().runMainLoop();
}
