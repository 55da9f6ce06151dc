// VTRUploadDaemonLocator: publishes and finds a running daemon through two small files in the
// locator directory, "UploadDaemon.port" and "UploadDaemon.pid", and tells its delegate whenever
// a search finds a live daemon or none. Its own messages go to the console log.
// Main thread only, except deleteLocatorFiles(), which the crash handler may call from its own
// thread (it touches nothing but the file system, the fixed path and the log).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

#include "daemon/VTRFileEventsHelper.h"
#include "daemon/VTRProcessTerminationTracker.h"

namespace vtr {

// The port value that means "no port found".
inline constexpr int64_t VTRNotFound = INT64_MAX;

inline constexpr const char* VTRDefaultLocatorDirectory = "/var/vantrel";
inline constexpr const char* VTRLocatorPortFileName = "UploadDaemon.port";
inline constexpr const char* VTRLocatorPidFileName = "UploadDaemon.pid";
// A locator file holds one decimal number; anything longer is not one.
inline constexpr size_t VTRMaximumLocatorFileSize = 64;

class VTRUploadDaemonLocator;

class VTRUploadDaemonLocatorDelegate {
  public:
    virtual ~VTRUploadDaemonLocatorDelegate() = default;
    virtual void locatorFoundLocalServiceWithPort(VTRUploadDaemonLocator& locator,
                                                  int64_t port) = 0;
    virtual void locatorRemovedLocalService(VTRUploadDaemonLocator& locator) = 0;
};

// Removes repeated and trailing slashes and resolves "." and ".." without touching the disk.
std::string standardizePath(const std::string& path);

class VTRUploadDaemonLocator : private VTRFileEventsHelperDelegate,
                               private VTRProcessTerminationTrackerDelegate {
  public:
    // `path` nothing means "/var/vantrel"; a path that standardises to "." means the current
    // working directory.
    VTRUploadDaemonLocator(const std::optional<std::string>& path,
                           std::unique_ptr<VTRFileEventsHelper> eventsHelper,
                           std::unique_ptr<VTRProcessTerminationTracker> tracker);
    ~VTRUploadDaemonLocator() override;
    VTRUploadDaemonLocator(const VTRUploadDaemonLocator&) = delete;
    VTRUploadDaemonLocator& operator=(const VTRUploadDaemonLocator&) = delete;

    // Not owned; may be cleared at any time.
    void setDelegate(VTRUploadDaemonLocatorDelegate* delegate) { delegate_ = delegate; }
    VTRUploadDaemonLocatorDelegate* delegate() const { return delegate_; }

    // Watches the directory and searches once; the delegate hears the result before this returns.
    void start();
    // Ends directory watching; an exit watch already registered stays.
    void stop();

    // Each file is written beside its name and renamed into place: nothing existing under the
    // name is ever opened for writing. Failures are logged.
    void writeLocatorFilesForPort(int64_t port);
    // Leaves (with a warning) a symbolic link or another user's file under either name.
    void deleteLocatorFiles();
    void updatePortService();

    // The text of a regular file of ours of at most VTRMaximumLocatorFileSize bytes; nothing
    // (logged; a warning for a symbolic link or another user's file) for anything else. Never
    // blocks.
    std::optional<std::string> fileContentsAtPath(const std::string& path) const;
    bool isProcessRunningForPID(pid_t pid) const;

    const std::string& path() const { return path_; }
    std::string portFilePath() const;
    std::string pidFilePath() const;
    int64_t currentPort() const { return currentPort_; }
    bool hasLocatedService() const { return hasLocatedService_; }
    VTRFileEventsHelper& eventsHelper() { return *eventsHelper_; }
    VTRProcessTerminationTracker& tracker() { return *tracker_; }

  private:
    void fileEventsHelperUpdateForPath(VTRFileEventsHelper& helper,
                                       const std::string& path) override;
    void processTerminationTrackerTerminatedPid(VTRProcessTerminationTracker& tracker,
                                                pid_t pid) override;

    VTRUploadDaemonLocatorDelegate* delegate_ = nullptr;
    std::unique_ptr<VTRFileEventsHelper> eventsHelper_;
    std::string path_;
    int64_t currentPort_ = 0;
    bool hasLocatedService_ = false;
    std::unique_ptr<VTRProcessTerminationTracker> tracker_;
};

}  // namespace vtr
