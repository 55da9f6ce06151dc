// HTTPSocketOwner: decides whether the user at the other end of a TCP connection on this machine
// may be served, by reading the kernel's socket tables ("tcp" and "tcp6" in /proc/net).
// Stateless; any thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace vtr {

// What the tables say about the peer socket, and so whether its connection is served. Only a
// socket that is connected and still held by a process names its user: once its process has
// closed it, the kernel lists it with user 0 (root), so a peer that sends a request and closes
// at once would otherwise pass for root.
enum class HTTPPeerVerdict {
    Admitted,        // connected, held, and run by the allowed user or root
    OtherUser,       // connected and held, but by another user
    NoEntry,         // no table lists the peer socket
    SeveralEntries,  // more than one line matches, so none can be trusted
    NotConnected,    // listed in a state other than established: closing or closed
    NotHeld,         // listed without an inode: no process holds it any more
    Unreadable,      // no table exists, one failed while read, or the matching line is malformed
};

struct HTTPPeerCheck {
    HTTPPeerVerdict verdict = HTTPPeerVerdict::Unreadable;
    uint32_t userID = 0;  // the listed user; meaningful for Admitted and OtherUser
};

// Looks up the socket whose own address is `peer` and whose remote address is `local` (so: the
// peer of our socket bound at `local`) in the tables in `tableDirectory`, and judges it against
// `allowedUserID`. IPv4 addresses also match their IPv4-mapped IPv6 form, since a dual-stack
// peer socket is listed in "tcp6". A table that does not exist counts as empty (a kernel without
// IPv6 has no "tcp6"), as long as one of the two can be read. A missing or doubled line is a
// verdict only when three reads in a row find no single line: the kernel lists a table a read at
// a time, and sockets opened or closed meanwhile can shift the lines between two reads.
HTTPPeerCheck HTTPCheckPeerUser(const std::string& tableDirectory, const sockaddr* peer,
                                const sockaddr* local, uint32_t allowedUserID);

}  // namespace vtr
