// Many clients at once against one server, and stopping a server under load: replies stay
// whole and in order, the connection list stays consistent, nothing outlives stop().
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
                if (!client.send(fmt::format("PUT /echo HTTP/1.1\r\nContent-Length: {}\r\n\r\n{}",
                                             body.size(), body)))
                    return;
                auto reply = client.readReply();
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

}  // namespace
}  // namespace vtr
