// Streams that stay open: a reader that stops reading is cut off at the buffer limit while the
// sender and other clients go on, and keep-alive messages carry a silent stream past the
// server's time-outs.
#include <functional>
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

// "/stream" opens a stream and hands its handle to `opened`; anything else answers "hello".
class StreamingConnection : public HTTPConnection {
  public:
    using Opened = std::function<void(std::shared_ptr<HTTPStream>)>;
    StreamingConnection(const HTTPConfig& config, HTTPStreamOptions options, Opened opened)
        : HTTPConnection(config), options_(std::move(options)), opened_(std::move(opened)) {}

    std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string&,
                                                        const std::string& uri) override {
        if (uri != "/stream") return std::make_unique<HTTPDataResponse>("hello");
        auto [stream, response] = HTTPStream::open(*this, options_);
        opened_(std::move(stream));
        return std::move(response);
    }

  private:
    HTTPStreamOptions options_;
    Opened opened_;
};

class HTTPStreamTest : public ::testing::Test {
  protected:
    void start(HTTPStreamOptions options, std::chrono::milliseconds headerTimeout) {
        server.setInterface("lo0");
        server.setHeaderLineTimeout(headerTimeout);
        server.setHeaderWriteTimeout(headerTimeout);
        server.setConnectionClass([this, options](const HTTPConfig& config) {
            return std::make_shared<StreamingConnection>(config, options, [this](auto stream) {
                std::lock_guard lock(mutex);
                opened = std::move(stream);
            });
        });
        ASSERT_TRUE(server.start());
    }

    // Opens a stream for `client` and reads the reply's header.
    std::shared_ptr<HTTPStream> openStream(RawHTTPClient& client) {
        EXPECT_TRUE(client.send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_TRUE(client.readUntil("\r\n\r\n"));
        std::lock_guard lock(mutex);
        return opened;
    }

    std::mutex mutex;
    std::shared_ptr<HTTPStream> opened;
    HTTPServer server;
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
