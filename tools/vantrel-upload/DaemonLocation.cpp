#include "DaemonLocation.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

namespace vtr::cli {

namespace {

// A locator file holds one decimal number; anything longer is not one.
constexpr size_t MaximumLocatorFileSize = 64;

// The text of a regular file of at most MaximumLocatorFileSize bytes. Anyone who can write to
// the locator directory can put anything under the locator names: a FIFO would block the
// client, a link to a device or a huge file would fill its memory. Those read as nothing.
std::optional<std::string> readLocatorFile(const std::string& path) {
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    int fd = file.fd;
    if (fd < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    std::string contents;
    char buffer[MaximumLocatorFileSize + 1];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return contents;
        contents.append(buffer, static_cast<size_t>(got));
        if (contents.size() > MaximumLocatorFileSize) return std::nullopt;
    }
}

}  // namespace

std::optional<int64_t> parseLocatorNumber(const std::string& text) {
    // 18 digits always fit a signed 64-bit value; nothing this tool reads is longer.
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<DaemonLocation> locateDaemon(const std::string& directory, std::string* problem) {
    auto fail = [&](std::string why) -> std::optional<DaemonLocation> {
        if (problem) *problem = std::move(why);
        return std::nullopt;
    };
    std::string portPath = directory + "/UploadDaemon.port";
    std::string pidPath = directory + "/UploadDaemon.pid";

    auto portText = readLocatorFile(portPath);
    if (!portText) return fail(fmt::format("no usable locator file {}", portPath));
    auto pidText = readLocatorFile(pidPath);
    if (!pidText) return fail(fmt::format("no usable locator file {}", pidPath));

    auto port = parseLocatorNumber(*portText);
    if (!port || *port < 1 || *port > 65535)
        return fail(fmt::format("{} does not hold a port number", portPath));
    auto pid = parseLocatorNumber(*pidText);
    if (!pid || *pid < 1 || *pid > INT32_MAX)
        return fail(fmt::format("{} does not hold a process id", pidPath));

    // Signal 0 only checks; EPERM means the process exists but belongs to someone else.
    pid_t processID = static_cast<pid_t>(*pid);
    if (::kill(processID, 0) != 0 && errno != EPERM)
        return fail(fmt::format("the process {} named in {} has ended", processID, pidPath));

    return DaemonLocation{directory, static_cast<uint16_t>(*port), processID};
}

}  // namespace vtr::cli
