// Streams that stay open: a reader that stops reading is cut off at the buffer limit while the
// sender and other clients go on, and keep-alive messages carry a silent stream past the
// server's time-outs.
#include <mutex>

#include <gtest/gtest.h>

#include "RawHTTPClient.h"
#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPServer.h"
#include "httpserver/HTTPStream.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::RawHTTPClient;

// Handles of the streams opened, for the test thread.
struct StreamList {
    std::mutex mutex;
    std::vector<std::shared_ptr<HTTPStream>> streams;
    std::shared_ptr<HTTPStream> first() {
        std::lock_guard lock(mutex);
        return streams.empty() ? nullptr : streams.front();
    }
};

// "/stream" opens a stream; anything else answers "hello".
class StreamingConnection : public HTTPConnection {
  public:
    StreamingConnection(const HTTPConfig& config, std::shared_ptr<StreamList> list,
                        HTTPStreamOptions options)
        : HTTPConnection(config), list_(std::move(list)), options_(std::move(options)) {}

    std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string&,
                                                        const std::string& uri) override {
        if (uri != "/stream") return std::make_unique<HTTPDataResponse>("hello");
        auto [stream, response] = HTTPStream::open(*this, options_);
        std::lock_guard lock(list_->mutex);
        list_->streams.push_back(std::move(stream));
        return std::move(response);
    }

  private:
    std::shared_ptr<StreamList> list_;
    HTTPStreamOptions options_;
};

class HTTPStreamTest : public ::testing::Test {
  protected:
    void start(HTTPStreamOptions options, std::chrono::milliseconds headerTimeout) {
        server.setInterface("lo0");
        server.setHeaderLineTimeout(headerTimeout);
        server.setHeaderWriteTimeout(headerTimeout);
        server.setConnectionClass([list = list, options](const HTTPConfig& config) {
            return std::make_shared<StreamingConnection>(config, list, options);
        });
        ASSERT_TRUE(server.start());
    }

    // A client whose stream is open, with the reply's header read.
    std::shared_ptr<HTTPStream> openStream(RawHTTPClient& client) {
        EXPECT_TRUE(client.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_TRUE(client.readUntil("\r\n\r\n"));
        EXPECT_TRUE(test::waitUntil([&] { return list->first() != nullptr; }));
        return list->first();
    }

    HTTPServer server;
    std::shared_ptr<StreamList> list = std::make_shared<StreamList>();
};

TEST_F(HTTPStreamTest, AReaderThatStopsReadingIsCutOffWithoutHoldingUpOthers) {
    HTTPStreamOptions options;
    options.bufferLimit = 1 << 20;
    start(options, std::chrono::seconds(30));
    RawHTTPClient stalled(server.listeningPort());
    std::shared_ptr<HTTPStream> stream = openStream(stalled);
    ASSERT_TRUE(stream);

    // Far more than the socket buffers and the stream's own buffer hold; each send only queues.
    auto message = std::make_shared<const std::string>(65536, 'x');
    size_t sent = 0;
    while (sent < 1024 && stream->send(message)) ++sent;
    EXPECT_TRUE(test::waitUntil([&] { return !stream->isOpen(); }));
    EXPECT_FALSE(stream->send(message));

    auto reply = RawHTTPClient::once(server.listeningPort(),
                                     "GET /other HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "hello");
    EXPECT_TRUE(stalled.waitForClose());
    EXPECT_LT(stalled.received().size(), sent * message->size()) << "the rest was dropped";
}

// Silence longer than the header time-outs: the keep-alive messages go on, and so does the
// stream.
TEST_F(HTTPStreamTest, KeepAliveMessagesCarryASilentStreamPastTheTimeOuts) {
    HTTPStreamOptions options;
    options.headers = {{"Content-Type", "text/event-stream"}};
    options.keepAliveInterval = std::chrono::milliseconds(40);
    options.keepAliveMessage = ": keep-alive\n\n";
    const auto timeout = std::chrono::milliseconds(100);
    start(options, timeout);
    RawHTTPClient client(server.listeningPort());
    std::shared_ptr<HTTPStream> stream = openStream(client);
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
