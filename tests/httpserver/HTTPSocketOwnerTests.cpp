// The peer check against socket tables written by the test (every verdict), and against this
// machine's own tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "RecordingConnection.h"
#include "httpserver/HTTPSocketOwner.h"
#include "logging/VTRFileDescriptor.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

sockaddr_storage endpoint(const std::string& host, uint16_t port) {
    sockaddr_storage storage{};
    if (host.find(':') != std::string::npos) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &in->sin_addr);
    }
    return storage;
}

const sockaddr* raw(const auto& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

// An address as the kernel lists it: each 32-bit word of the address printed as a number in the
// machine's byte order, then the port.
std::string tableAddress(const std::string& host, uint16_t port) {
    sockaddr_storage storage = endpoint(host, port);
    const unsigned char* bytes =
        storage.ss_family == AF_INET6
            ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr.s6_addr
            : reinterpret_cast<unsigned char*>(&reinterpret_cast<sockaddr_in*>(&storage)->sin_addr);
    std::string text;
    for (int word = 0; word < (storage.ss_family == AF_INET6 ? 4 : 1); ++word) {
        uint32_t value = 0;
        std::memcpy(&value, bytes + word * 4, 4);
        text += fmt::format("{:08X}", value);
    }
    return text + fmt::format(":{:04X}", port);
}

const std::string kTableHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";

// A table line for the socket at `own` connected to `remote`.
std::string tableLine(const std::string& own, const std::string& remote, const char* state,
                      const std::string& uid, uint64_t inode) {
    return fmt::format(
        "   0: {} {} {} 00000000:00000000 00:00000000 00000000 {:>5} 0 {} 1 "
        "0000000000000000 20 4 30 10 -1\n",
        own, remote, state, uid, inode);
}

TEST(HTTPSocketOwnerTest, OnlyOneConnectedHeldEntryOfTheAllowedUserOrRootAdmits) {
    constexpr uint32_t kAllowed = 1000;
    const std::string server4 = tableAddress("127.0.0.1", 8080);
    const std::string peer4 = tableAddress("127.0.0.1", 50000);
    const std::string server6 = tableAddress("::1", 8080);
    const std::string peer6 = tableAddress("::1", 40000);
    const std::string mappedServer = tableAddress("::ffff:127.0.0.1", 8080);
    const std::string mappedPeer = tableAddress("::ffff:127.0.0.1", 50000);
    // The server's side of the same connection: never to be taken for the peer's.
    const std::string serverSide = tableLine(server4, peer4, "01", "0", 77);
    const std::string allowed = tableLine(peer4, server4, "01", "1000", 88);
    const std::optional<std::string> absent;
    struct Case {
        const char* name;
        std::optional<std::string> tcp;  // nothing: the table does not exist
        std::optional<std::string> tcp6;
        const char* peerHost;
        HTTPPeerVerdict verdict;
        uint32_t userID;
    };
    using enum HTTPPeerVerdict;
    const Case cases[] = {
        {"the allowed user", serverSide + allowed, "", "127.0.0.1", Admitted, kAllowed},
        {"root, connected and held", tableLine(peer4, server4, "01", "0", 88), "", "127.0.0.1",
         Admitted, 0},
        {"another user", tableLine(peer4, server4, "01", "1001", 88), "", "127.0.0.1", OtherUser,
         1001},
        {"only the server's side", serverSide, "", "127.0.0.1", NoEntry, 0},
        {"the peer's port connected elsewhere",
         tableLine(peer4, tableAddress("127.0.0.1", 8081), "01", "1000", 88), "", "127.0.0.1",
         NoEntry, 0},
        {"two matching lines", allowed + allowed, "", "127.0.0.1", SeveralEntries, 0},
        {"a line in each table", allowed, tableLine(mappedPeer, mappedServer, "01", "1000", 89),
         "127.0.0.1", SeveralEntries, 0},
        {"connected but held by no process", tableLine(peer4, server4, "01", "1000", 0), "",
         "127.0.0.1", NotHeld, 0},
        {"TIME_WAIT, listed as root", tableLine(peer4, server4, "06", "0", 0), "", "127.0.0.1",
         NotConnected, 0},
        {"FIN_WAIT2, listed as root", tableLine(peer4, server4, "05", "0", 0), "", "127.0.0.1",
         NotConnected, 0},
        {"FIN_WAIT1, still held", tableLine(peer4, server4, "04", "1000", 88), "", "127.0.0.1",
         NotConnected, 0},
        {"a user that is not a number", tableLine(peer4, server4, "01", "x", 88), "", "127.0.0.1",
         Unreadable, 0},
        {"no tables", absent, absent, "127.0.0.1", Unreadable, 0},
        {"an IPv6 peer, no IPv4 table", absent, tableLine(peer6, server6, "01", "1000", 88), "::1",
         Admitted, kAllowed},
        {"a dual-stack peer listed IPv4-mapped", "",
         tableLine(mappedPeer, mappedServer, "01", "0", 88), "127.0.0.1", Admitted, 0},
    };
    for (const Case& c : cases) {
        test::TempDir tables;
        if (c.tcp) test::writeFile(tables.file("tcp"), kTableHeader + *c.tcp);
        if (c.tcp6) test::writeFile(tables.file("tcp6"), kTableHeader + *c.tcp6);
        bool v6 = std::string(c.peerHost) == "::1";
        auto peer = endpoint(c.peerHost, v6 ? 40000 : 50000);
        auto server = endpoint(c.peerHost, 8080);
        HTTPPeerCheck check = HTTPCheckPeerUser(tables.path(), raw(peer), raw(server), kAllowed);
        EXPECT_EQ(check.verdict, c.verdict) << c.name;
        if (c.verdict == Admitted || c.verdict == OtherUser) {
            EXPECT_EQ(check.userID, c.userID) << c.name;
        }
    }

    // A table that exists but cannot be read counts against the peer, whatever the other says.
    test::TempDir broken;
    std::filesystem::create_directory(broken.file("tcp"));
    test::writeFile(broken.file("tcp6"),
                    kTableHeader + tableLine(mappedPeer, mappedServer, "01", "1000", 88));
    auto peer = endpoint("127.0.0.1", 50000);
    auto server = endpoint("127.0.0.1", 8080);
    EXPECT_EQ(HTTPCheckPeerUser(broken.path(), raw(peer), raw(server), kAllowed).verdict,
              Unreadable);
}

TEST(HTTPSocketOwnerTest, FindsThisProcesssOwnSocketInTheRealTables) {
    test::RecordingServer fixture;
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    VTRFileDescriptor probeSocket(probe);
    auto server = endpoint("127.0.0.1", fixture.port);
    ASSERT_EQ(::connect(probe, raw(server), sizeof(sockaddr_in)), 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length), 0);
    HTTPPeerCheck check = HTTPCheckPeerUser("/proc/net", raw(local), raw(server), ::geteuid());
    EXPECT_EQ(check.verdict, HTTPPeerVerdict::Admitted);
    EXPECT_EQ(check.userID, ::geteuid());
}

}  // namespace
}  // namespace vtr
