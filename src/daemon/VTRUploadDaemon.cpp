#include "daemon/VTRUploadDaemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "api/VTREventHub.h"
#include "api/VTRJobFormResponse.h"
#include "api/VTRUploadDaemonConnection.h"
#include "daemon/Reachability.h"
#include "daemon/VTRCrashHandler.h"
#include "daemon/VTRServiceManager.h"
#include "foundation/VTRByteRate.h"
#include "foundation/VTRRunLoop.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "httpclient/HTTPCertificateAuthorities.h"
#include "httpserver/HTTPServer.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "logging/VTRFileDescriptor.h"
#include "logging/VTRLog.h"
#include "logging/VTRLoggingSetup.h"
#include "logging/VTRPOSIXError.h"
#include "metrics/VTRMetrics.h"
#include "service/VTRRemoteUploadJobService.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "service/VTRUploadLimitSettings.h"

namespace vtr {

namespace fs = std::filesystem;

namespace {
std::atomic<VTRUploadDaemon*> currentDaemon{nullptr};

// A job document is a few kilobytes; far more is a mistake or an attack on the memory of a
// process that keeps running for months.
constexpr uint64_t kMaximumRequestBodySize = 16 * 1024 * 1024;
// One client application needs a handful; the cap keeps a local program from using up the
// daemon's descriptors.
constexpr size_t kMaximumConnections = 256;
constexpr const char* kStoreFileName = "UploadDaemon.sqlite";

// Checks that `fd` is of `type` (S_IFDIR, S_IFREG) and belongs to the daemon's user, and takes
// from it every permission beyond `keep`; false (logged, naming `path`) otherwise.
bool makePrivate(int fd, const std::string& path, mode_t type, mode_t keep) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        VTRLogError("Refusing the job store at {}: {}", path,
                    posixError(errno, path).description());
        return false;
    }
    if ((status.st_mode & S_IFMT) != type) {
        VTRLogError("Refusing the job store at {}: it is not a {}", path,
                    type == S_IFDIR ? "directory" : "regular file");
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        VTRLogError("Refusing the job store at {}: it belongs to another user (uid {})", path,
                    status.st_uid);
        return false;
    }
    if ((status.st_mode & 07777 & ~keep) != 0 && ::fchmod(fd, status.st_mode & keep) != 0) {
        VTRLogError("Refusing the job store at {}: it cannot be made private: {}", path,
                    posixError(errno, path).description());
        return false;
    }
    return true;
}

// The store holds the jobs' credentials. A directory or database file another user owns (or
// planted as a link) would let that user read them, or SQLite would create its WAL and shared
// memory files open to all beside a database it did not make; so either must be ours and
// private, or the store is not used. A directory made by an older version may be open to
// others and is made private here.
bool storeIsPrivate(const std::string& directory) {
    VTRFileDescriptor directoryFile(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFile.valid()) {
        VTRLogError("Refusing the job store at {}: {}", directory,
                    posixError(errno, directory).description());
        return false;
    }
    if (!makePrivate(directoryFile.get(), directory, S_IFDIR, S_IRWXU)) return false;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::string name = std::string(kStoreFileName) + suffix;
        std::string path = (fs::path(directory) / name).string();
        // O_NONBLOCK: a FIFO planted under the name must not hold up the start.
        VTRFileDescriptor file(::openat(directoryFile.get(), name.c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!file.valid() && errno == ENOENT) continue;
        if (!file.valid()) {
            if (errno == ELOOP)
                VTRLogError("Refusing the job store at {}: it is a symbolic link", path);
            else
                VTRLogError("Refusing the job store at {}: {}", path,
                            posixError(errno, path).description());
            return false;
        }
        if (!makePrivate(file.get(), path, S_IFREG, S_IRUSR | S_IWUSR)) return false;
    }
    return true;
}
}  // namespace

VTRUploadDaemon::VTRUploadDaemon(std::vector<std::string> arguments,
                                 VTRUploadDaemonSettings settings)
    : commandLine_(std::move(arguments)), settings_(std::move(settings)) {
    currentDaemon.store(this);
    VTRLogInfo("{}", "-[VTRUploadDaemon initWithArguments:]");
}

VTRUploadDaemon::~VTRUploadDaemon() {
    VTRUploadDaemon* self = this;
    currentDaemon.compare_exchange_strong(self, nullptr);
}

VTRUploadDaemon* VTRUploadDaemon::instance() {
    return currentDaemon.load();
}

