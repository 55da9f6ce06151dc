// The embedded server over real sockets on loopback: limits, time-outs, hook order, the error
// replies and their log lines, keep-alive, bodies in both framings, and start-up failures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

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

bool ipv6LoopbackAvailable() {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// ---- start-up

TEST(HTTPServerStartTest, LoopbackListensOnOnePortForBothFamiliesAndLogs) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    ASSERT_NE(fixture.port, 0);
    EXPECT_TRUE(fixture.server.isRunning());
    EXPECT_TRUE(capture.contains("HTTPServer: Started HTTP server on port " +
                                 std::to_string(fixture.port)));

    RawHTTPClient v4(fixture.port, "127.0.0.1");
    auto reply = v4.exchange(get("/hello"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "hello");
    if (ipv6LoopbackAvailable()) {
        RawHTTPClient v6(fixture.port, "::1");
        ASSERT_TRUE(v6.connected());
        auto reply6 = v6.exchange(get("/hello"));
        ASSERT_TRUE(reply6);
        EXPECT_EQ(reply6->body, "hello");
    }

    fixture.server.stop();
    EXPECT_FALSE(fixture.server.isRunning());
    EXPECT_EQ(fixture.server.listeningPort(), 0);
    RawHTTPClient refused(fixture.port, "127.0.0.1");
    EXPECT_FALSE(refused.connected());
}

TEST(HTTPServerStartTest, FailuresCarryTheSocketErrorTexts) {
    test::ScopedLogCapture capture;
    HTTPServer server;
    server.setInterface("no-such-interface0");
    VTRError error;
    EXPECT_FALSE(server.start(&error));
    EXPECT_EQ(error.localizedDescription(),
              "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    EXPECT_TRUE(capture.containsPart("HTTPServer: Failed to start HTTP Server: "));
    EXPECT_FALSE(server.isRunning());

    RecordingServer taken;
    HTTPServer second;
    second.setInterface("127.0.0.1");
    second.setPort(taken.port);
    EXPECT_FALSE(second.start(&error));
    EXPECT_EQ(error.domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(error.code(), EADDRINUSE);
    EXPECT_EQ(error.localizedDescription(), "Error in bind() function");
}

TEST(HTTPServerStartTest, InterfaceByNameOrAddress) {
    HTTPServer byName;
    byName.setInterface("lo");
    ASSERT_TRUE(byName.start());
    RawHTTPClient client(byName.listeningPort());
    EXPECT_TRUE(client.connected());

    HTTPServer byAddress;
    byAddress.setInterface("127.0.0.1");
    ASSERT_TRUE(byAddress.start());
    EXPECT_NE(byAddress.listeningPort(), 0);
    VTRError error;
    EXPECT_FALSE(byAddress.start(&error)) << "a running server does not start twice";
}

// ---- header limits and time-outs

TEST(HTTPServerLimitsTest, HundredHeaderLinesServedHundredAndOneClosed) {
    RecordingServer fixture;
    std::string fields;
    for (int i = 0; i < 98; ++i) fields += "X-Field-" + std::to_string(i) + ": v\r\n";
    // Request line + Host + 98 fields = 100 lines.
    RawHTTPClient hundred(fixture.port);
    auto reply = hundred.exchange(get("/hello", fields));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);

    RawHTTPClient hundredOne(fixture.port);
    ASSERT_TRUE(hundredOne.send(get("/hello", fields + "X-One-Too-Many: v\r\n")));
    EXPECT_TRUE(hundredOne.waitForClose());
    EXPECT_EQ(hundredOne.received(), "");
}

TEST(HTTPServerLimitsTest, LineOf8190BytesAcceptedLongerClosed) {
    RecordingServer fixture;
    auto lineOf = [](size_t total) {  // a header line of `total` bytes, CRLF included
        std::string prefix = "X-Long: ";
        return prefix + std::string(total - prefix.size() - 2, 'a') + "\r\n";
    };
    RawHTTPClient exact(fixture.port);
    auto reply = exact.exchange(get("/hello", lineOf(8190)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);

    RawHTTPClient over(fixture.port);
    ASSERT_TRUE(over.send(get("/hello", lineOf(8191))));
    EXPECT_TRUE(over.waitForClose());
    EXPECT_EQ(over.received(), "");

    // The request line is held to the same limit.
    RawHTTPClient longTarget(fixture.port);
    ASSERT_TRUE(longTarget.send("GET /" + std::string(9000, 'p') + " HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(longTarget.waitForClose());
    EXPECT_EQ(longTarget.received(), "");
}

TEST(HTTPServerLimitsTest, SilenceAfterConnectingOrBetweenLinesDisconnects) {
    RecordingServer fixture(200ms);
    RawHTTPClient silent(fixture.port);
    ASSERT_TRUE(silent.connected());
    EXPECT_TRUE(silent.waitForClose(5s));
    EXPECT_EQ(silent.received(), "");

    RawHTTPClient stalled(fixture.port);
    ASSERT_TRUE(stalled.send("GET /hello HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_TRUE(stalled.waitForClose(5s));
    EXPECT_EQ(stalled.received(), "");

    // Trickling bytes of one line does not renew the line's time-out.
    RawHTTPClient trickle(fixture.port);
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - start < 5s) {
        // A failed send means the server has closed; the next wait sees it.
        trickle.send("a");
        closed = trickle.waitForClose(50ms);
    }
    EXPECT_TRUE(closed);

    EXPECT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 0; }));
}

// ---- error replies

TEST(HTTPServerErrorReplyTest, BodyMethodWithoutContentLengthIs400AndCloses) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("POST /nobody-serves-this HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(reply->header("Connection"), "close");
    EXPECT_EQ(reply->header("Content-Length"), "0");
    EXPECT_EQ(reply->header("Accept-Ranges"), "bytes");
    EXPECT_TRUE(reply->header("Date"));
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(capture.containsPart(
        "]: Method expects request body, but had no specified Content-Length"));
    EXPECT_TRUE(capture.contains("HTTP Server: Error 400 - Bad Request (/nobody-serves-this)"));
    // The body hooks never ran; support was not even asked.
    for (const std::string& entry : fixture.record->entries())
        EXPECT_EQ(entry.find("supportsMethod"), std::string::npos) << entry;
}

TEST(HTTPServerErrorReplyTest, ContentLengthRules) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    struct Case {
        std::string request;
        std::string logPart;
    };
    const Case cases[] = {
        {get("/hello", "Content-Length: 5\r\n"),
         "]: Method not expecting request body had non-zero Content-Length"},
        {get("/hello", "Content-Length: abc\r\n"),
         "]: Unable to parse Content-Length header into a valid number"},
        {"PUT /echo HTTP/1.1\r\nContent-Length: -3\r\n\r\n",
         "]: Unable to parse Content-Length header into a valid number"},
        {"PUT /echo HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
         "]: Unable to parse Content-Length header into a valid number"},
    };
    for (const Case& c : cases) {
        RawHTTPClient client(fixture.port);
        auto reply = client.exchange(c.request);
        ASSERT_TRUE(reply) << c.request;
        EXPECT_EQ(reply->status, 400) << c.request;
        EXPECT_EQ(reply->header("Connection"), "close");
        EXPECT_TRUE(client.waitForClose());
        EXPECT_TRUE(capture.containsPart(c.logPart)) << c.logPart;
    }
    // A zero length on a GET is fine.
    RawHTTPClient zero(fixture.port);
    auto reply = zero.exchange(get("/hello", "Content-Length: 0\r\n"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

TEST(HTTPServerErrorReplyTest, MalformedRequestIs400WithItsLogLine) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("this is not http\r\n\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400);
    EXPECT_TRUE(client.waitForClose());
    std::regex prefix(R"(HTTPConnection\[0x[0-9a-f]+\]: Malformed request)");
    bool matched = false;
    for (const std::string& text : capture.texts()) matched |= std::regex_match(text, prefix);
    EXPECT_TRUE(matched);
}

TEST(HTTPServerErrorReplyTest, UnsupportedMethodIs405AndCloses) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("DELETE /jobs HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(reply->header("Connection"), "close");
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(capture.contains("HTTP Server: Error 405 - Method Not Allowed: DELETE (/jobs)"));

    // A body method on an unsupported path: the length is checked first, then support.
    RawHTTPClient post(fixture.port);
    reply = post.exchange("POST /put-only HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 405);
}

TEST(HTTPServerErrorReplyTest, OtherVersionIs505AndConnectionStays) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("GET /hello HTTP/2.0\r\n\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 505 HTTP Version Not Supported");
    EXPECT_EQ(reply->header("Content-Length"), "0");
    EXPECT_FALSE(reply->header("Connection"));
    EXPECT_TRUE(
        capture.contains("HTTP Server: Error 505 - Version Not Supported: HTTP/2.0 (/hello)"));
    reply = client.exchange(get("/hello"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

TEST(HTTPServerErrorReplyTest, NoResponseAndWebSocketUpgradeAre404KeepingTheConnection) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange(get("/none"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 404 Not Found");
    reply = client.exchange(get("/hello", "Upgrade: websocket\r\nConnection: upgrade\r\n"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
    reply = client.exchange(get("/hello"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

// ---- replies and keep-alive

TEST(HTTPServerReplyTest, HeadersOfADataResponse) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange(get("/headers"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->statusLine, "HTTP/1.1 201 Created");
    EXPECT_EQ(reply->header("Content-Length"), "1");
    EXPECT_EQ(reply->header("X-VTRErrorCode"), "Custom");
    EXPECT_EQ(reply->header("Accept-Ranges"), "none") << "the response's own header wins";
    std::regex date(
        R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)");
    ASSERT_TRUE(reply->header("Date"));
    EXPECT_TRUE(std::regex_match(*reply->header("Date"), date)) << *reply->header("Date");

    reply = client.exchange(get("/status/200"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header("Content-Length"), "0");
    EXPECT_FALSE(reply->header("Content-Type"));
}

TEST(HTTPServerReplyTest, KeepAliveRules) {
    RecordingServer fixture;
    RawHTTPClient http11(fixture.port);
    ASSERT_TRUE(http11.exchange(get("/hello")));
    auto second = http11.exchange(get("/hello"));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->body, "hello");

    RawHTTPClient http10(fixture.port);
    ASSERT_TRUE(http10.exchange("GET /hello HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(http10.waitForClose());

    RawHTTPClient http10KeepAlive(fixture.port);
    ASSERT_TRUE(http10KeepAlive.exchange("GET /hello HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
    ASSERT_TRUE(http10KeepAlive.exchange("GET /hello HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(http10KeepAlive.waitForClose());

    RawHTTPClient close(fixture.port);
    ASSERT_TRUE(close.exchange(get("/hello", "Connection: Close\r\n")));
    EXPECT_TRUE(close.waitForClose());
}

TEST(HTTPServerReplyTest, PipelinedRequestsAnsweredInOrder) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    std::string batch = get("/status/201") +
                        "PUT /echo HTTP/1.1\r\nContent-Length: 5\r\n\r\nfirst" + get("/hello") +
                        "PUT /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "6\r\nsecond\r\n0\r\n\r\n" +
                        get("/status/202");
    ASSERT_TRUE(client.send(batch));
    std::vector<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        auto reply = client.readReply();
        ASSERT_TRUE(reply) << i;
        seen.push_back(std::to_string(reply->status) + ":" + reply->body);
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"201:", "200:first", "200:hello", "200:second", "202:"}));
}

TEST(HTTPServerReplyTest, HeadGetsHeaderOnly) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("HEAD /hello HTTP/1.1\r\n\r\n", true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header("Content-Length"), "5");
    // The next reply follows at once: no body bytes came in between.
    reply = client.exchange(get("/status/204"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 204);
}

TEST(HTTPServerReplyTest, ChunkedDelayedAndDroppedResponses) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange(get("/chunked"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header("Transfer-Encoding"), "chunked");
    EXPECT_FALSE(reply->header("Content-Length"));
    EXPECT_EQ(reply->body, "onetwothree");

    reply = client.exchange(get("/delay"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "delayed");

    ASSERT_TRUE(client.send(get("/drop")));
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(client.received(), "");
    EXPECT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 0; }));
}

// ---- request bodies

TEST(HTTPServerBodyTest, HookOrderAndCountedBodyInBoundedPieces) {
    RecordingServer fixture;
    std::string body = test::randomBytes(3 * 1024 * 1024 + 17);
    RawHTTPClient client(fixture.port);
    auto reply =
        client.exchange("PUT /echo?x=1 HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->body.size(), body.size());
    EXPECT_TRUE(reply->body == body)
        << "first difference at "
        << std::mismatch(body.begin(), body.end(), reply->body.begin()).first - body.begin();
    EXPECT_LE(fixture.record->largestPiece(), HTTPConnection::kBodyReadPieceSize);
    EXPECT_EQ(fixture.record->entries(),
              (std::vector<std::string>{"expectsRequestBody PUT /echo?x=1",
                                        "supportsMethod PUT /echo?x=1",
                                        "prepareForBodyWithSize " + std::to_string(body.size()),
                                        "finishBody", "httpResponseForMethod PUT /echo?x=1"}));
}

TEST(HTTPServerBodyTest, ChunkedBodyArrivesByteExact) {
    RecordingServer fixture;
    std::string body = test::randomBytes(300000, 7);
    std::string wire;
    size_t sizes[] = {1, 0x1F, 131073, 4096};
    size_t at = 0;
    for (size_t size : sizes) {
        wire += fmt::format("{:X};ext=1\r\n", size) + body.substr(at, size) + "\r\n";
        at += size;
    }
    wire += fmt::format("{:x}\r\n", body.size() - at) + body.substr(at) + "\r\n";
    wire += "0\r\nX-Footer: yes\r\n\r\n";
    RawHTTPClient client(fixture.port);
    auto reply =
        client.exchange("POST /echo HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n" + wire);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->body == body);
    auto entries = fixture.record->entries();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[2], "prepareForBodyWithSize " + std::to_string(UINT64_MAX));
    // Keep-alive holds after a chunked body.
    EXPECT_TRUE(client.exchange(get("/hello")));
}

TEST(HTTPServerBodyTest, BadChunkFramingIs400) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    RawHTTPClient badSize(fixture.port);
    auto reply =
        badSize.exchange("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400);
    EXPECT_TRUE(capture.containsPart("]: Method expects chunk size, but received something else"));

    RawHTTPClient badTrailer(fixture.port);
    ASSERT_TRUE(
        badTrailer.send("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n"));
    reply = badTrailer.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400);
    EXPECT_TRUE(capture.containsPart("]: Method expects chunk trailer, but is missing"));

    RawHTTPClient longSizeLine(fixture.port);
    ASSERT_TRUE(longSizeLine.send("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                  std::string(250, '0')));
    EXPECT_TRUE(longSizeLine.waitForClose());
    EXPECT_EQ(longSizeLine.received(), "");
}

TEST(HTTPServerBodyTest, ExpectContinueIsAnsweredBeforeTheBody) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    ASSERT_TRUE(
        client.send("PUT /echo HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\n"));
    auto interim = client.readReply();
    ASSERT_TRUE(interim);
    EXPECT_EQ(interim->statusLine, "HTTP/1.1 100 Continue");
    auto reply = client.exchange("body");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "body");
}

TEST(HTTPServerBodyTest, ClientLeavingMidBodyLeavesOthersServed) {
    RecordingServer fixture;
    {
        RawHTTPClient leaver(fixture.port);
        ASSERT_TRUE(leaver.send("PUT /echo HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" +
                                std::string(1000, 'x')));
        ASSERT_TRUE(test::waitUntil([&] { return fixture.record->largestPiece() > 0; }));
    }
    RawHTTPClient other(fixture.port);
    auto reply = other.exchange(get("/hello"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "hello");
    EXPECT_TRUE(fixture.record->bodies().empty()) << "a cut-off body is never finished";
    EXPECT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 1; }));
}

}  // namespace
}  // namespace vtr
