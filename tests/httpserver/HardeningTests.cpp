// The server's protections against other programs on the machine, over real sockets: the
// request body limit in both framings, the cap on open connections, and refusing peers that
// run under another user (found through the kernel's socket tables).
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
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
        const passwd* entry = ::getpwnam("nobody");
        if (!entry) GTEST_SKIP() << "there is no user \"nobody\" to connect as";
        nobody_ = entry->pw_uid;
    }

    static HTTPServerLimits ownedBy(uint32_t uid) {
        HTTPServerLimits limits;
        limits.peerUserID = uid;
        return limits;
    }

    uid_t nobody_ = 0;
};

TEST_F(HTTPServerPeerUserTest, AnotherUsersConnectionIsClosedUnanswered) {
    test::ScopedLogCapture capture;
    RecordingServer fixture(ownedBy(::geteuid()));
    auto stranger = RawHTTPClient::connectedAsUser(nobody_, fixture.port);
    ASSERT_TRUE(stranger->connected());
    EXPECT_TRUE(stranger->closesUnanswered(kGet));
    EXPECT_TRUE(
        capture.containsPart(fmt::format("belongs to user {}, not {}", nobody_, ::geteuid())));
    EXPECT_EQ(fixture.record->count("supportsMethod"), 0u);
    // The daemon's own user is served as before.
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
}

TEST_F(HTTPServerPeerUserTest, TheOwningUserAndRootAreServed) {
    RecordingServer fixture(ownedBy(nobody_));
    auto owner = RawHTTPClient::connectedAsUser(nobody_, fixture.port);
    ASSERT_TRUE(owner->connected());
    auto reply = owner->exchange(kGet);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "hello");
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello")
        << "root is let in to every user's server";

    // A third user is not.
    RecordingServer other(ownedBy(4242));
    auto stranger = RawHTTPClient::connectedAsUser(nobody_, other.port);
    ASSERT_TRUE(stranger->connected());
    EXPECT_TRUE(stranger->closesUnanswered(kGet));
}

// Another user's program that opens `idle` connections and keeps them, so that every look-up
// in the socket tables takes long, then makes `attempts` connections that each send `request`
// and close at once. The owner of a socket closed that way is listed as root once it is gone.
// It reports how many idle connections it opened, then how many requests it sent whole, and
// keeps its connections until release() or destruction.
class ClosingAttacker {
  public:
    ClosingAttacker(uid_t uid, uint16_t port, const std::string& request, int idle, int attempts) {
        int report[2];
        int hold[2];
        if (::pipe2(report, O_CLOEXEC) != 0) return;
        if (::pipe2(hold, O_CLOEXEC) != 0) {
            ::close(report[0]);
            ::close(report[1]);
            return;
        }
        reportRead_ = VTRFileDescriptor(report[0]);
        VTRFileDescriptor reportWrite(report[1]);
        VTRFileDescriptor holdRead(hold[0]);
        holdWrite_ = VTRFileDescriptor(hold[1]);
        child_ = ::fork();
        if (child_ != 0) return;
        // Async-signal-safe calls only: the parent has threads.
        holdWrite_.reset();  // else the child would wait for itself
        reportRead_.reset();
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) _exit(2);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto connectOne = [&address] {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (fd >= 0 &&
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                fd = -1;
            }
            return fd;
        };
        int opened = 0;
        for (int i = 0; i < idle; ++i) opened += connectOne() >= 0;  // kept until the exit
        if (::write(reportWrite.get(), &opened, sizeof opened) != sizeof opened) _exit(3);
        int sent = 0;
        for (int i = 0; i < attempts; ++i) {
            int fd = connectOne();
            if (fd < 0) continue;
            sent += ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(request.size());
            ::close(fd);
        }
        if (::write(reportWrite.get(), &sent, sizeof sent) != sizeof sent) _exit(3);
        char byte;
        while (::read(holdRead.get(), &byte, 1) > 0) {
        }
        _exit(0);
    }

    ~ClosingAttacker() {
        release();
        if (child_ > 0) ::waitpid(child_, nullptr, 0);
    }

    // The next count the child reports; nothing when it failed or took longer than `timeout`.
    std::optional<int> nextReport(std::chrono::milliseconds timeout) {
        if (child_ <= 0) return std::nullopt;
        pollfd entry{reportRead_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        int count = 0;
        if (::read(reportRead_.get(), &count, sizeof count) != sizeof count) return std::nullopt;
        return count;
    }

    // Lets the child close its connections and exit.
    void release() { holdWrite_.reset(); }

  private:
    pid_t child_ = -1;
    VTRFileDescriptor reportRead_;
    VTRFileDescriptor holdWrite_;
};

TEST_F(HTTPServerPeerUserTest, RequestsOfAnotherUserThatClosesAtOnceAreNeverServed) {
    constexpr int kIdle = 250;
    constexpr int kAttempts = 200;
    RecordingServer fixture(ownedBy(::geteuid()));
    const std::string request = "PUT /attack HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi";
    ClosingAttacker attacker(nobody_, fixture.port, request, kIdle, kAttempts);
    ASSERT_EQ(attacker.nextReport(30s), kIdle) << "the attacker could not open its connections";

    {
        // This user's request, sent while the attempts go on and queued behind many of them.
        RawHTTPClient own(fixture.port);
        ASSERT_TRUE(own.send(kGet));
        EXPECT_EQ(attacker.nextReport(30s), kAttempts) << "not every attempt sent its request";
        // Every look-up reads the whole tables, which the attack has made long.
        auto reply = own.readReply(false, 60s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->body, "hello");
    }
    attacker.release();
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 0; }));
    EXPECT_EQ(fixture.record->count("/attack"), 0u) << "hooks saw the other user's requests";
}

TEST(HTTPServerPeerUserUnknownTest, UnreadableTablesRefuseEveryPeerAndAreReportedOnce) {
    test::ScopedLogCapture capture;
    test::TempDir noTables;
    HTTPServerLimits limits;
    limits.peerUserID = ::geteuid();
    limits.socketTableDirectory = noTables.path();
    RecordingServer fixture(limits);
    for (int i = 0; i < 3; ++i) {
        RawHTTPClient client(fixture.port);
        ASSERT_TRUE(client.connected());
        EXPECT_TRUE(client.closesUnanswered(kGet)) << i;
    }
    size_t reports = 0;
    for (const std::string& text : capture.texts())
        reports += text.find("HTTPServer: Refused the connection from") == 0 &&
                   text.find("cannot be read") != std::string::npos;
    EXPECT_EQ(reports, 1u);
    EXPECT_EQ(fixture.record->count("supportsMethod"), 0u);
}

// ---- the socket tables

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
    RecordingServer fixture;
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
