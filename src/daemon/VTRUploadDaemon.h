// VTRUploadDaemon: the daemon process's spine. start() runs the fixed start-up sequence (help,
// network wait, logging, extra certificate authorities, crash handlers, job store and job service,
// the check for another daemon, the HTTP server, the locator files, readiness to the service
// manager) and then the main run loop for the rest of the process's life. Main thread only; one
// per process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/VTRApplicationSupport.h"
#include "daemon/VTRCommandLine.h"
#include "daemon/VTRUploadDaemonLocator.h"
#include "logging/VTRFileLogDestination.h"

namespace vtr {

class HTTPBandwidthLimiter;
class HTTPCertificateAuthorities;
class HTTPServer;
class Reachability;
class VTREventHub;
class VTRMetrics;
class VTRRemoteUploadJobService;
class VTRStoreCoordinator;
class VTRUploadDaemonConnectionEnvironment;
class VTRUploadLimitSettings;

// Fixed durations and places; the executable uses these defaults, tests pass their own.
struct VTRUploadDaemonSettings {
    std::chrono::milliseconds networkWait{3000};
    std::chrono::milliseconds otherDaemonWait{3000};
    std::chrono::milliseconds locatorLatency = VTRFileEventsHelper::kDefaultLatency;
    std::chrono::milliseconds exitReportDelay = VTRProcessTerminationTracker::kDefaultDelay;
    VTRFileLogSettings logFiles;
    VTREnvironmentLookup environment;  // for the application-support directory; null: the real one
    bool installCrashHandlers = true;
};

class VTRUploadDaemon : private VTRUploadDaemonLocatorDelegate {
  public:
    explicit VTRUploadDaemon(std::vector<std::string> arguments,
                             VTRUploadDaemonSettings settings = {});
    ~VTRUploadDaemon() override;
    VTRUploadDaemon(const VTRUploadDaemon&) = delete;
    VTRUploadDaemon& operator=(const VTRUploadDaemon&) = delete;

    // The daemon of this process, or nullptr.
    static VTRUploadDaemon* instance();

    // True only when the main run loop returned after a full start; false on every failure and
    // after printing help.
    bool start();

    void showHelp();
    bool configureLogging();
    // Reads the certificate authorities "-c FILE" names, trusted for the recording service
    // besides the system's store; false (logged) when the file cannot be used.
    bool loadCertificateAuthorities();
    void configureSignalAndExceptionHandling();
    bool configurePersistentStorage();
    // The store file's path inside the per-user data directory; nothing on failure (logged).
    std::optional<std::string> URLForPersistentStore();
    // False (logged) when the stored upload limit cannot be read or the new one stored.
    bool configureConnectionEnvironment();
    void checkForRunningDaemons();
    void stopLocator();
    std::unique_ptr<HTTPServer> configureHTTPServer();
    void reachabilityChanged(Reachability& reachability);

    const std::vector<std::string>& arguments() const { return commandLine_.arguments(); }
    int64_t otherDaemonPort() const { return otherDaemonPort_; }
    bool networkAvailableForStartup() const { return networkAvailableForStartup_; }
    VTRUploadDaemonLocator* locator() { return locator_.get(); }

  private:
    // The rate given with "-b", or nothing when it is absent or not a rate.
    std::optional<uint64_t> uploadLimitArgument() const;
    void locatorFoundLocalServiceWithPort(VTRUploadDaemonLocator& locator, int64_t port) override;
    void locatorRemovedLocalService(VTRUploadDaemonLocator& locator) override;
    // From the crash handler's thread.
    void deleteLocatorFilesOnSignal();

    VTRCommandLine commandLine_;
    VTRUploadDaemonSettings settings_;
    std::shared_ptr<VTRStoreCoordinator> storeCoordinator_;
    std::shared_ptr<VTRMetrics> metrics_;
    std::shared_ptr<HTTPBandwidthLimiter> uploadLimiter_;
    std::shared_ptr<VTRUploadLimitSettings> uploadLimit_;
    std::shared_ptr<VTRRemoteUploadJobService> jobService_;
    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment_;
    std::shared_ptr<const HTTPCertificateAuthorities> additionalAuthorities_;
    std::shared_ptr<VTREventHub> events_;
    bool networkAvailableForStartup_ = false;
    bool observingReachability_ = false;
    std::unique_ptr<VTRUploadDaemonLocator> locator_;
    // Set once this daemon has written its locator files; read by the signal thread.
    std::atomic<VTRUploadDaemonLocator*> locatorForSignals_{nullptr};
    int64_t otherDaemonPort_ = VTRNotFound;
};

}  // namespace vtr
