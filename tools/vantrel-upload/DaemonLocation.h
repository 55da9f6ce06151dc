// Finds the running upload daemon through its locator files ("UploadDaemon.port" and
// "UploadDaemon.pid") and decides whether it may be trusted with job bodies and their
// credentials: anyone who can write to the locator directory could otherwise point the client
// at a port of their own. Stateless; any thread.
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

struct DaemonSearch {
    std::optional<DaemonLocation> location;
    // Why no daemon was found or trusted, as a sentence; empty when one was.
    std::string problem;
    // The files name something the client must not talk to, rather than no daemon.
    bool untrusted = false;
};

// The daemon named by the files in `directory`, trusted only when the files belong to
// `clientUser` or root, the process they name runs as `clientUser` (any user when that is
// root), and the port is a socket listening on 127.0.0.1 that belongs to the process's user,
// as the kernel's socket tables in /proc/net show.
DaemonSearch locateDaemon(const std::string& directory, uid_t clientUser);

// The decimal text of a locator file: digits only, no sign, no whitespace; nothing otherwise.
std::optional<int64_t> parseLocatorNumber(const std::string& text);

}  // namespace vtr::cli
