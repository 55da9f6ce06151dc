// Many clients at once against one server, and stopping a server under load: replies stay
// whole and in order, the connection list stays consistent, nothing outlives stop(). Then
// streams that stay open: a reader that stops reading is cut off at the buffer limit while the
// sender and other clients go on, and keep-alive messages carry a silent stream past the
// server's time-outs.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "RawHTTPClient.h"
#include "RecordingConnection.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::RawHTTPClient;
using test::RecordingServer;

TEST(HTTPServerConcurrencyTest, ParallelKeepAliveClientsGetTheirOwnReplies) {
    RecordingServer fixture;
    constexpr int kClients = 12;
    constexpr int kRequests = 40;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            RawHTTPClient client(fixture.port);
            for (int r = 0; r < kRequests; ++r) {
                std::string body = fmt::format("client {} request {}", c, r);
                auto reply = client.exchange(fmt::format(
                    "PUT /echo HTTP/1.1\r\nContent-Length: {}\r\n\r\n{}", body.size(), body));
                if (reply && reply->body == body) ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kClients * kRequests);
    // Every client has gone, so every connection must have left the list.
    EXPECT_TRUE(test::waitUntil([&] { return fixture.server.numberOfHTTPConnections() == 0; }));
}

TEST(HTTPServerConcurrencyTest, StopEndsLiveConnectionsAndRefusesNewOnes) {
    auto fixture = std::make_unique<RecordingServer>();
    std::vector<std::unique_ptr<RawHTTPClient>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<RawHTTPClient>(fixture->port));
        ASSERT_TRUE(idle.back()->send("GET /hello HTTP/1.1\r\n"));  // half a header
    }
    ASSERT_TRUE(test::waitUntil([&] { return fixture->server.numberOfHTTPConnections() == 20; }));

    std::atomic<bool> stopRequests{false};
    std::thread busy([&] {
        while (!stopRequests) {
            RawHTTPClient client(fixture->port);
            if (!client.connected()) break;
            client.send("GET /delay HTTP/1.1\r\n\r\n");
            client.readReply();
        }
    });
    fixture->server.stop();
    EXPECT_EQ(fixture->server.numberOfHTTPConnections(), 0u);
    for (auto& client : idle) EXPECT_TRUE(client->waitForClose());
    stopRequests = true;
    busy.join();
    fixture.reset();  // the destructor joins the network thread with nothing left behind
}

// ---- streams

// Opens a stream for `client` on `fixture` and reads the reply's header.
std::shared_ptr<HTTPStream> openStream(RecordingServer& fixture, RawHTTPClient& client) {
    EXPECT_TRUE(client.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_TRUE(client.readUntil("\r\n\r\n"));
    return fixture.record->stream();
}

TEST(HTTPStreamTest, AReaderThatStopsReadingIsCutOffWithoutHoldingUpOthers) {
    RecordingServer fixture;  // streams of the default buffer limit, 1 MiB
    RawHTTPClient stalled(fixture.port);
    std::shared_ptr<HTTPStream> stream = openStream(fixture, stalled);
    ASSERT_TRUE(stream);

    // Far more than the socket buffers and the stream's own buffer hold; each send only queues.
    auto message = std::make_shared<const std::string>(65536, 'x');
    size_t sent = 0;
    while (sent < 1024 && stream->send(message)) ++sent;
    EXPECT_TRUE(test::waitUntil([&] { return !stream->isOpen(); }));
    EXPECT_FALSE(stream->send(message));

    EXPECT_EQ(RawHTTPClient::once(fixture.port, "GET /hello HTTP/1.1\r\n\r\n").body, "hello");
    EXPECT_TRUE(stalled.waitForClose());
    EXPECT_LT(stalled.received().size(), sent * message->size()) << "the rest was dropped";
}

// Silence longer than the header time-outs: the keep-alive messages go on, and so does the
// stream.
TEST(HTTPStreamTest, KeepAliveMessagesCarryASilentStreamPastTheTimeOuts) {
    const auto timeout = std::chrono::milliseconds(100);
    RecordingServer fixture({}, timeout, {},
                            {.headers = {{"Content-Type", "text/event-stream"}},
                             .keepAliveInterval = std::chrono::milliseconds(40),
                             .keepAliveMessage = ": keep-alive\n\n"});
    RawHTTPClient client(fixture.port);
    std::shared_ptr<HTTPStream> stream = openStream(fixture, client);
    ASSERT_TRUE(stream);
    EXPECT_NE(client.received().find("Transfer-Encoding: chunked"), std::string::npos);
    EXPECT_NE(client.received().find("Content-Type: text/event-stream"), std::string::npos);

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.readUntil(": keep-alive\n\n", 8));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 2 * timeout);
    ASSERT_TRUE(stream->send(std::make_shared<const std::string>("data: still here\n\n")));
    EXPECT_TRUE(client.readUntil("data: still here\n\n"));
}

}  // namespace
}  // namespace vtr
