// The embedded server over real sockets on loopback, for what needs them: start-up, time-outs,
// the error replies with their log lines and whether the connection stays, keep-alive and
// pipelining, hook order and body pieces, and the protections (body limit, connection cap,
// the peer's user). Parsing itself is proved at the request reader.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "RawHTTPClient.h"
#include "RecordingConnection.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::RawHTTPClient;
using test::RecordingServer;
using namespace std::chrono_literals;

std::string get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}
const std::string kGet = get("/hello");

bool noConnectionsLeft(RecordingServer& fixture) {
    return test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 0; });
}

// ---- start-up

TEST(HTTPServerStartTest, ListensOnLoopbackByNameOrAddressAndFailsWithTheSocketTexts) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;  // on "lo0": both families on one port
    EXPECT_TRUE(capture.contains("HTTPServer: Started HTTP server on port " +
                                 std::to_string(fixture.port)));
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
    HTTPServer v4, v6;
    v4.setInterface("127.0.0.1");
    v6.setInterface("::1");
    ASSERT_TRUE(v4.start());
    if (v6.start()) {  // where the machine has an IPv6 loopback
        EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet, "::1").body, "hello");
        EXPECT_FALSE(RawHTTPClient(v4.listeningPort(), "::1").connected())
            << "an IPv4 address listens on IPv4 only";
    }
    VTRError error;
    EXPECT_FALSE(fixture.server.start(&error)) << "a running server does not start twice";
    fixture.server.stop();
    EXPECT_FALSE(RawHTTPClient(fixture.port).connected());

    HTTPServer byName;
    byName.setInterface("lo");
    ASSERT_TRUE(byName.start());
    EXPECT_TRUE(RawHTTPClient(byName.listeningPort()).connected());
    HTTPServer taken;
    taken.setInterface("127.0.0.1");
    taken.setPort(byName.listeningPort());
    EXPECT_FALSE(taken.start(&error));
    EXPECT_EQ(error.domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(error.code(), EADDRINUSE);
    EXPECT_EQ(error.localizedDescription(), "Error in bind() function");
    HTTPServer unknown;
    unknown.setInterface("no-such-interface0");
    EXPECT_FALSE(unknown.start(&error));
    EXPECT_EQ(error.localizedDescription(),
              "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    EXPECT_TRUE(capture.containsPart("HTTPServer: Failed to start HTTP Server: "));
}

// ---- time-outs

// Sends `piece` again and again; true when the server closes within 5 s without a reply.
bool closesWhileTrickling(RawHTTPClient& client, const std::string& piece) {
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 5s) {
        client.send(piece);  // a failed send means the server has closed; the wait sees it
        if (client.waitForClose(50ms)) return client.received().empty();
    }
    return false;
}

TEST(HTTPServerTimeoutTest, SilenceTricklingHeadersAndEndlessBodiesDisconnect) {
    RecordingServer fixture({}, 300ms);
    // Neither bytes of one header line nor body bytes renew the time-out: the whole body must
    // arrive within it, counted or chunked.
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"GET /hello HTTP/1.1\r\nHost: x\r\n", ""},
        {"", "a"},
        {"PUT /echo HTTP/1.1\r\nContent-Length: 1000\r\n\r\n", "a"},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "1\r\na\r\n"},
    };
    for (const auto& [header, piece] : cases) {
        RawHTTPClient client(fixture.port);
        ASSERT_TRUE(client.send(header + piece)) << header;
        EXPECT_TRUE(closesWhileTrickling(client, piece)) << header << piece;
    }
    EXPECT_EQ(fixture.record->count("finishBody"), 0u);
    EXPECT_TRUE(noConnectionsLeft(fixture));
}

// ---- error replies

