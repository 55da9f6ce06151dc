#include "DaemonLocation.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "foundation/VTRSocketTable.h"
#include "logging/VTRFileDescriptor.h"

namespace vtr::cli {

namespace {

// A locator file holds one decimal number; anything longer is not one.
constexpr size_t MaximumLocatorFileSize = 64;

struct LocatorFile {
    std::optional<std::string> text;  // nothing when the file is missing or unusable
    uid_t owner = 0;
};

// A regular file of at most MaximumLocatorFileSize bytes, and its owner. Anyone who can write
// to the locator directory can put anything under the locator names: a link, a FIFO that would
// block the client, a device or a huge file that would fill its memory. Those read as nothing.
LocatorFile readLocatorFile(const std::string& path) {
    VTRFileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    int fd = file.get();
    struct stat status {};
    if (!file.valid() || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return {};
    std::string contents;
    char buffer[MaximumLocatorFileSize + 1];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return {};
        if (got == 0) return {contents, status.st_uid};
        contents.append(buffer, static_cast<size_t>(got));
        if (contents.size() > MaximumLocatorFileSize) return {};
    }
}

// The effective user of process `pid`, from the "Uid:" line of its status file.
std::optional<uid_t> userOfProcess(pid_t pid) {
    std::ifstream status(fmt::format("/proc/{}/status", pid));
    std::string line;
    while (std::getline(status, line)) {
        if (!line.starts_with("Uid:")) continue;
        std::istringstream fields(line.substr(4));
        uid_t real = 0, effective = 0;
        if (fields >> real >> effective) return effective;
        return std::nullopt;
    }
    return std::nullopt;
}

// Why the socket listening on 127.0.0.1:`port` is not to be trusted as `daemonUser`'s; empty
// when it is. `*listening` says whether anything listens there at all.
std::string listenerProblem(const std::string& tableDirectory, uint16_t port, uid_t daemonUser,
                            bool* listening) {
    const VTRSocketEndpoint loopback = VTRSocketEndpoint::loopback(port);
    auto entries = VTRReadSocketTables(
        tableDirectory, [&](const VTRSocketEndpoint& local, const VTRSocketEndpoint&) {
            return local == loopback;
        });
    *listening = false;
    if (!entries) return fmt::format("the socket tables in {} cannot be read", tableDirectory);
    for (const VTRSocketTableEntry& entry : *entries) {
        if (!entry.parsed)
            return fmt::format("the socket tables in {} are malformed", tableDirectory);
        if (entry.state != VTRSocketStateListen) continue;
        *listening = true;
        if (entry.userID != daemonUser)
            return fmt::format("the socket listening at 127.0.0.1:{} belongs to user {}, not {}",
                               port, entry.userID, daemonUser);
    }
    return {};
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

DaemonSearch locateDaemon(const std::string& directory, uid_t clientUser) {
    auto fail = [](std::string why, bool untrusted = false) {
        return DaemonSearch{std::nullopt, std::move(why), untrusted};
    };
    std::string portPath = directory + "/UploadDaemon.port";
    std::string pidPath = directory + "/UploadDaemon.pid";

    LocatorFile portFile = readLocatorFile(portPath);
    if (!portFile.text) return fail(fmt::format("no usable locator file {}", portPath));
    LocatorFile pidFile = readLocatorFile(pidPath);
    if (!pidFile.text) return fail(fmt::format("no usable locator file {}", pidPath));
    for (const auto& [path, file] : {std::pair{portPath, portFile}, std::pair{pidPath, pidFile}}) {
        if (file.owner != clientUser && file.owner != 0)
            return fail(
                fmt::format("{} belongs to user {}, neither to you nor to root", path, file.owner),
                true);
    }

    auto port = parseLocatorNumber(*portFile.text);
    if (!port || *port < 1 || *port > 65535)
        return fail(fmt::format("{} does not hold a port number", portPath));
    auto pid = parseLocatorNumber(*pidFile.text);
    if (!pid || *pid < 1 || *pid > INT32_MAX)
        return fail(fmt::format("{} does not hold a process id", pidPath));

    // Signal 0 only checks; EPERM means the process exists but belongs to someone else.
    pid_t processID = static_cast<pid_t>(*pid);
    if (::kill(processID, 0) != 0 && errno != EPERM)
        return fail(fmt::format("the process {} named in {} has ended", processID, pidPath));
    std::optional<uid_t> daemonUser = userOfProcess(processID);
    if (!daemonUser)
        return fail(fmt::format("the user of the process {} named in {} cannot be read", processID,
                                pidPath),
                    true);
    if (clientUser != 0 && *daemonUser != clientUser)
        return fail(fmt::format("the process {} named in {} runs as user {}, not as you ({})",
                                processID, pidPath, *daemonUser, clientUser),
                    true);

    bool listening = false;
    std::string problem =
        listenerProblem("/proc/net", static_cast<uint16_t>(*port), *daemonUser, &listening);
    if (!problem.empty()) return fail(problem, true);
    if (!listening) return fail(fmt::format("nothing listens at 127.0.0.1:{}", *port));
    return {DaemonLocation{directory, static_cast<uint16_t>(*port), processID}, {}, false};
}

}  // namespace vtr::cli
