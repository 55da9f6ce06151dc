#include "daemon/VTRUploadDaemonLocator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <random>
#include <string_view>

#include "logging/VTRFileDescriptor.h"
#include "logging/VTRLog.h"
#include "logging/VTRPOSIXError.h"

namespace vtr {

namespace {

// Whole-text decimal integers only: "52110" parses, " 52110", "52110\n" and "abc" do not.
std::optional<int64_t> parseDecimal(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || next != end || text.empty()) return std::nullopt;
    return value;
}

// Puts `text` at `path` through a new file beside it that is then renamed over the path, so an
// existing path, a link planted under the name included, is never opened: rename() replaces
// the link itself, not what it points to. The files are read by other users' clients, hence
// 0644 whatever the umask. On failure nothing is left behind.
std::optional<VTRError> writeTextFile(const std::string& path, const std::string& text) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = fmt::format("{}.{:08x}", path, random());
        VTRFileDescriptor file(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file.valid() && errno == EEXIST) continue;
        if (!file.valid()) return posixError(errno, path);
        if (::fchmod(file.get(), 0644) != 0 || !VTRWriteAll(file.get(), text) ||
            ::rename(temporary.c_str(), path.c_str()) != 0) {
            VTRError error = posixError(errno, path);
            ::unlink(temporary.c_str());
            return error;
        }
        return std::nullopt;
    }
    return posixError(EEXIST, path);
}

// Why a locator file with `status` (from lstat or fstat) is not to be trusted: a symbolic link
// or another user's file may have been planted by anyone who can write to the directory.
// Empty when it is a file of ours.
std::string untrustedReason(const struct stat& status) {
    if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
    if (status.st_uid != ::geteuid())
        return fmt::format("it belongs to another user (uid {})", status.st_uid);
    return {};
}

std::string currentWorkingDirectory() {
    char buffer[1024];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

}  // namespace

std::string standardizePath(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal.empty() ? "." : normal;
}

VTRUploadDaemonLocator::VTRUploadDaemonLocator(
    const std::optional<std::string>& path, std::unique_ptr<VTRFileEventsHelper> eventsHelper,
    std::unique_ptr<VTRProcessTerminationTracker> tracker)
    : eventsHelper_(std::move(eventsHelper)), tracker_(std::move(tracker)) {
    path_ = standardizePath(path.value_or(VTRDefaultLocatorDirectory));
    if (path_ == ".") path_ = currentWorkingDirectory();
    VTRConsoleLog("Upload daemon locator files at {}", path_);
    eventsHelper_->setDelegate(this);
    tracker_->setDelegate(this);
}

VTRUploadDaemonLocator::~VTRUploadDaemonLocator() {
    eventsHelper_->setDelegate(nullptr);
    tracker_->setDelegate(nullptr);
}

void VTRUploadDaemonLocator::start() {
    eventsHelper_->startWatchingDirectory(path_);
    updatePortService();
}

void VTRUploadDaemonLocator::stop() {
    eventsHelper_->stopWatching();
}

std::string VTRUploadDaemonLocator::portFilePath() const {
    return path_ + "/" + VTRLocatorPortFileName;
}

std::string VTRUploadDaemonLocator::pidFilePath() const {
    return path_ + "/" + VTRLocatorPidFileName;
}

void VTRUploadDaemonLocator::writeLocatorFilesForPort(int64_t port) {
    if (auto error = writeTextFile(portFilePath(), std::to_string(port)))
        VTRConsoleLog("Failed to write port file to path {} due to error {}", portFilePath(),
                      error->description());
    if (auto error = writeTextFile(pidFilePath(), std::to_string(::getpid())))
        VTRConsoleLog("Failed to write pid file to path {} due to error {}", pidFilePath(),
                      error->description());
}