TEST(HTTPServerErrorReplyTest, StatusLineLogLineAndWhetherTheConnectionStays) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    struct Case {
        std::string request;
        std::string statusLine;
        bool closes;
        std::string logLine;  // the whole line, or "]: <detail>" after the connection's address
    };
    const Case cases[] = {
        {"POST /nobody-serves-this HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request", true,
         "HTTP Server: Error 400 - Bad Request (/nobody-serves-this)"},
        {"this is not http\r\n\r\n", "HTTP/1.1 400 Bad Request", true, "]: Malformed request"},
        {"DELETE /jobs HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", true,
         "HTTP Server: Error 405 - Method Not Allowed: DELETE (/jobs)"},
        // A body method on an unsupported path: the length is checked first, then support.
        {"POST /put-only HTTP/1.1\r\nContent-Length: 2\r\n\r\nab",
         "HTTP/1.1 405 Method Not Allowed", true, ""},
        {"GET /hello HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported", false,
         "HTTP Server: Error 505 - Version Not Supported: HTTP/2.0 (/hello)"},
        {get("/none"), "HTTP/1.1 404 Not Found", false, ""},
        {get("/hello", "Upgrade: websocket\r\nConnection: upgrade\r\n"), "HTTP/1.1 404 Not Found",
         false, ""},
        // Bytes behind a refused framing are never taken for a request.
        {"PUT /echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nhello" + kGet,
         "HTTP/1.1 501 Not Implemented", true,
         "HTTP Server: Error 501 - Not Implemented: Transfer-Encoding gzip (/echo)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        RawHTTPClient client(fixture.port);
        auto reply = client.exchange(c.request);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->statusLine, c.statusLine);
        EXPECT_TRUE(reply->header("Date"));
        EXPECT_EQ(reply->header("Content-Length"), "0");
        EXPECT_EQ(reply->header("Accept-Ranges"), "bytes");
        auto logged = [&](const std::string& text) {  // "HTTPConnection[0x<address>]: <detail>"
            if (!c.logLine.starts_with("]: ")) return text == c.logLine;
            return text.starts_with("HTTPConnection[0x") && text.ends_with(c.logLine);
        };
        EXPECT_TRUE(c.logLine.empty() || std::ranges::any_of(capture.texts(), logged));
        if (c.closes) {
            EXPECT_EQ(reply->header("Connection"), "close");
            EXPECT_TRUE(client.waitForClose());
            EXPECT_EQ(client.received(), "");
        } else {
            EXPECT_FALSE(reply->header("Connection"));
            auto next = client.exchange(kGet);
            ASSERT_TRUE(next);
            EXPECT_EQ(next->status, 200);
        }
    }
    EXPECT_EQ(fixture.record->count("prepareForBodyWithSize"), 0u)
        << "a refused request began a body";
    // A body method without a length is refused before support is even asked.
    EXPECT_EQ(fixture.record->count("supportsMethod POST /nobody-serves-this"), 0u);
}

// ---- replies, keep-alive and pipelining

TEST(HTTPServerReplyTest, PipelinedHeadDelayedAndDroppedRepliesAndWhatEndsAConnection) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    ASSERT_TRUE(client.send(get("/status/201") +
                            "PUT /echo HTTP/1.1\r\nContent-Length: 5\r\n\r\nfirst" + kGet +
                            "PUT /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                            "6\r\nsecond\r\n0\r\n\r\n" +
                            "HEAD /hello HTTP/1.1\r\n\r\n" + get("/delay") + get("/headers")));
    const std::regex date(
        R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)");
    std::vector<std::string> seen;
    for (int i = 0; i < 7; ++i) {
        auto reply = client.readReply(i == 4);
        ASSERT_TRUE(reply) << i;
        EXPECT_TRUE(std::regex_match(reply->header("Date").value_or(""), date));
        seen.push_back(reply->statusLine.substr(9) + ":" + reply->body + ":" +
                       reply->header("Content-Length").value_or("-") + ":" +
                       reply->header("Accept-Ranges").value_or(""));
    }
    // HEAD gives the length without a body: the next reply follows at once. A response's own
    // header wins over the server's.
    EXPECT_EQ(seen, (std::vector<std::string>{"201 Created::0:bytes", "200 OK:first:5:bytes",
                                              "200 OK:hello:5:bytes", "200 OK:second:6:bytes",
                                              "200 OK::5:bytes", "200 OK:delayed:7:bytes",
                                              "201 Created:x:1:none"}));
    EXPECT_TRUE(client.closesUnanswered(get("/drop")));

    // Requests sent in turn on one connection; the server closes after the last.
    const std::string http10 = "GET /hello HTTP/1.0\r\n\r\n";
    const std::vector<std::string> closing[] = {
        {http10},
        {"GET /hello HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", http10},
        {get("/hello", "Connection: Close\r\n")},
    };
    for (const auto& requests : closing) {
        RawHTTPClient closed(fixture.port);
        for (const std::string& request : requests)
            EXPECT_EQ(closed.exchange(request).value_or(test::RawReply{}).body, "hello") << request;
        EXPECT_TRUE(closed.waitForClose()) << requests.back();
    }
    EXPECT_TRUE(noConnectionsLeft(fixture));
}