bool VTRUploadDaemon::start() {
    if (commandLine_.contains("-h")) {
        showHelp();
        return false;
    }

    VTRRunLoop& mainLoop = VTRRunLoop::main();
    std::unique_ptr<Reachability> reachability =
        Reachability::reachabilityForInternetConnection(mainLoop);
    if (reachability->currentReachabilityStatus() == NotReachable) {
        networkAvailableForStartup_ = false;
        observingReachability_ = true;
        reachability->startNotifier([this](Reachability& changed) {
            if (observingReachability_) reachabilityChanged(changed);
        });
        while (!networkAvailableForStartup_) {
            VTRLogError(
                "Network is not available. Upload logic does not start until network is "
                "available.");
            mainLoop.runUntil([this] { return networkAvailableForStartup_; },
                              settings_.networkWait);
        }
    }

    if (!configureLogging()) return false;
    if (!loadCertificateAuthorities()) return false;
    if (commandLine_.contains("-b") && !uploadLimitArgument()) {
        VTRLogError("-b takes a rate in bytes per second, optionally with K, M or G: {}",
                    commandLine_.valueFor("-b").value_or("(missing)"));
        return false;
    }
    configureSignalAndExceptionHandling();
    if (!configurePersistentStorage()) return false;

    checkForRunningDaemons();
    mainLoop.runFor(settings_.otherDaemonWait);
    stopLocator();
    if (otherDaemonPort_ != VTRNotFound) {
        VTRLogError("An existing daemon is running on port {}", otherDaemonPort_);
        return false;
    }
    jobService_->requeueRunningJobs();

    std::unique_ptr<HTTPServer> server = configureHTTPServer();
    VTRError error;
    if (!server->start(&error)) {
        VTRLogError("Unable to start HTTP server: {}", error.localizedDescription());
        return false;
    }
    locator_->writeLocatorFilesForPort(server->listeningPort());
    // Only from now on are the files in the locator directory ours to remove on a signal;
    // during the check above they belong to whichever daemon may be running.
    locatorForSignals_.store(locator_.get());
    notifyServiceReady();

    mainLoop.run();

    notifyServiceStopping();
    locator_->deleteLocatorFiles();
    return true;
}

void VTRUploadDaemon::showHelp() {
    std::fputs(VTRCommandLine::usageText(commandLine_.processName()).c_str(), stdout);
    std::fflush(stdout);
}

bool VTRUploadDaemon::configureLogging() {
    return vtr::configureLogging(commandLine_.arguments(), settings_.logFiles);
}

bool VTRUploadDaemon::loadCertificateAuthorities() {
    if (!commandLine_.contains("-c")) return true;
    std::optional<std::string> path = commandLine_.valueFor("-c");
    if (!path) {
        VTRLogError("-c needs a file of certificate authorities (PEM)");
        return false;
    }
    std::string problem;
    additionalAuthorities_ = HTTPCertificateAuthorities::fromPEMFile(*path, &problem);
    if (!additionalAuthorities_) {
        VTRLogError("Unable to use the certificate authorities in {}: {}", *path, problem);
        return false;
    }
    VTRLogInfo("Trusting {} certificate authorities from {} besides the system's",
               additionalAuthorities_->count(), *path);
    return true;
}

void VTRUploadDaemon::configureSignalAndExceptionHandling() {
    if (!settings_.installCrashHandlers) return;
    VTRCrashHandler::install([] {
        notifyServiceStopping();
        if (VTRUploadDaemon* daemon = VTRUploadDaemon::instance())
            daemon->deleteLocatorFilesOnSignal();
    });
}

void VTRUploadDaemon::deleteLocatorFilesOnSignal() {
    if (VTRUploadDaemonLocator* locator = locatorForSignals_.load()) locator->deleteLocatorFiles();
}

bool VTRUploadDaemon::configurePersistentStorage() {
    VTRLogVerbose("Configuring CoreData persistent storage\u2026");
    std::optional<std::string> storePath = URLForPersistentStore();
    if (!storePath) return false;
    VTRError error;
    storeCoordinator_ = VTRStoreCoordinator::open(*storePath, &error);
    if (!storeCoordinator_) {
        VTRLogError("Unable to create SQLite persistent store: {}", error.description());
        return false;
    }
    return configureConnectionEnvironment();
}

std::optional<uint64_t> VTRUploadDaemon::uploadLimitArgument() const {
    std::optional<std::string> value = commandLine_.valueFor("-b");
    return value ? parseByteRate(*value) : std::nullopt;
}

std::optional<std::string> VTRUploadDaemon::URLForPersistentStore() {
    std::optional<std::string> applicationSupport =
        applicationSupportDirectory(settings_.environment);
    if (!applicationSupport) return std::nullopt;
    std::string directory = (fs::path(*applicationSupport) / commandLine_.processName()).string();

    std::error_code ec;
    fs::file_status status = fs::status(directory, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) {
            VTRLogError("{} should be a directory!", directory);
            return std::nullopt;
        }
    } else {
        // Made private from the start: the database in it holds credentials.
        fs::create_directories(fs::path(directory).parent_path(), ec);
        if (ec || (::mkdir(directory.c_str(), S_IRWXU) != 0 && errno != EEXIST)) {
            int errnum = ec ? ec.value() : errno;
            VTRLogError("Unable to create directory at {}: {}", directory,
                        posixError(errnum, directory).description());
            return std::nullopt;
        }
    }
    if (!storeIsPrivate(directory)) return std::nullopt;
    return (fs::path(directory) / kStoreFileName).string();
}

