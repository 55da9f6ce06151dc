#include "logging/VTRFileLogDestination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <random>

#include "logging/VTRLogTimestamp.h"
#include "logging/VTRPOSIXError.h"

namespace vtr {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

constexpr const char* kHexDigits = "0123456789ABCDEF";

Clock::time_point toTimePoint(const struct statx_timestamp& stamp) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

// The birth time where the file system records one, else the last modification.
bool statLogFile(const std::string& path, VTRLogFileInfo& info) {
    struct statx stx {};
    // A link is never a log file, whatever it points to: it may have been planted to lead the
    // daemon's writes elsewhere.
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW,
              STATX_BTIME | STATX_MTIME | STATX_SIZE | STATX_TYPE, &stx) != 0)
        return false;
    if (!S_ISREG(stx.stx_mode)) return false;
    info.path = path;
    info.size = stx.stx_size;
    info.creationDate = toTimePoint((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime);
    info.archived = isLogFileArchived(path);
    return true;
}

std::string archivedName(const std::string& path) {
    fs::path p(path);
    return (p.parent_path() /
            (p.stem().string() + std::string(VTRLogArchivedNameMark) + p.extension().string()))
        .string();
}

}  // namespace

bool isLogFileName(std::string_view name) {
    if (name.size() < 10 || !name.starts_with("log-")) return false;
    return name.substr(4, 6).find_first_not_of(kHexDigits) == std::string_view::npos;
}

bool isLogFileArchived(const std::string& path) {
    if (::lgetxattr(path.c_str(), VTRLogArchivedAttribute, nullptr, 0) >= 0) return true;
    return fs::path(path).filename().string().find(std::string(VTRLogArchivedNameMark) + ".") !=
           std::string::npos;
}

std::string markLogFileArchived(const std::string& path) {
    if (isLogFileArchived(path)) return path;
    if (::lsetxattr(path.c_str(), VTRLogArchivedAttribute, "1", 1, 0) == 0) return path;
    if (errno != ENOTSUP && errno != EPERM) return path;
    std::string renamed = archivedName(path);
    return ::rename(path.c_str(), renamed.c_str()) == 0 ? renamed : path;
}

std::vector<VTRLogFileInfo> sortedLogFiles(const std::string& directory) {
    std::vector<VTRLogFileInfo> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isLogFileName(it->path().filename().string())) continue;
        VTRLogFileInfo info;
        if (statLogFile(it->path().string(), info)) files.push_back(std::move(info));
    }
    std::sort(files.begin(), files.end(), [](const VTRLogFileInfo& a, const VTRLogFileInfo& b) {
        if (a.creationDate != b.creationDate) return a.creationDate > b.creationDate;
        return a.path > b.path;
    });
    return files;
}

VTRFileLogDestination::VTRFileLogDestination(VTRFileLogSettings settings)
    : settings_(std::move(settings)) {}

void VTRFileLogDestination::logMessage(const VTRLogMessage& message) {
    if (!ensureCurrentFile(Clock::now())) return;
    std::string line = formatLogTimestamp(message.timestamp, '/') + "  " + message.text;
    if (line.empty() || line.back() != '\n') line += '\n';
    if (VTRWriteAll(file_.get(), line)) currentSize_ += line.size();
    if (currentSize_ >= settings_.maximumFileSize) archiveCurrentFile();
}

bool VTRFileLogDestination::ensureCurrentFile(Clock::time_point now) {
    // The age is checked when a line is about to be written rather than by a timer: an idle
    // file rolls with its next line, so no file outlives the frequency by more than one line.
    if (file_.valid() && now - currentCreationDate_ >= settings_.rollingFrequency)
        archiveCurrentFile();
    if (file_.valid()) return true;
    if (!started_) {
        started_ = true;
        if (continueNewestFile(now)) return true;
    }
    return createNewFile();
}

bool VTRFileLogDestination::continueNewestFile(Clock::time_point now) {
    std::vector<VTRLogFileInfo> files = sortedLogFiles(settings_.directory);
    if (files.empty()) return false;
    const VTRLogFileInfo& newest = files.front();
    // Other users' daemons may share the directory. A file planted by one of them could be
    // read by its planter, and a second link or a FIFO would carry the lines elsewhere or
    // block; only a plain file of our own is continued or marked. O_NONBLOCK keeps a FIFO
    // swapped in after the listing from blocking the open.
    VTRFileDescriptor file(
        ::open(newest.path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() || status.st_nlink != 1)
        return false;
    if (!newest.archived && newest.size < settings_.maximumFileSize &&
        now - newest.creationDate < settings_.rollingFrequency) {
        // A file left by an older version may be open to everybody; the log names files
        // and jobs of the user.
        if ((status.st_mode & 0137) != 0) ::fchmod(file.get(), status.st_mode & 0640);
        file_ = std::move(file);
        currentPath_ = newest.path;
        currentSize_ = newest.size;
        currentCreationDate_ = newest.creationDate;
        return true;
    }
    markLogFileArchived(newest.path);
    return false;
}

bool VTRFileLogDestination::ensureDirectory() {
    std::error_code ec;
    fs::create_directories(settings_.directory, ec);
    if (!ec && fs::is_directory(settings_.directory, ec)) {
        reportedDirectoryFailure_ = false;
        return true;
    }
    // Tried again with every line, but reported once per failing stretch, so a missing
    // directory does not flood the console.
    if (!reportedDirectoryFailure_) {
        reportedDirectoryFailure_ = true;
        int errnum = ec ? ec.value() : ENOTDIR;
        VTRConsoleLog("DDFileLogManagerDefault: Error creating logsDirectory: {}",
                      posixError(errnum, settings_.directory).description());
    }
    return false;
}

std::string VTRFileLogDestination::newFilePath() const {
    std::random_device entropy;
    std::mt19937 generator(entropy());
    for (;;) {
        std::string name = "log-";
        for (int i = 0; i < 6; ++i) name += kHexDigits[generator() % 16];
        std::string path = (fs::path(settings_.directory) / (name + ".txt")).string();
        std::error_code ec;
        // The archived spelling is checked too: archiving must never rename over another file.
        if (!fs::exists(path, ec) && !fs::exists(archivedName(path), ec)) return path;
    }
}

bool VTRFileLogDestination::createNewFile() {
    if (!ensureDirectory()) return false;
    std::string path = newFilePath();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    ::fchmod(fd, 0640);
    file_.reset(fd);
    currentPath_ = path;
    currentSize_ = 0;
    VTRLogFileInfo info;
    currentCreationDate_ = statLogFile(path, info) ? info.creationDate : Clock::now();
    deleteOldArchivedFiles();
    return true;
}

void VTRFileLogDestination::archiveCurrentFile() {
    file_.reset();
    markLogFileArchived(currentPath_);
    currentPath_.clear();
    currentSize_ = 0;
}

void VTRFileLogDestination::deleteOldArchivedFiles() {
    std::vector<VTRLogFileInfo> files = sortedLogFiles(settings_.directory);
    auto first = files.begin();
    if (first != files.end() && !first->archived) ++first;
    size_t kept = 0;
    for (auto it = first; it != files.end(); ++it) {
        if (it->path == currentPath_) continue;  // the file being written always stays
        if (++kept > settings_.maximumNumberOfArchivedFiles) ::unlink(it->path.c_str());
    }
}

}  // namespace vtr
