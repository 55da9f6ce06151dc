// The peer check against socket tables written by the test, every verdict. The server tests
// check it against this machine's own tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "httpserver/HTTPSocketOwner.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

// `host`:`port` as a socket address, and as the kernel's socket tables list it: each 32-bit word
// of the address printed as a number in the machine's byte order, then the port.
std::pair<sockaddr_storage, std::string> endpoint(const std::string& host, uint16_t port) {
    sockaddr_storage storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    bool v6 = host.find(':') != std::string::npos;
    storage.ss_family = v6 ? AF_INET6 : AF_INET;
    (v6 ? in6->sin6_port : in->sin_port) = htons(port);
    void* address = v6 ? static_cast<void*>(&in6->sin6_addr) : &in->sin_addr;
    inet_pton(storage.ss_family, host.c_str(), address);
    std::string listed;
    for (int word = 0; word < (v6 ? 4 : 1); ++word)
        listed += fmt::format("{:08X}", static_cast<const uint32_t*>(address)[word]);
    return {storage, listed + fmt::format(":{:04X}", port)};
}

std::string tableAddress(const std::string& host, uint16_t port) {
    return endpoint(host, port).second;
}

// A table line for the socket at `own` connected to `remote`.
std::string tableLine(const std::string& own, const std::string& remote, const char* state,
                      const std::string& uid, uint64_t inode) {
    return fmt::format(
        "   0: {} {} {} 00000000:00000000 00:00000000 00000000 {:>5} 0 {} 1 "
        "0000000000000000 20 4 30 10 -1\n",
        own, remote, state, uid, inode);
}

TEST(HTTPSocketOwnerTest, OnlyOneConnectedHeldEntryOfTheAllowedUserOrRootAdmits) {
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    const std::string server4 = tableAddress("127.0.0.1", 8080);
    const std::string peer4 = tableAddress("127.0.0.1", 50000);
    const std::string mappedServer = tableAddress("::ffff:127.0.0.1", 8080);
    const std::string mappedPeer = tableAddress("::ffff:127.0.0.1", 50000);
    auto peerLine = [&](const char* state, const char* uid, uint64_t inode) {
        return tableLine(peer4, server4, state, uid, inode);
    };
    // The server's side of the same connection: never to be taken for the peer's.
    const std::string serverSide = tableLine(server4, peer4, "01", "0", 77);
    const std::string allowed = peerLine("01", "1000", 88);
    const std::optional<std::string> absent;
    struct Case {
        const char* name;
        std::optional<std::string> tcp;  // nothing: the table does not exist
        std::optional<std::string> tcp6;
        HTTPPeerVerdict verdict;
        uint32_t userID;
        const char* peerHost = "127.0.0.1";
    };
    using enum HTTPPeerVerdict;
    const Case cases[] = {
        {"the allowed user", serverSide + allowed, "", Admitted, 1000},
        {"root, connected and held", peerLine("01", "0", 88), "", Admitted, 0},
        {"another user", peerLine("01", "1001", 88), "", OtherUser, 1001},
        {"only the server's side", serverSide, "", NoEntry, 0},
        {"the peer's port connected elsewhere",
         tableLine(peer4, tableAddress("127.0.0.1", 8081), "01", "1000", 88), "", NoEntry, 0},
        {"two matching lines", allowed + allowed, "", SeveralEntries, 0},
        {"a line in each table", allowed, tableLine(mappedPeer, mappedServer, "01", "1000", 89),
         SeveralEntries, 0},
        {"connected but held by no process", peerLine("01", "1000", 0), "", NotHeld, 0},
        {"TIME_WAIT, listed as root", peerLine("06", "0", 0), "", NotConnected, 0},
        {"FIN_WAIT1, still held", peerLine("04", "1000", 88), "", NotConnected, 0},
        {"a user that is not a number", peerLine("01", "x", 88), "", Unreadable, 0},
        {"no tables", absent, absent, Unreadable, 0},
        {"an IPv6 peer, no IPv4 table", absent,
         tableLine(tableAddress("::1", 40000), tableAddress("::1", 8080), "01", "1000", 88),
         Admitted, 1000, "::1"},
        {"a dual-stack peer listed IPv4-mapped", "",
         tableLine(mappedPeer, mappedServer, "01", "0", 88), Admitted, 0},
        // A table that exists but cannot be read counts against the peer, whatever the other says.
        {"an unreadable table", std::nullopt, tableLine(mappedPeer, mappedServer, "01", "1000", 88),
         Unreadable, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir tables;
        if (c.tcp) test::writeFile(tables.file("tcp"), header + *c.tcp);
        if (c.tcp6) test::writeFile(tables.file("tcp6"), header + *c.tcp6);
        if (std::string(c.name) == "an unreadable table")
            std::filesystem::create_directory(tables.file("tcp"));
        bool v6 = std::string(c.peerHost) == "::1";
        auto peer = endpoint(c.peerHost, v6 ? 40000 : 50000).first;
        auto server = endpoint(c.peerHost, 8080).first;
        HTTPPeerCheck check = HTTPCheckPeerUser(tables.path(), reinterpret_cast<sockaddr*>(&peer),
                                                reinterpret_cast<sockaddr*>(&server), 1000);
        EXPECT_EQ(check.verdict, c.verdict);
        // The listed user means something only for these two.
        EXPECT_EQ(c.verdict == Admitted || c.verdict == OtherUser ? check.userID : 0u, c.userID);
    }
}

}  // namespace
}  // namespace vtr