// The daemon's object graph, all in one place: the store coordinator opened before, the job
// service over it, and the environment through which every API connection reaches both. The
// HTTP server gets the environment when it is made (configureHTTPServer). Callbacks of all of
// them run on the main run loop.
bool VTRUploadDaemon::configureConnectionEnvironment() {
    VTRLogVerbose("Configuring connection environment\u2026");
    // One bucket for all uploads, set from the stored limit unless "-b" replaces it.
    metrics_ = std::make_shared<VTRMetrics>();
    uploadLimiter_ = std::make_shared<HTTPBandwidthLimiter>();
    uploadLimit_ = std::make_shared<VTRUploadLimitSettings>(storeCoordinator_, uploadLimiter_,
                                                            VTRRunLoop::main());
    VTRError error;
    if (!uploadLimit_->start(uploadLimitArgument(), &error)) {
        VTRLogError("Unable to read or store the upload limit: {}", error.description());
        return false;
    }
    events_ = std::make_shared<VTREventHub>(
        VTRRunLoop::main(),
        [coordinator = storeCoordinator_](const std::string& jobID) -> std::optional<std::string> {
            VTRSQLiteUploadJobStore store(coordinator);
            const VTRManagedUploadJob* job = store.jobWithID(jobID, nullptr);
            if (!job) return std::nullopt;
            return VTRJobFormText(*job);
        });
    VTRRemoteUploadJobService::Options options;
    // Running jobs are re-queued only after the single-instance check: a second daemon on the
    // same store must not upload them alongside the first during that check.
    options.requeueAtConstruction = false;
    options.additionalAuthorities = additionalAuthorities_;
    options.uploadLimiter = uploadLimiter_;
    options.metrics = metrics_;
    options.observer = events_;
    jobService_ = std::make_shared<VTRRemoteUploadJobService>(storeCoordinator_, VTRRunLoop::main(),
                                                              std::move(options));
    environment_ = std::make_shared<VTRUploadDaemonConnectionEnvironment>(
        storeCoordinator_, jobService_, metrics_, uploadLimit_);
    return true;
}

void VTRUploadDaemon::checkForRunningDaemons() {
    VTRLogInfo("Checking for currently running upload daemons...");
    VTRRunLoop& mainLoop = VTRRunLoop::main();
    locator_ = std::make_unique<VTRUploadDaemonLocator>(
        resolvedPath(commandLine_.arguments()),
        std::make_unique<VTRFileEventsHelper>(mainLoop, settings_.locatorLatency),
        std::make_unique<VTRProcessTerminationTracker>(mainLoop, settings_.exitReportDelay));
    locator_->setDelegate(this);
    locator_->start();
}

void VTRUploadDaemon::stopLocator() {
    if (!locator_) return;
    locator_->stop();
    locator_->setDelegate(nullptr);
}

std::unique_ptr<HTTPServer> VTRUploadDaemon::configureHTTPServer() {
    VTRLogVerbose("Configuring HTTP Server\u2026");
    auto server = std::make_unique<HTTPServer>();
    server->setInterface("lo0");
    VTRUploadDaemonConnection::Options options;
    // The restart request ends the process for the service manager to start it again.
    options.exitProcess = [](int status) {
        notifyServiceStopping();
        VTRLog::flush();
        std::fflush(nullptr);
        ::_exit(status);
    };
    options.events = events_;
    server->setConnectionClass(
        VTRUploadDaemonConnection::factory(environment_, VTRRunLoop::main(), std::move(options)));
    HTTPServerLimits limits;
    limits.maximumRequestBodySize = kMaximumRequestBodySize;
    limits.maximumConnections = kMaximumConnections;
    // Other users of the machine must not make this user's daemon upload this user's files.
    limits.peerUserID = static_cast<uint32_t>(::geteuid());
    server->setLimits(std::move(limits));
    return server;
}

void VTRUploadDaemon::reachabilityChanged(Reachability& reachability) {
    if (reachability.currentReachabilityStatus() == NotReachable) {
        VTRLogInfo("Network not reachable.");
        return;
    }
    VTRLogInfo("Network has become available.");
    networkAvailableForStartup_ = true;
    observingReachability_ = false;
}

void VTRUploadDaemon::locatorFoundLocalServiceWithPort(VTRUploadDaemonLocator&, int64_t port) {
    otherDaemonPort_ = port;
    stopLocator();
}

void VTRUploadDaemon::locatorRemovedLocalService(VTRUploadDaemonLocator&) {
    stopLocator();
}

}  // namespace vtr