// ---- request bodies

TEST(HTTPServerBodyTest, HookOrderBoundedPiecesExpectContinueAndAClientLeavingMidBody) {
    RecordingServer fixture;
    std::string body = test::randomBytes(3 * 1024 * 1024 + 17);
    RawHTTPClient client(fixture.port);
    auto reply =
        client.exchange("PUT /echo?x=1 HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->body == body) << "the body came back changed";
    EXPECT_LE(fixture.record->largestPiece(), HTTPConnection::kBodyReadPieceSize);
    EXPECT_EQ(fixture.record->entries(),
              (std::vector<std::string>{"expectsRequestBody PUT /echo?x=1",
                                        "supportsMethod PUT /echo?x=1",
                                        "prepareForBodyWithSize " + std::to_string(body.size()),
                                        "finishBody", "httpResponseForMethod PUT /echo?x=1"}));

    // Expect: 100-continue, then a client leaving mid-body.
    ASSERT_TRUE(
        client.send("PUT /echo HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\n"));
    EXPECT_EQ(client.readReply().value_or(test::RawReply{}).statusLine, "HTTP/1.1 100 Continue");
    EXPECT_EQ(client.exchange("body").value_or(test::RawReply{}).body, "body");
    {
        RawHTTPClient leaver(fixture.port);
        ASSERT_TRUE(leaver.send("PUT /echo HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" +
                                std::string(1000, 'x')));
        ASSERT_TRUE(test::waitUntil(
            [&] { return fixture.record->count("prepareForBodyWithSize 1000000") == 1; }));
    }
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
    EXPECT_EQ(fixture.record->count("finishBody"), 2u) << "a cut-off body is never finished";
}

// ---- protections

TEST(HTTPServerLimitTest, ABodyOverTheLimitIsRefusedUnreadAndTheConnectionBeyondTheCapCloses) {
    test::ScopedLogCapture capture;
    HTTPServerLimits limits;
    limits.maximumRequestBodySize = 1024;
    limits.maximumConnections = 8;
    RecordingServer fixture(limits);
    RawHTTPClient client(fixture.port);
    std::atomic<bool> wholeBodySent{false};
    std::thread writer([&] {
        // Fails once the server has closed; succeeds only if the server took in every byte.
        wholeBodySent = client.send("PUT /echo HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n" +
                                    std::string(16 * 1024 * 1024 + 1, 'b'));
    });
    auto reply = client.readReply();
    bool closed = client.waitForClose();
    writer.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(reply->header("Connection"), "close");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(wholeBodySent) << "the server read the whole refused body";
    EXPECT_TRUE(capture.contains(
        "HTTP Server: Error 413 - Payload Too Large: more than 1024 bytes (/echo)"));
    EXPECT_EQ(fixture.record->count("prepareForBodyWithSize"), 0u);
    EXPECT_EQ(fixture.record->largestPiece(), 0u) << "body bytes reached the connection";

    // The connection beyond the cap closes while the others are served.
    ASSERT_TRUE(noConnectionsLeft(fixture));
    std::vector<std::unique_ptr<RawHTTPClient>> open;
    for (int i = 0; i < 8; ++i) open.push_back(std::make_unique<RawHTTPClient>(fixture.port));
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 8; }));
    RawHTTPClient extra(fixture.port);
    ASSERT_TRUE(extra.connected()) << "the kernel completes the handshake";
    EXPECT_TRUE(extra.closesUnanswered(kGet));
    EXPECT_TRUE(capture.containsPart("HTTPServer: 8 connections are open"));
    for (auto& each : open)
        EXPECT_EQ(each->exchange(kGet).value_or(test::RawReply{}).body, "hello");
    // Room again once one leaves.
    open.pop_back();
    ASSERT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 7; }));
    EXPECT_EQ(RawHTTPClient::once(fixture.port, kGet).body, "hello");
}

// The peer check's verdicts are proved against written tables (HTTPSocketOwnerTest) and another
// user's connection against the daemon (DaemonStartTests); here the server applies a verdict.
TEST(HTTPServerPeerUserTest, UnreadableTablesRefuseEveryPeerAndAreReportedOnce) {
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

}  // namespace
}  // namespace vtr
