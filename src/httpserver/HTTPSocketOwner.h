// HTTPSocketOwner: finds which user owns the other end of a TCP connection on this machine, by
// reading the kernel's socket tables ("tcp" and "tcp6" in /proc/net). Stateless; any thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vtr {

// The user id of the socket whose own address is `peer` and whose remote address is `local`
// (so: the peer of our socket bound at `local`), read from the tables in `tableDirectory`.
// IPv4 addresses also match their IPv4-mapped IPv6 form, since a dual-stack peer socket is
// listed in "tcp6". Nothing when no table lists such a socket or none can be read.
std::optional<uint32_t> HTTPSocketOwnerUserID(const std::string& tableDirectory,
                                              const sockaddr* peer, const sockaddr* local);

}  // namespace vtr