void VTRUploadDaemonLocator::deleteLocatorFiles() {
    for (const std::string& path : {portFilePath(), pidFilePath()}) {
        const char* kind = path == portFilePath() ? "port" : "pid";
        struct stat status {};
        std::string reason;
        if (::lstat(path.c_str(), &status) == 0) reason = untrustedReason(status);
        if (!reason.empty()) {
            VTRLogWarn("Leaving the {} file at {} in place: {}", kind, path, reason);
        } else if (::unlink(path.c_str()) != 0) {
            VTRConsoleLog("Failed to delete {} file from path {} due to error {}", kind, path,
                          posixError(errno, path).description());
        }
    }
}

std::optional<std::string> VTRUploadDaemonLocator::fileContentsAtPath(
    const std::string& path) const {
    // Anyone who can write to the directory can put anything under these names. Only a small
    // regular file of our own is read: a link or another user's file reads as no file at all
    // (with a warning), a FIFO would block the search, a device or a huge file would fill the
    // memory. O_NONBLOCK keeps the open itself from waiting on a FIFO.
    VTRFileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    std::string problem;
    std::string contents;
    struct stat status {};
    if (!file.valid() && errno == ELOOP) {
        VTRLogWarn("Ignoring the locator file at {}: it is a symbolic link", path);
        return std::nullopt;
    }
    if (!file.valid() || ::fstat(file.get(), &status) != 0) {
        problem = posixError(errno, path).description();
    } else if (std::string reason = untrustedReason(status); !reason.empty()) {
        VTRLogWarn("Ignoring the locator file at {}: {}", path, reason);
        return std::nullopt;
    } else if (!S_ISREG(status.st_mode)) {
        problem = "not a regular file";
    } else {
        char buffer[VTRMaximumLocatorFileSize + 1];
        for (;;) {
            ssize_t got = ::read(file.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) problem = posixError(errno, path).description();
            if (got <= 0) break;
            contents.append(buffer, static_cast<size_t>(got));
            if (contents.size() > VTRMaximumLocatorFileSize) {
                problem = fmt::format("longer than {} bytes", VTRMaximumLocatorFileSize);
                break;
            }
        }
    }
    if (!problem.empty()) {
        VTRConsoleLog("Failed to load contents of file from path {} due to error {}", path,
                      problem);
        return std::nullopt;
    }
    return contents;
}

bool VTRUploadDaemonLocator::isProcessRunningForPID(pid_t pid) const {
    // kill() with signal 0 only checks; EPERM still means the process exists. Ids of 0 and
    // below name process groups, never one process, so they never count as running.
    if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM)) return true;
    VTRConsoleLog("Pid not running {}", pid);
    return false;
}

void VTRUploadDaemonLocator::updatePortService() {
    std::optional<int64_t> port;
    if (auto text = fileContentsAtPath(portFilePath())) port = parseDecimal(*text);

    std::optional<int64_t> pid;
    bool running = false;
    if (auto text = fileContentsAtPath(pidFilePath())) {
        pid = parseDecimal(*text);
        int64_t value = pid.value_or(0);
        if (value >= INT32_MIN && value <= INT32_MAX)
            running = isProcessRunningForPID(static_cast<pid_t>(value));
        else
            VTRConsoleLog("Pid not running {}", value);  // no process id is that large
    }

    if (port && pid && running) {
        currentPort_ = *port;
        hasLocatedService_ = true;
        tracker_->registerForPid(static_cast<pid_t>(*pid));
        VTRConsoleLog("Found local upload daemon at port {} with pid {}", *port, *pid);
        if (delegate_) delegate_->locatorFoundLocalServiceWithPort(*this, currentPort_);
        return;
    }
    currentPort_ = VTRNotFound;
    hasLocatedService_ = false;
    VTRConsoleLog("Lost local upload daemon");
    tracker_->deregister();
    if (delegate_) delegate_->locatorRemovedLocalService(*this);
}

void VTRUploadDaemonLocator::fileEventsHelperUpdateForPath(VTRFileEventsHelper&,
                                                           const std::string&) {
    updatePortService();
}

void VTRUploadDaemonLocator::processTerminationTrackerTerminatedPid(VTRProcessTerminationTracker&,
                                                                    pid_t pid) {
    VTRConsoleLog("Terminated upload daemon with pid {}", pid);
    updatePortService();
}

}  // namespace vtr
