// HTTPStream: a reply that stays open and carries messages handed in from any thread, for
// event streams. open() makes the chunked response a connection's hook returns and the handle
// through which other threads send into it. Every message is queued on the connection's queue
// and written in order; a stream whose unsent bytes would pass the buffer limit is closed, so a
// reader that stops reading never holds memory or the sender. While no message comes, a
// keep-alive message goes out at every interval; the server's time-outs do not end a stream.
// send() and isOpen() may be called from any thread; open() only from a connection's hook.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "httpserver/HTTPResponse.h"

namespace vtr {

class HTTPConnection;
class HTTPStreamResponse;

struct HTTPStreamOptions {
    HTTPHeaderList headers;
    // Unsent bytes beyond which the stream is closed.
    size_t bufferLimit = 1 << 20;
    std::chrono::milliseconds keepAliveInterval = std::chrono::seconds(15);
    std::string keepAliveMessage;
};

class HTTPStream : public std::enable_shared_from_this<HTTPStream> {
  public:
    // The response to return from `connection`'s httpResponseForMethod, and its handle.
    static std::pair<std::shared_ptr<HTTPStream>, std::unique_ptr<HTTPResponse>> open(
        HTTPConnection& connection, HTTPStreamOptions options);

    // Queues `message` behind those sent before. False once the stream has ended (nothing is
    // sent then).
    bool send(std::shared_ptr<const std::string> message);
    bool isOpen() const { return open_.load(); }

    struct Private;
    explicit HTTPStream(std::unique_ptr<Private> state);
    ~HTTPStream();

  private:
    friend class HTTPStreamResponse;

    // On the connection queue.
    void deliver(const std::shared_ptr<const std::string>& message);
    void armKeepAlive();
    void detach();

    std::atomic<bool> open_{true};
    std::unique_ptr<Private> state_;
};

}  // namespace vtr
