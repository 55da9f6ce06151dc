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
    EXPECT_EQ(RawHTTPClient::once(fixture.port, get("/hello")).body, "hello");
    if (ipv6LoopbackAvailable()) {
        EXPECT_EQ(RawHTTPClient::once(fixture.port, get("/hello"), "::1").body, "hello");
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

TEST(HTTPServerLimitsTest, LinesUpToTheLimitsServedBeyondThemClosedUnanswered) {
    RecordingServer fixture;
    std::string fields;
    for (int i = 0; i < 98; ++i) fields += "X-Field-" + std::to_string(i) + ": v\r\n";
    auto lineOf = [](size_t total) {  // a header line of `total` bytes, CRLF included
        return "X-Long: " + std::string(total - 10, 'a') + "\r\n";
    };
    // Request line + Host + 98 fields = 100 lines.
    EXPECT_EQ(RawHTTPClient::once(fixture.port, get("/hello", fields)).status, 200);
    EXPECT_EQ(RawHTTPClient::once(fixture.port, get("/hello", lineOf(8190))).status, 200);
    const std::string beyond[] = {
        get("/hello", fields + "X-One-Too-Many: v\r\n"),
        get("/hello", lineOf(8191)),
        "GET /" + std::string(9000, 'p') + " HTTP/1.1\r\n\r\n",  // the request line too
        "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(250, '0'),
    };
    for (const std::string& request : beyond) {
        RawHTTPClient client(fixture.port);
        EXPECT_TRUE(client.closesUnanswered(request)) << request.substr(0, 60);
    }
}

TEST(HTTPServerLimitsTest, SilenceAfterConnectingOrBetweenLinesDisconnects) {
    RecordingServer fixture({}, 200ms);
    RawHTTPClient silent(fixture.port);
    ASSERT_TRUE(silent.connected());
    EXPECT_TRUE(silent.closesUnanswered(""));
    RawHTTPClient stalled(fixture.port);
    EXPECT_TRUE(stalled.closesUnanswered("GET /hello HTTP/1.1\r\nHost: x\r\n"));

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

TEST(HTTPServerLimitsTest, AWholeBodyMustArriveWithinTheLineTimeOut) {
    RecordingServer fixture({}, 300ms);
    const std::string chunked = "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    // A header, then a piece sent again and again: each read brings bytes, the body never ends.
    const std::pair<std::string, std::string> cases[] = {
        {"PUT /echo HTTP/1.1\r\nContent-Length: 1000\r\n\r\n", "a"},
        {chunked + "3e8\r\n", "a"},
        {chunked, "1\r\na\r\n"},
        {chunked + "0\r\nX-Footer: ", "x"},
    };
    for (const auto& [header, piece] : cases) {
        RawHTTPClient client(fixture.port);
        ASSERT_TRUE(client.send(header)) << header;
        auto start = std::chrono::steady_clock::now();
        bool closed = false;
        while (!closed && std::chrono::steady_clock::now() - start < 5s) {
            client.send(piece);  // a failed send means the server has closed; the wait sees it
            closed = client.waitForClose(50ms);
        }
        EXPECT_TRUE(closed) << header;
        EXPECT_EQ(client.received(), "") << header;
    }
    EXPECT_EQ(fixture.record->count("finishBody"), 0u);

    // A body that arrives in time is served and the connection stays.
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("PUT /echo HTTP/1.1\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "ok");
    EXPECT_EQ(client.exchange(get("/hello")).value_or(test::RawReply{}).body, "hello");
}

// ---- error replies

TEST(HTTPServerErrorReplyTest, StatusLineLogLineAndWhetherTheConnectionStays) {
    test::ScopedLogCapture capture;
    RecordingServer fixture;
    const std::string chunked = "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string unparsable = "]: Unable to parse Content-Length header into a valid number";
    // Bytes after a refused framing: whatever they hold must not be answered.
    const std::string rest = "5\r\nhello\r\n0\r\n\r\n" + get("/hello");
    const std::string bodilessFraming =
        "]: Method not expecting request body had Transfer-Encoding";
    struct Case {
        std::string request;
        std::string statusLine;
        bool closes;
        std::string logPart;
    };
    const Case cases[] = {
        {"POST /nobody-serves-this HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request", true,
         "]: Method expects request body, but had no specified Content-Length"},
        {get("/hello", "Content-Length: 5\r\n"), "HTTP/1.1 400 Bad Request", true,
         "]: Method not expecting request body had non-zero Content-Length"},
        {get("/hello", "Content-Length: abc\r\n"), "HTTP/1.1 400 Bad Request", true, unparsable},
        {"PUT /echo HTTP/1.1\r\nContent-Length: -3\r\n\r\n", "HTTP/1.1 400 Bad Request", true,
         unparsable},
        {"PUT /echo HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
         "HTTP/1.1 400 Bad Request", true, unparsable},
        {"this is not http\r\n\r\n", "HTTP/1.1 400 Bad Request", true, "]: Malformed request"},
        {chunked + "zz\r\n", "HTTP/1.1 400 Bad Request", true,
         "]: Method expects chunk size, but received something else"},
        {chunked + "3\r\nabcX\r\n", "HTTP/1.1 400 Bad Request", true,
         "]: Method expects chunk trailer, but is missing"},
        {"DELETE /jobs HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", true, ""},
        // A body method on an unsupported path: the length is checked first, then support.
        {"POST /put-only HTTP/1.1\r\nContent-Length: 2\r\n\r\nab",
         "HTTP/1.1 405 Method Not Allowed", true, ""},
        {"GET /hello HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported", false, ""},
        {get("/none"), "HTTP/1.1 404 Not Found", false, ""},
        {get("/hello", "Upgrade: websocket\r\nConnection: upgrade\r\n"), "HTTP/1.1 404 Not Found",
         false, ""},
        {get("/hello", "Content-Length: 0\r\n"), "HTTP/1.1 200 OK", false, ""},
        // Transfer-Encoding is refused where no body is read, or where its end cannot be found.
        {get("/hello", "Transfer-Encoding: chunked\r\n") + rest, "HTTP/1.1 400 Bad Request", true,
         bodilessFraming},
        {"DELETE /jobs HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + rest,
         "HTTP/1.1 400 Bad Request", true, bodilessFraming},
        {get("/hello", "Transfer-Encoding: gzip\r\n") + rest, "HTTP/1.1 400 Bad Request", true,
         bodilessFraming},
        {"PUT /echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nhello" + get("/hello"),
         "HTTP/1.1 501 Not Implemented", true,
         "HTTP Server: Error 501 - Not Implemented: Transfer-Encoding gzip (/echo)"},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + rest,
         "HTTP/1.1 501 Not Implemented", true, ""},
        {"PUT /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" +
             rest,
         "HTTP/1.1 501 Not Implemented", true, ""},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: identity\r\nContent-Length: 5\r\n\r\nhello" +
             get("/hello"),
         "HTTP/1.1 501 Not Implemented", true, ""},
    };
    for (const Case& c : cases) {
        RawHTTPClient client(fixture.port);
        auto reply = client.exchange(c.request);
        ASSERT_TRUE(reply) << c.request;
        EXPECT_EQ(reply->statusLine, c.statusLine) << c.request;
        EXPECT_TRUE(reply->header("Date")) << c.request;
        EXPECT_TRUE(c.logPart.empty() || capture.containsPart(c.logPart)) << c.logPart;
        if (reply->status >= 400) {
            EXPECT_EQ(reply->header("Content-Length"), "0") << c.request;
            EXPECT_EQ(reply->header("Accept-Ranges"), "bytes") << c.request;
        }
        if (c.closes) {
            EXPECT_EQ(reply->header("Connection"), "close") << c.request;
            EXPECT_TRUE(client.waitForClose()) << c.request;
            EXPECT_EQ(client.received(), "") << c.request;
        } else {
            EXPECT_FALSE(reply->header("Connection")) << c.request;
            auto next = client.exchange(get("/hello"));
            ASSERT_TRUE(next) << c.request;
            EXPECT_EQ(next->status, 200) << c.request;
        }
    }
    for (const char* line : {"HTTP Server: Error 400 - Bad Request (/nobody-serves-this)",
                             "HTTP Server: Error 405 - Method Not Allowed: DELETE (/jobs)",
                             "HTTP Server: Error 505 - Version Not Supported: HTTP/2.0 (/hello)"})
        EXPECT_TRUE(capture.contains(line)) << line;
    std::regex malformed(R"(HTTPConnection\[0x[0-9a-f]+\]: Malformed request)");
    bool matched = false;
    for (const std::string& text : capture.texts()) matched |= std::regex_match(text, malformed);
    EXPECT_TRUE(matched);
    EXPECT_EQ(fixture.record->count("prepareForBodyWithSize"), 2u)
        << "only the two malformed chunked bodies were begun";
    // A body method without a length is refused before support is even asked.
    EXPECT_EQ(fixture.record->count("supportsMethod POST /nobody-serves-this"), 0u);
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
    const std::string http10 = "GET /hello HTTP/1.0\r\n\r\n";
    // Requests sent in turn on one connection, and whether the server closes after the last.
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{get("/hello"), get("/hello")}, false},
        {{http10}, true},
        {{"GET /hello HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", http10}, true},
        {{get("/hello", "Connection: Close\r\n")}, true},
    };
    for (const auto& [requests, closes] : cases) {
        RawHTTPClient client(fixture.port);
        for (const std::string& request : requests) {
            auto reply = client.exchange(request);
            ASSERT_TRUE(reply) << request;
            EXPECT_EQ(reply->body, "hello") << request;
        }
        if (closes) {
            EXPECT_TRUE(client.waitForClose()) << requests.back();
        }
    }
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

TEST(HTTPServerReplyTest, HeadChunkedDelayedAndDroppedResponses) {
    RecordingServer fixture;
    RawHTTPClient client(fixture.port);
    auto reply = client.exchange("HEAD /hello HTTP/1.1\r\n\r\n", true);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header("Content-Length"), "5");
    // The next reply follows at once: no body bytes came in between.
    reply = client.exchange(get("/chunked"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header("Transfer-Encoding"), "chunked");
    EXPECT_FALSE(reply->header("Content-Length"));
    EXPECT_EQ(reply->body, "onetwothree");

    reply = client.exchange(get("/delay"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "delayed");

    EXPECT_TRUE(client.closesUnanswered(get("/drop")));
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
    EXPECT_EQ(RawHTTPClient::once(fixture.port, get("/hello")).body, "hello");
    EXPECT_EQ(fixture.record->count("finishBody"), 0u) << "a cut-off body is never finished";
    EXPECT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 0; }));
}

}  // namespace
}  // namespace vtr
