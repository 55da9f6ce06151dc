#include "httpserver/HTTPSocketOwner.h"

#include <optional>
#include <vector>

#include "foundation/VTRSocketTable.h"

namespace vtr {

HTTPPeerCheck HTTPCheckPeerUser(const std::string& tableDirectory, const sockaddr* peer,
                                const sockaddr* local, uint32_t allowedUserID) {
    std::optional<VTRSocketEndpoint> peerEndpoint = VTRSocketEndpointOf(peer);
    std::optional<VTRSocketEndpoint> localEndpoint = VTRSocketEndpointOf(local);
    if (!peerEndpoint || !localEndpoint) return {HTTPPeerVerdict::NoEntry};
    // The peer's socket: its own address is the peer, its remote one ours.
    std::optional<std::vector<VTRSocketTableEntry>> entries = VTRReadSocketTables(
        tableDirectory, [&](const VTRSocketEndpoint& own, const VTRSocketEndpoint& remote) {
            return own == *peerEndpoint && remote == *localEndpoint;
        });
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
