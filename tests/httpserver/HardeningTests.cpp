// The server's protections against other programs on the machine, over real sockets: the
// request body limit in both framings, the cap on open connections, and refusing peers that
// run under another user (found through the kernel's socket tables).
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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
using namespace std::chrono_literals;

constexpr uint32_t kNobody = 65534;

// A started server on loopback with RecordingConnection and the given limits.
class LimitedServer {
  public:
    explicit LimitedServer(HTTPServerLimits limits) {
        server.setInterface("lo0");
        server.setLimits(std::move(limits));
        server.setConnectionClass([record = record](const HTTPConfig& config) {
            return std::make_shared<test::RecordingConnection>(config, record);
        });
        VTRError error;
        EXPECT_TRUE(server.start(&error)) << error.description();
        port = server.listeningPort();
    }
    ~LimitedServer() { server.stop(); }

    bool recorded(const std::string& prefix) const {
        for (const std::string& entry : record->entries())
            if (entry.rfind(prefix, 0) == 0) return true;
        return false;
    }

    HTTPServer server;
    std::shared_ptr<test::HookRecord> record = std::make_shared<test::HookRecord>();
    uint16_t port = 0;
};

HTTPServerLimits bodyLimit(uint64_t bytes) {
    HTTPServerLimits limits;
    limits.maximumRequestBodySize = bytes;
    return limits;
}

std::string post(const std::string& path, const std::string& body) {
    return fmt::format("POST {} HTTP/1.1\r\nHost: localhost\r\nContent-Length: {}\r\n\r\n{}", path,
                       body.size(), body);
}

std::string chunked(const std::vector<size_t>& sizes) {
    std::string text =
        "POST /echo HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t size : sizes) text += fmt::format("{:x}\r\n{}\r\n", size, std::string(size, 'c'));
    return text + "0\r\n\r\n";
}

// ---- request body limit

TEST(HTTPServerBodyLimitTest, CountedBodyAtTheLimitServedOneByteMoreRefusedUnread) {
    test::ScopedLogCapture capture;
    LimitedServer fixture(bodyLimit(1024));

    RawHTTPClient exact(fixture.port);
    auto served = exact.exchange(post("/echo", std::string(1024, 'a')));
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status, 200);
    EXPECT_EQ(served->body, std::string(1024, 'a'));

    fixture.record->add("-- mark");
    // Only the header is sent: the refusal must not wait for a body.
    RawHTTPClient over(fixture.port);
    auto refused =
        over.exchange("POST /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1025\r\n\r\n");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->statusLine, "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(refused->header("Connection"), "close");
    EXPECT_EQ(refused->header("Content-Length"), "0");
    EXPECT_TRUE(over.waitForClose());
    EXPECT_TRUE(capture.contains(
        "HTTP Server: Error 413 - Payload Too Large: more than 1024 bytes (/echo)"));

    std::vector<std::string> entries = fixture.record->entries();
    auto mark = std::find(entries.begin(), entries.end(), "-- mark");
    ASSERT_NE(mark, entries.end());
    for (auto it = mark; it != entries.end(); ++it)
        EXPECT_EQ(it->find("prepareForBodyWithSize"), std::string::npos) << *it;

    // A length too large to add up (the largest 64-bit number) is refused the same way.
    RawHTTPClient huge(fixture.port);
    auto hugeReply = huge.exchange(
        "PUT /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 18446744073709551614\r\n\r\n");
    ASSERT_TRUE(hugeReply);
    EXPECT_EQ(hugeReply->status, 413);
}

TEST(HTTPServerBodyLimitTest, ChunkedBodyRefusedOnceItsChunksAddUpPastTheLimit) {
    LimitedServer fixture(bodyLimit(1024));

    RawHTTPClient exact(fixture.port);
    auto served = exact.exchange(chunked({1000, 24}));
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status, 200);
    EXPECT_EQ(served->body.size(), 1024u);

    // The second chunk's size line alone decides: its bytes are never sent.
    RawHTTPClient over(fixture.port);
    ASSERT_TRUE(
        over.send("POST /echo HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: "
                  "chunked\r\n\r\n3e8\r\n" +
                  std::string(1000, 'c') + "\r\n19\r\n"));
    auto refused = over.readReply();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);
    EXPECT_EQ(refused->header("Connection"), "close");
    EXPECT_TRUE(over.waitForClose());
    EXPECT_EQ(fixture.record->bodies().size(), 1u) << "the refused body was never finished";

    // One chunk announcing more than the limit at once.
    RawHTTPClient single(fixture.port);
    auto singleReply = single.exchange(
        "PUT /echo HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n401\r\n");
    ASSERT_TRUE(singleReply);
    EXPECT_EQ(singleReply->status, 413);
}

