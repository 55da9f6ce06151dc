// VTRSocketTable: the kernel's tables of TCP sockets ("tcp" and "tcp6" in /proc/net), which tell
// the state of each socket on this machine and the user holding it. The daemon judges its peers
// by them and the client its daemon. Stateless; any thread.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vtr {

// An address in IPv6 form (IPv4 as IPv4-mapped) with its port, so both tables compare alike.
struct VTRSocketEndpoint {
    std::array<unsigned char, 16> address{};
    uint16_t port = 0;
    bool operator==(const VTRSocketEndpoint&) const = default;

    // 127.0.0.1 (or its IPv4-mapped form) at `port`.
    static VTRSocketEndpoint loopback(uint16_t port);
};

// The endpoint of an IPv4 or IPv6 socket address; nothing for any other family.
std::optional<VTRSocketEndpoint> VTRSocketEndpointOf(const sockaddr* address);

inline constexpr uint32_t VTRSocketStateEstablished = 0x01;
inline constexpr uint32_t VTRSocketStateListen = 0x0A;

// One table line. `parsed` is false when a field after the addresses is malformed.
struct VTRSocketTableEntry {
    VTRSocketEndpoint local;
    VTRSocketEndpoint remote;
    bool parsed = false;
    uint32_t state = 0;
    uint32_t userID = 0;
    uint64_t inode = 0;  // 0: no process holds the socket any more
};

// The lines of "tcp" and "tcp6" in `tableDirectory` whose addresses `matches` (local, remote)
// accepts. A table that does not exist counts as empty (a kernel without IPv6 has no "tcp6"),
// as long as one of the two can be read; nothing when neither can, or one fails while read.
std::optional<std::vector<VTRSocketTableEntry>> VTRReadSocketTables(
    const std::string& tableDirectory,
    const std::function<bool(const VTRSocketEndpoint& local, const VTRSocketEndpoint& remote)>&
        matches);

}  // namespace vtr
