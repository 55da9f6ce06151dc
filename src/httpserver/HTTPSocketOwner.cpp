#include "httpserver/HTTPSocketOwner.h"

#include <optional>
#include <vector>

#include "foundation/VTRSocketTable.h"

namespace vtr {

namespace {

constexpr int kPeerTableReads = 3;

}  // namespace

HTTPPeerCheck HTTPCheckPeerUser(const std::string& tableDirectory, const sockaddr* peer,
                                const sockaddr* local, uint32_t allowedUserID) {
    std::optional<VTRSocketEndpoint> peerEndpoint = VTRSocketEndpointOf(peer);
    std::optional<VTRSocketEndpoint> localEndpoint = VTRSocketEndpointOf(local);
    if (!peerEndpoint || !localEndpoint) return {HTTPPeerVerdict::NoEntry};
    // The peer's socket: its own address is the peer, its remote one ours. The kernel lists a
    // table a read at a time, so sockets opened or closed meanwhile can make a line go missing
    // or appear twice: the tables are read up to three times, until one read finds exactly one
    // line; only when none does is the last read's missing or doubled line the verdict.
    std::optional<std::vector<VTRSocketTableEntry>> entries;
    for (int attempt = 0; attempt < kPeerTableReads; ++attempt) {
        entries = VTRReadSocketTables(
            tableDirectory, [&](const VTRSocketEndpoint& own, const VTRSocketEndpoint& remote) {
                return own == *peerEndpoint && remote == *localEndpoint;
            });
        if (!entries || entries->size() == 1) break;
    }
    if (!entries) return {HTTPPeerVerdict::Unreadable};
    if (entries->empty()) return {HTTPPeerVerdict::NoEntry};
    if (entries->size() > 1) return {HTTPPeerVerdict::SeveralEntries};
    const VTRSocketTableEntry& entry = entries->front();
    if (!entry.parsed) return {HTTPPeerVerdict::Unreadable};
    if (entry.state != VTRSocketStateEstablished) return {HTTPPeerVerdict::NotConnected};
    if (entry.inode == 0) return {HTTPPeerVerdict::NotHeld};
    bool allowed = entry.userID == allowedUserID || entry.userID == 0;
    return {allowed ? HTTPPeerVerdict::Admitted : HTTPPeerVerdict::OtherUser, entry.userID};
}

}  // namespace vtr