TEST(HTTPServerBodyLimitTest, SixteenMebibytesPlusOneIsNotReadToTheEnd) {
    constexpr uint64_t kLimit = 16 * 1024 * 1024;
    LimitedServer fixture(bodyLimit(kLimit));

    RawHTTPClient client(fixture.port);
    ASSERT_TRUE(client.connected());
    const std::string body(kLimit + 1, 'b');
    std::atomic<bool> wholeBodySent{false};
    std::thread writer([&] {
        // Fails once the server has closed; succeeds only if the server took in every byte.
        wholeBodySent = client.send(
            fmt::format("PUT /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: {}\r\n\r\n",
                        body.size()) +
            body);
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

TEST(HTTPServerBodyLimitTest, ByDefaultThereIsNoLimit) {
    LimitedServer fixture(HTTPServerLimits{});
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange(post("/echo", std::string(3 * 1024 * 1024, 'd')));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body.size(), 3u * 1024 * 1024);
}

// ---- connection cap

TEST(HTTPServerConnectionLimitTest, TheConnectionBeyondTheLimitClosesWhileOthersAreServed) {
    test::ScopedLogCapture capture;
    HTTPServerLimits limits;
    limits.maximumConnections = 256;
    LimitedServer fixture(limits);

    std::vector<std::unique_ptr<RawHTTPClient>> open;
    for (int i = 0; i < 256; ++i) {
        open.push_back(std::make_unique<RawHTTPClient>(fixture.port));
        ASSERT_TRUE(open.back()->connected()) << i;
    }
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 256; }));

    RawHTTPClient extra(fixture.port);
    ASSERT_TRUE(extra.connected()) << "the kernel completes the handshake";
    extra.send("GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(extra.waitForClose());
    EXPECT_EQ(extra.received(), "");
    EXPECT_TRUE(capture.containsPart("HTTPServer: 256 connections are open"));

    for (size_t i : {size_t{0}, size_t{128}, size_t{255}}) {
        auto reply = open[i]->exchange("GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(reply->body, "hello");
    }

    // Room again once one leaves.
    open.pop_back();
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 255; }));
    RawHTTPClient next(fixture.port);
    auto reply = next.exchange("GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "hello");
}

// ---- the peer's user

// A socket connected to 127.0.0.1:`port` by a child process running as `uid`, handed back over
// a socket pair, so that the kernel's tables list `uid` as its owner. -1 on failure.
int connectAsUser(uint32_t uid, uint16_t port) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    VTRFileDescriptor parentEnd(pair[0]);
    VTRFileDescriptor childEnd(pair[1]);
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) _exit(2);
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            _exit(3);
        char byte = 'x';
        iovec data{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
        _exit(::sendmsg(pair[1], &message, 0) == 1 ? 0 : 4);
    }
    childEnd.reset();
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = ::recvmsg(parentEnd.get(), &message, MSG_CMSG_CLOEXEC);
    int status = 0;
    ::waitpid(child, &status, 0);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (got != 1 || !header || header->cmsg_type != SCM_RIGHTS) return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

// Sends a GET on `fd` and returns everything received until the server closes or `timeout`
// passes; `closed` tells which.
std::string getOn(int fd, bool* closed, std::chrono::milliseconds timeout = 10s) {
    const std::string request =
        "GET /hello HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string received;
    *closed = false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (::poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 1))) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *closed = true;
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

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
    LimitedServer fixture(ownedBy(::geteuid()));
    VTRFileDescriptor stranger(connectAsUser(kNobody, fixture.port));
    ASSERT_TRUE(stranger.valid());
    bool closed = false;
    EXPECT_EQ(getOn(stranger.get(), &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(
        capture.containsPart(fmt::format("belongs to user {}, not {}", kNobody, ::geteuid())));
    EXPECT_FALSE(fixture.recorded("supportsMethod"));

    // The daemon's own user is served as before.
    RawHTTPClient own(fixture.port);
    auto reply = own.exchange("GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "hello");
}

TEST_F(HTTPServerPeerUserTest, TheOwningUserAndRootAreServed) {
    LimitedServer fixture(ownedBy(kNobody));
    VTRFileDescriptor owner(connectAsUser(kNobody, fixture.port));
    ASSERT_TRUE(owner.valid());
    bool closed = false;
    EXPECT_NE(getOn(owner.get(), &closed).find("\r\n\r\nhello"), std::string::npos);

    RawHTTPClient root(fixture.port);
    auto reply = root.exchange("GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(reply) << "root is let in to every user's server";
    EXPECT_EQ(reply->body, "hello");

    // A third user is not.
    LimitedServer other(ownedBy(4242));
    VTRFileDescriptor stranger(connectAsUser(kNobody, other.port));
    ASSERT_TRUE(stranger.valid());
    EXPECT_EQ(getOn(stranger.get(), &closed), "");
    EXPECT_TRUE(closed);
}

TEST(HTTPServerPeerUserUnknownTest, AnUnknownOwnerIsServedAndReportedOnce) {
    test::ScopedLogCapture capture;
    test::TempDir noTables;
    HTTPServerLimits limits;
    limits.peerUserID = 4242;
    limits.socketTableDirectory = noTables.path();
    LimitedServer fixture(limits);
    for (int i = 0; i < 3; ++i) {
        RawHTTPClient client(fixture.port);
        auto reply = client.exchange("GET /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->body, "hello");
    }
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
    LimitedServer fixture(HTTPServerLimits{});
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
