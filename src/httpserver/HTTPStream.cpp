#include "httpserver/HTTPStream.h"

#include <deque>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPConnectionQueue.h"

namespace vtr {

struct HTTPStream::Private {
    Private(HTTPConnection& owner, HTTPStreamOptions streamOptions)
        : connection(owner.weak_from_this()),
          timer(std::make_unique<asio::steady_timer>(owner.config().queue()->strand())),
          options(std::move(streamOptions)) {}

    const std::weak_ptr<HTTPConnection> connection;
    // Released when the stream ends: the handle may outlive the server's network thread.
    std::unique_ptr<asio::steady_timer> timer;
    HTTPStreamOptions options;
    // The response while the connection writes it. Connection queue only, as all below.
    HTTPStreamResponse* response = nullptr;
    std::shared_ptr<const std::string> keepAlive;
};

// The chunked body: queued messages, written one per piece, never done.
class HTTPStreamResponse : public HTTPResponse {
  public:
    explicit HTTPStreamResponse(std::shared_ptr<HTTPStream> stream) : stream_(std::move(stream)) {}
    ~HTTPStreamResponse() override { stream_->detach(); }

    uint64_t contentLength() const override { return 0; }
    uint64_t offset() const override { return 0; }
    void setOffset(uint64_t) override {}
    bool isDone() const override { return false; }
    bool isChunked() const override { return true; }
    HTTPHeaderList httpHeaders() const override { return stream_->state_->options.headers; }
    void connectionDidClose() override { stream_->detach(); }

    // The piece handed out before has been written when the next is asked for.
    std::string_view readDataOfLength(uint64_t length) override {
        if (handedOut_ > 0) {
            frontOffset_ += handedOut_;
            unsent_ -= handedOut_;
            handedOut_ = 0;
            if (frontOffset_ == queue_.front()->size()) {
                queue_.pop_front();
                frontOffset_ = 0;
            }
        }
        if (queue_.empty()) return {};
        std::string_view piece(*queue_.front());
        piece = piece.substr(frontOffset_, static_cast<size_t>(length));
        handedOut_ = piece.size();
        return piece;
    }

    // False when the message does not fit in the buffer.
    bool append(std::shared_ptr<const std::string> message, size_t limit) {
        if (message->empty()) return true;
        if (unsent_ + message->size() > limit) return false;
        unsent_ += message->size();
        queue_.push_back(std::move(message));
        return true;
    }

  private:
    std::shared_ptr<HTTPStream> stream_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    size_t frontOffset_ = 0;
    size_t handedOut_ = 0;
    size_t unsent_ = 0;  // the piece being written included
};

HTTPStream::HTTPStream(std::unique_ptr<Private> state) : state_(std::move(state)) {}

HTTPStream::~HTTPStream() = default;

std::pair<std::shared_ptr<HTTPStream>, std::unique_ptr<HTTPResponse>> HTTPStream::open(
    HTTPConnection& connection, HTTPStreamOptions options) {
    auto stream =
        std::make_shared<HTTPStream>(std::make_unique<Private>(connection, std::move(options)));
    auto response = std::make_unique<HTTPStreamResponse>(stream);
    stream->state_->response = response.get();
    stream->state_->keepAlive =
        std::make_shared<const std::string>(stream->state_->options.keepAliveMessage);
    stream->armKeepAlive();
    return {stream, std::move(response)};
}

bool HTTPStream::send(std::shared_ptr<const std::string> message) {
    std::shared_ptr<HTTPConnection> connection = state_->connection.lock();
    if (!open_.load() || !connection) return false;
    asio::post(
        connection->config().queue()->strand(),
        [self = shared_from_this(), message = std::move(message)] { self->deliver(message); });
    return true;
}

void HTTPStream::deliver(const std::shared_ptr<const std::string>& message) {
    HTTPStreamResponse* response = state_->response;
    std::shared_ptr<HTTPConnection> connection = state_->connection.lock();
    if (!response || !connection) return;
    if (!response->append(message, state_->options.bufferLimit)) {
        // Too far behind: the reader reconnects and starts afresh.
        detach();
        connection->dropConnection();
        return;
    }
    connection->responseHasAvailableData(response);
}

void HTTPStream::armKeepAlive() {
    state_->timer->expires_after(state_->options.keepAliveInterval);
    state_->timer->async_wait([weak = weak_from_this()](const std::error_code& error) {
        std::shared_ptr<HTTPStream> self = weak.lock();
        if (error || !self || !self->state_->response) return;
        self->deliver(self->state_->keepAlive);
        if (self->state_->response) self->armKeepAlive();
    });
}

void HTTPStream::detach() {
    open_.store(false);
    state_->response = nullptr;
    state_->timer.reset();
}

}  // namespace vtr
