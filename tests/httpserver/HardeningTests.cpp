// The server's protections against other programs on the machine, over real sockets: the
// request body limit in both framings, the cap on open connections, and refusing peers that
// run under another user (found through the kernel's socket tables).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "RawHTTPClient.h"
#include "RecordingConnection.h"
#include "httpserver/HTTPSocketOwner.h"
#include "logging/VTRFileDescriptor.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::RawHTTPClient;
using test::RecordingServer;
using namespace std::chrono_literals;

constexpr uint32_t kNobody = 65534;
const std::string kGet = "GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n";

HTTPServerLimits bodyLimit(uint64_t bytes) {
    HTTPServerLimits limits;
    limits.maximumRequestBodySize = bytes;
    return limits;
}

// A request header with a counted or chunked body of which nothing is sent yet.
std::string header(const std::string& method, const std::string& framing) {
    return method + " /echo HTTP/1.1\r\nHost: localhost\r\n" + framing + "\r\n\r\n";
}

std::string counted(uint64_t size) {
    return header("PUT", fmt::format("Content-Length: {}", size));
}

const std::string kChunked = header("POST", "Transfer-Encoding: chunked");

// ---- request body limit

TEST(HTTPServerBodyLimitTest, CountedBodyAtTheLimitServedOneByteMoreRefusedUnread) {
    test::ScopedLogCapture capture;
    RecordingServer fixture(bodyLimit(1024));
    auto served = RawHTTPClient::once(fixture.port, counted(1024) + std::string(1024, 'a'));
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(served.body, std::string(1024, 'a'));

    // Only the header is sent: the refusal must not wait for a body.
    RawHTTPClient over(fixture.port);
    auto refused = over.exchange(counted(1025));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->statusLine, "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(refused->header("Connection"), "close");
    EXPECT_EQ(refused->header("Content-Length"), "0");
    EXPECT_TRUE(over.waitForClose());
    EXPECT_TRUE(capture.contains(
        "HTTP Server: Error 413 - Payload Too Large: more than 1024 bytes (/echo)"));

    EXPECT_EQ(fixture.record->count("prepareForBodyWithSize"), 1u) << "only the served body";

    // A length too large to add up (the largest 64-bit number) is refused the same way.
    EXPECT_EQ(RawHTTPClient::once(fixture.port, counted(18446744073709551614u)).status, 413);
}

TEST(HTTPServerBodyLimitTest, ChunkedBodyRefusedOnceItsChunksAddUpPastTheLimit) {
    RecordingServer fixture(bodyLimit(1024));
    auto served = RawHTTPClient::once(fixture.port, kChunked + "3e8\r\n" + std::string(1000, 'c') +
                                                        "\r\n18\r\n" + std::string(24, 'c') +
                                                        "\r\n0\r\n\r\n");
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(served.body.size(), 1024u);

    // The second chunk's size line alone decides: its bytes are never sent.
    RawHTTPClient over(fixture.port);
    auto refused = over.exchange(kChunked + "3e8\r\n" + std::string(1000, 'c') + "\r\n19\r\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);
    EXPECT_EQ(refused->header("Connection"), "close");
    EXPECT_TRUE(over.waitForClose());
    EXPECT_EQ(fixture.record->count("finishBody"), 1u) << "the refused body was never finished";

    // One chunk announcing more than the limit at once.
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kChunked + "401\r\n").status, 413);
}

TEST(HTTPServerBodyLimitTest, SixteenMebibytesPlusOneIsNotReadToTheEnd) {
    constexpr uint64_t kLimit = 16 * 1024 * 1024;
    RecordingServer fixture(bodyLimit(kLimit));

    RawHTTPClient client(fixture.port);
    ASSERT_TRUE(client.connected());
    std::atomic<bool> wholeBodySent{false};
    std::thread writer([&] {
        // Fails once the server has closed; succeeds only if the server took in every byte.
        wholeBodySent = client.send(counted(kLimit + 1) + std::string(kLimit + 1, 'b'));
    });
    auto reply = client.readReply();
    bool closed = client.waitForClose();
    writer.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(wholeBodySent) << "the server read the whole refused body";
    EXPECT_EQ(fixture.record->largestPiece(), 0u) << "body bytes reached the connection";
}

// ---- connection cap

TEST(HTTPServerConnectionLimitTest, TheConnectionBeyondTheLimitClosesWhileOthersAreServed) {
    test::ScopedLogCapture capture;
    HTTPServerLimits limits;
    limits.maximumConnections = 256;
    RecordingServer fixture(limits);

    std::vector<std::unique_ptr<RawHTTPClient>> open;
    for (int i = 0; i < 256; ++i) {
        open.push_back(std::make_unique<RawHTTPClient>(fixture.port));
        ASSERT_TRUE(open.back()->connected()) << i;
    }
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 256; }));

    RawHTTPClient extra(fixture.port);
    ASSERT_TRUE(extra.connected()) << "the kernel completes the handshake";
    EXPECT_TRUE(extra.closesUnanswered(kGet));
    EXPECT_TRUE(capture.containsPart("HTTPServer: 256 connections are open"));

    for (size_t i : {size_t{0}, size_t{128}, size_t{255}}) {
        auto reply = open[i]->exchange(kGet);
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(reply->body, "hello");
    }

    // Room again once one leaves.
    open.pop_back();
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 255; }));
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
}

// ---- the peer's user

class HTTPServerPeerUserTest : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    }

    static HTTPServerLimits ownedBy(uint32_t uid) {
        HTTPServerLimits limits;
        limits.peerUserID = uid;
        return limits;
    }
};

