#include "DaemonLocation.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

namespace vtr::cli {

namespace {

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    std::ostringstream contents;
    contents << stream.rdbuf();
    if (stream.bad()) return std::nullopt;
    return contents.str();
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

    auto portText = readWholeFile(portPath);
    if (!portText) return fail(fmt::format("no locator file {}", portPath));
    auto pidText = readWholeFile(pidPath);
    if (!pidText) return fail(fmt::format("no locator file {}", pidPath));

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
