// Finds the running upload daemon through its locator files ("UploadDaemon.port" and
// "UploadDaemon.pid"), checking that the process they name is alive. Stateless; any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vtr::cli {

inline constexpr const char* DefaultLocatorDirectory = "/var/vantrel";

struct DaemonLocation {
    std::string directory;
    uint16_t port = 0;
    pid_t pid = 0;
};

// The daemon's location, or nothing with `problem` set to a sentence saying why none was found.
std::optional<DaemonLocation> locateDaemon(const std::string& directory, std::string* problem);

// The decimal text of a locator file: digits only, no sign, no whitespace; nothing otherwise.
std::optional<int64_t> parseLocatorNumber(const std::string& text);

}  // namespace vtr::cli