TEST_F(HTTPServerPeerUserTest, AnotherUsersConnectionIsClosedUnanswered) {
    test::ScopedLogCapture capture;
    RecordingServer fixture(ownedBy(::geteuid()));
    auto stranger = RawHTTPClient::connectedAsUser(kNobody, fixture.port);
    ASSERT_TRUE(stranger->connected());
    EXPECT_TRUE(stranger->closesUnanswered(kGet));
    EXPECT_TRUE(
        capture.containsPart(fmt::format("belongs to user {}, not {}", kNobody, ::geteuid())));
    EXPECT_EQ(fixture.record->count("supportsMethod"), 0u);
    // The daemon's own user is served as before.
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
}

TEST_F(HTTPServerPeerUserTest, TheOwningUserAndRootAreServed) {
    RecordingServer fixture(ownedBy(kNobody));
    auto owner = RawHTTPClient::connectedAsUser(kNobody, fixture.port);
    ASSERT_TRUE(owner->connected());
    auto reply = owner->exchange(kGet);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "hello");
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello")
        << "root is let in to every user's server";

    // A third user is not.
    RecordingServer other(ownedBy(4242));
    auto stranger = RawHTTPClient::connectedAsUser(kNobody, other.port);
    ASSERT_TRUE(stranger->connected());
    EXPECT_TRUE(stranger->closesUnanswered(kGet));
}

TEST(HTTPServerPeerUserUnknownTest, AnUnknownOwnerIsServedAndReportedOnce) {
    test::ScopedLogCapture capture;
    test::TempDir noTables;
    HTTPServerLimits limits;
    limits.peerUserID = 4242;
    limits.socketTableDirectory = noTables.path();
    RecordingServer fixture(limits);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
    size_t reports = 0;
    for (const std::string& text : capture.texts())
        reports += text.find("HTTPServer: Could not find the user of the connection") == 0;
    EXPECT_EQ(reports, 1u);
}

// ---- the socket tables

sockaddr_in v4(const char* address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address, &in.sin_addr);
    return in;
}

sockaddr_in6 v6(const char* address, uint16_t port) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &in6.sin6_addr);
    return in6;
}

const sockaddr* raw(const auto& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

TEST(HTTPSocketOwnerTest, ReadsThePeersLineNotOursFromBothTables) {
    if (htonl(1) == 1) GTEST_SKIP() << "the sample tables are written for a little-endian machine";
    test::TempDir tables;
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    // 127.0.0.1:50000 -> 127.0.0.1:8080 owned by 1001, and the server's side of the same
    // connection (owned by 0), which must not be taken for the peer's.
    test::writeFile(tables.file("tcp"),
                    header +
                        "   0: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 "
                        "00000000     0        0 111 1 0000000000000000 20 4 30 10 -1\n"
                        "   1: 0100007F:C350 0100007F:1F90 01 00000000:00000000 00:00000000 "
                        "00000000  1001        0 112 1 0000000000000000 20 4 30 10 -1\n");
    // [::1]:40000 -> [::1]:8080 owned by 1002, and a dual-stack peer listed with an
    // IPv4-mapped address: ::ffff:127.0.0.1:40001 -> 127.0.0.1:8080 owned by 1003.
    test::writeFile(tables.file("tcp6"),
                    header +
                        "   0: 00000000000000000000000001000000:9C40 "
                        "00000000000000000000000001000000:1F90 01 00000000:00000000 "
                        "00:00000000 00000000  1002        0 113 1\n"
                        "   1: 0000000000000000FFFF00000100007F:9C41 "
                        "0000000000000000FFFF00000100007F:1F90 01 00000000:00000000 "
                        "00:00000000 00000000  1003        0 114 1\n");

    auto server4 = v4("127.0.0.1", 8080);
    auto peer4 = v4("127.0.0.1", 50000);
    EXPECT_EQ(HTTPSocketOwnerUserID(tables.path(), raw(peer4), raw(server4)), 1001u);
    EXPECT_EQ(HTTPSocketOwnerUserID(tables.path(), raw(server4), raw(peer4)), 0u);

    auto server6 = v6("::1", 8080);
    auto peer6 = v6("::1", 40000);
    EXPECT_EQ(HTTPSocketOwnerUserID(tables.path(), raw(peer6), raw(server6)), 1002u);

    auto mappedPeer = v4("127.0.0.1", 40001);
    EXPECT_EQ(HTTPSocketOwnerUserID(tables.path(), raw(mappedPeer), raw(server4)), 1003u);

    // Right address, wrong port; and a peer connected elsewhere.
    auto otherPort = v4("127.0.0.1", 50001);
    EXPECT_EQ(HTTPSocketOwnerUserID(tables.path(), raw(otherPort), raw(server4)), std::nullopt);
    auto otherServer = v4("127.0.0.1", 8081);
    EXPECT_EQ(HTTPSocketOwnerUserID(tables.path(), raw(peer4), raw(otherServer)), std::nullopt);
}

TEST(HTTPSocketOwnerTest, FindsThisProcesssOwnSocketInTheRealTables) {
    RecordingServer fixture;
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    VTRFileDescriptor probeSocket(probe);
    auto server = v4("127.0.0.1", fixture.port);
    ASSERT_EQ(::connect(probe, raw(server), sizeof server), 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(HTTPSocketOwnerUserID("/proc/net", raw(local), raw(server)), ::geteuid());
}

}  // namespace
}  // namespace vtr
