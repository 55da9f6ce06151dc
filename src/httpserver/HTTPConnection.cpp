#include "httpserver/HTTPConnection.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include "httpserver/HTTPConnectionQueue.h"
#include "httpserver/HTTPDeadline.h"
#include "httpserver/HTTPResponseWriter.h"
#include "httpserver/HTTPServer.h"
#include "logging/VTRLog.h"

#define HTTP_CONN_WARN(...) \
    VTR_HTTP_LOG_AT(::vtr::VTRHTTPConnectionLogLevel, ::vtr::VTRLogFlagWarning, __VA_ARGS__)

namespace vtr {

namespace {

// Room for one header line of the largest size plus what arrives behind it.
constexpr size_t kInputBufferSize = 16384;
static_assert(kInputBufferSize > HTTPRequestReader::kMaxHeaderLineLength);

// After a reply that closes the connection, unread input is drained for a short while so the
// kernel does not answer it with a reset that could destroy the reply before the peer reads it.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerMaxBytes = 1 << 20;

}  // namespace

struct HTTPConnection::Impl {
    enum class State {
        Idle,        // not started yet
        Reading,     // the reader takes input
        Responding,  // a reply is pending or being written; input waits
        Lingering,   // reply written, draining input before the close
        Dead,
    };
    // What to do once the bytes queued for writing are out.
    enum class AfterWrite { ContinueBody, FinishResponse, FinishErrorReply, ReadBody };

    HTTPConnection& self;
    std::shared_ptr<HTTPConnectionQueue> queue;
    asio::ip::tcp::socket socket;
    HTTPDeadline deadline;
    bool lineTimerArmed = false;  // the header line time-out runs

    State state = State::Idle;
    std::unique_ptr<char[]> input;  // held only while it holds unread input
    size_t inputStart = 0;
    size_t inputEnd = 0;
    std::unique_ptr<char[]> bodyBuffer;  // made for the first body read
    size_t lingerBytes = 0;

    HTTPRequestReader reader;
    HTTPResponseWriter writer;

    // The write in progress, sent with write_some until all is out. While header bytes are
    // pending, the header write time-out applies.
    HTTPResponseWriter::Batch writing;
    AfterWrite afterWrite = AfterWrite::FinishResponse;

    Impl(HTTPConnection& owner, std::shared_ptr<HTTPConnectionQueue> connectionQueue)
        : self(owner),
          queue(std::move(connectionQueue)),
          socket(queue->strand()),
          deadline(
              queue->strand(), [this] { return keepAlive(); }, [this] { die(); }),
          reader(owner.config().limits().maximumRequestBodySize) {}

    bool dead() const { return state == State::Dead; }
    void disarmTimer() {
        deadline.disarm();
        lineTimerArmed = false;
    }
    std::shared_ptr<HTTPConnection> keepAlive() { return self.shared_from_this(); }

    // ---- reading

    void start() {
        if (dead()) return;  // ended by a stop before it began
        std::error_code ignored;
        socket.non_blocking(true, ignored);
        state = State::Reading;
        processInput();
    }

    size_t buffered() const { return inputEnd - inputStart; }

    // Reads more input behind what is buffered. With nothing buffered (an idle keep-alive
    // connection, most of the time) the buffer is released and the socket only watched, so an
    // idle connection costs little memory.
    void readInput() {
        if (buffered() == 0) {
            input.reset();
            inputStart = inputEnd = 0;
            socket.async_wait(asio::socket_base::wait_read,
                              [this, owner = keepAlive()](const std::error_code& error) {
                                  if (dead()) return;
                                  if (error) return die();
                                  readAvailable();
                              });
            return;
        }
        if (inputStart > 0) {
            std::memmove(input.get(), input.get() + inputStart, buffered());
            inputEnd -= inputStart;
            inputStart = 0;
        }
        socket.async_read_some(
            asio::buffer(input.get() + inputEnd, kInputBufferSize - inputEnd),
            [this, owner = keepAlive()](const std::error_code& error, size_t count) {
                if (dead()) return;
                if (error) return die();
                inputEnd += count;
                processInput();
            });
    }

    // The socket is readable: take what is there without blocking.
    void readAvailable() {
        if (!input) input.reset(new char[kInputBufferSize]);
        std::error_code error;
        size_t count = socket.read_some(
            asio::buffer(input.get() + inputEnd, kInputBufferSize - inputEnd), error);
        if (error == asio::error::would_block || error == asio::error::try_again)
            return readInput();
        if (error) return die();
        inputEnd += count;
        processInput();
    }

    // Reads body bytes straight into the body buffer, never past what the reader wants, so
    // input that follows the body stays in the socket for the line reader.
    void readBodyPiece(uint64_t wanted) {
        if (!bodyBuffer) bodyBuffer.reset(new char[kBodyReadPieceSize]);
        size_t want = static_cast<size_t>(std::min<uint64_t>(wanted, kBodyReadPieceSize));
        socket.async_read_some(
            asio::buffer(bodyBuffer.get(), want),
            [this, owner = keepAlive()](const std::error_code& error, size_t count) {
                if (dead()) return;
                if (error) return die();
                HTTPRequestReader::Step step =
                    reader.read(std::string_view(bodyBuffer.get(), count), kBodyReadPieceSize);
                if (step.event == HTTPRequestReader::Event::BodyPiece) {
                    self.processBodyData(step.body);
                    if (dead()) return;
                }
                processInput();
            });
    }

    // Runs the reader over the buffered input until it needs more, or a reply is under way.
    void processInput() {
        while (state == State::Reading) {
            std::string_view pending;
            if (input) pending = std::string_view(input.get() + inputStart, buffered());
            HTTPRequestReader::Step step = reader.read(pending, kBodyReadPieceSize);
            inputStart += step.consumed;
            switch (step.event) {
                case HTTPRequestReader::Event::NeedMore:
                    return awaitInput(step.consumed > 0);
                case HTTPRequestReader::Event::Head:
                    if (lineTimerArmed) disarmTimer();
                    onHead();
                    break;
                case HTTPRequestReader::Event::BodyPiece:
                    self.processBodyData(step.body);
                    if (dead()) return;
                    break;
                case HTTPRequestReader::Event::BodyEnd:
                    finishRequestBody();
                    break;
                case HTTPRequestReader::Event::Error:
                    return refuseRequest();
            }
        }
    }

    void awaitInput(bool tookLines) {
        if (reader.readingHead()) {
            // The time-out runs from the moment a line is awaited, so a peer trickling bytes
            // cannot hold the connection forever.
            if (!lineTimerArmed || tookLines) deadline.arm(self.config().headerLineTimeout());
            lineTimerArmed = true;
            return readInput();
        }
        uint64_t wanted = reader.bodyBytesWanted();
        if (wanted > 0 && buffered() == 0) return readBodyPiece(wanted);
        readInput();
    }

    void onHead() {
        const std::string method = reader.request().method();
        const std::string uri = reader.request().url();
        bool expectsBody = self.expectsRequestBodyFromMethod(method, uri);
        if (dead()) return;
        if (!reader.frameBody(expectsBody)) return refuseRequest();

        bool supported = self.supportsMethod(method, uri);
        if (dead()) return;
        if (!supported) return refuseMethod(method);

        if (!expectsBody) return replyToRequest();
        if (!reader.startBody()) return refuseRequest();
        uint64_t length = reader.bodyLength();
        self.prepareForBodyWithSize(length);
        if (dead()) return;
        if (length == 0) {
            self.finishBody();
            if (dead()) return;
            return replyToRequest();
        }
        // A client that asks before sending its body (curl does for large ones) would otherwise
        // wait for a second before sending it.
        std::optional<std::string> expect = reader.request().headerField("Expect");
        if (expect && HTTPEqualsIgnoringCase(*expect, "100-continue") &&
            reader.request().version() == HTTPVersion1_1) {
            state = State::Responding;
            return send(HTTPResponseWriter::continueReply(), AfterWrite::ReadBody);
        }
        startBody();
    }

    // The whole body must arrive within the header line time-out, counted from the end of its
    // header (or of the interim reply): a time-out per read would let a peer that trickles
    // bytes hold the connection for ever.
    void startBody() {
        state = State::Reading;
        deadline.arm(self.config().headerLineTimeout());
    }

    void finishRequestBody() {
        disarmTimer();
        bodyBuffer.reset();  // idle connections should not keep it
        self.finishBody();
        if (dead()) return;
        replyToRequest();
    }

    // ---- refusing

    // The reader refused the request: the reply closes the connection, since its remaining
    // input cannot be told from a request.
    void refuseRequest() {
        state = State::Responding;
        const HTTPRequestReader::Error& error = reader.error();
        const std::string& url = reader.request().url();
        switch (error.status) {
            case 0:
                return die();
            case 400:
                HTTP_CONN_WARN("HTTPConnection[{}]: {}", fmt::ptr(&self), error.detail);
                HTTP_CONN_WARN("HTTP Server: Error 400 - Bad Request ({})",
                               url.empty() ? std::string("(null)") : url);
                break;
            case 413:
                // Nothing of the body reaches the hooks.
                HTTP_CONN_WARN(
                    "HTTP Server: Error 413 - Payload Too Large: more than {} bytes ({})",
                    self.config().limits().maximumRequestBodySize, url);
                break;
            case 501:
                HTTP_CONN_WARN(
                    "HTTP Server: Error 501 - Not Implemented: Transfer-Encoding {} ({})",
                    error.detail, url);
                break;
        }
        sendErrorReply(error.status, true);
    }

    void refuseMethod(const std::string& method) {
        state = State::Responding;
        HTTP_CONN_WARN("HTTP Server: Error 405 - Method Not Allowed: {} ({})", method,
                       reader.request().url());
        sendErrorReply(405, true);
    }

    // ---- replying

    void replyToRequest() {
        state = State::Responding;
        const HTTPMessage& request = reader.request();
        const std::string& version = request.version();
        if (version != HTTPVersion1_0 && version != HTTPVersion1_1) {
            HTTP_CONN_WARN("HTTP Server: Error 505 - Version Not Supported: {} ({})", version,
                           request.url());
            return sendErrorReply(505, false);
        }
        std::optional<std::string> upgrade = request.headerField("Upgrade");
        std::optional<std::string> connection = request.headerField("Connection");
        if (upgrade && connection && HTTPEqualsIgnoringCase(*upgrade, "WebSocket") &&
            HTTPEqualsIgnoringCase(*connection, "Upgrade"))
            return sendErrorReply(404, false);

        std::unique_ptr<HTTPResponse> response =
            self.httpResponseForMethod(request.method(), request.url());
        if (dead()) return;
        if (!response) return sendErrorReply(404, false);
        writer.setResponse(std::move(response), request);
        sendResponse();
    }

    void sendErrorReply(int status, bool close) {
        send(writer.errorReply(status, close, queue->dateHeaderValue()),
             AfterWrite::FinishErrorReply);
    }

    void sendResponse() {
        HTTPResponseWriter::Batch batch = writer.begin(queue->dateHeaderValue());
        if (dead()) return;
        send(batch, batch.last ? AfterWrite::FinishResponse : AfterWrite::ContinueBody);
    }

    void sendNextPiece() {
        HTTPResponseWriter::Batch batch = writer.next();
        if (dead()) return;
        send(batch, batch.last ? AfterWrite::FinishResponse : AfterWrite::ContinueBody);
    }

    // Writes a batch; an empty one either ends the response or waits for its data.
    void send(const HTTPResponseWriter::Batch& batch, AfterWrite then) {
        if (batch.count == 0) {
            if (then == AfterWrite::FinishResponse) finishResponse();
            return;
        }
        writing = batch;
        afterWrite = then;
        if (writing.headerBytes > 0) deadline.arm(self.config().headerWriteTimeout());
        writeSome();
    }

    void writeSome() {
        std::array<asio::const_buffer, 4> pending;
        for (size_t i = writing.first; i < writing.count; ++i)
            pending[i - writing.first] = asio::buffer(writing.pieces[i]);
        socket.async_write_some(
            pending, [this, owner = keepAlive()](const std::error_code& error, size_t written) {
                if (dead()) return;
                if (error) return die();
                onWritten(written);
            });
    }

    void onWritten(size_t written) {
        bool headerPending = writing.headerBytes > 0;
        bool done = writing.advance(written);
        // Body bytes are written without a time-out.
        if (headerPending && writing.headerBytes == 0) disarmTimer();
        if (!done) return writeSome();

        switch (afterWrite) {
            case AfterWrite::ContinueBody:
                if (writer.waiting()) return;
                return sendNextPiece();
            case AfterWrite::FinishResponse:
                return finishResponse();
            case AfterWrite::FinishErrorReply:
                return finishReply();
            case AfterWrite::ReadBody:
                startBody();
                return processInput();
        }
    }

    void finishResponse() {
        std::unique_ptr<HTTPResponse> response = writer.finish();
        response->connectionDidClose();
        if (dead()) return;
        finishReply();
    }

    void finishReply() {
        if (writer.closesConnection(reader.request())) return lingerThenDie();
        writer.reset();
        reader.nextRequest();
        state = State::Reading;
        processInput();
    }

    void responseHasAvailableData(HTTPResponse* response) {
        if (dead() || !response || response != writer.response()) return;
        if (!writer.headerSent()) return sendResponse();
        // A write still in progress continues with the body when it completes.
        if (writer.resume() && writing.first == writing.count) sendNextPiece();
    }

    // ---- closing

    void lingerThenDie() {
        state = State::Lingering;
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        deadline.arm(std::min<std::chrono::milliseconds>(
            self.config().headerWriteTimeout(),
            std::chrono::duration_cast<std::chrono::milliseconds>(kLingerTime)));
        drainInput();
    }

    void drainInput() {
        if (!input) input.reset(new char[kInputBufferSize]);
        socket.async_read_some(
            asio::buffer(input.get(), kInputBufferSize),
            [this, owner = keepAlive()](const std::error_code& error, size_t count) {
                if (dead()) return;
                lingerBytes += count;
                if (error || lingerBytes > kLingerMaxBytes) return die();
                drainInput();
            });
    }

    void die() {
        if (dead()) return;
        state = State::Dead;
        deadline.cancel();  // its pending wait holds this connection
        std::error_code ignored;
        socket.close(ignored);
        if (std::unique_ptr<HTTPResponse> response = writer.finish())
            response->connectionDidClose();
        if (HTTPServer* server = self.config().server()) server->connectionDidDie(&self);
    }
};

HTTPConnection::HTTPConnection(HTTPConfig config)
    : config_(std::move(config)), impl_(std::make_unique<Impl>(*this, config_.queue())) {}

HTTPConnection::~HTTPConnection() = default;

bool HTTPConnection::supportsMethod(const std::string& method, const std::string&) {
    return method == "GET" || method == "HEAD";
}

bool HTTPConnection::expectsRequestBodyFromMethod(const std::string& method, const std::string&) {
    return method == "POST" || method == "PUT";
}

void HTTPConnection::prepareForBodyWithSize(uint64_t) {}

void HTTPConnection::processBodyData(std::string_view) {}

void HTTPConnection::finishBody() {}

std::unique_ptr<HTTPResponse> HTTPConnection::httpResponseForMethod(const std::string&,
                                                                    const std::string&) {
    return nullptr;
}

const HTTPMessage& HTTPConnection::request() const {
    return impl_->reader.request();
}

void HTTPConnection::responseHasAvailableData(HTTPResponse* response) {
    impl_->responseHasAvailableData(response);
}

void HTTPConnection::postAfter(std::chrono::steady_clock::duration delay,
                               std::function<void()> work) {
    auto timer = std::make_shared<asio::steady_timer>(impl_->queue->strand(), delay);
    std::weak_ptr<HTTPConnection> weak = weak_from_this();
    timer->async_wait([timer, weak, work = std::move(work)](const std::error_code& error) {
        std::shared_ptr<HTTPConnection> connection = weak.lock();
        if (error || !connection || connection->impl_->dead()) return;
        work();
    });
}

void HTTPConnection::dropConnection() {
    impl_->die();
}

void HTTPConnection::startWithSocket(int descriptor, int family) {
    std::error_code error;
    impl_->socket.assign(family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), descriptor,
                         error);
    if (error) ::close(descriptor);
    asio::post(impl_->queue->strand(), [this, owner = shared_from_this(), failed = bool(error)] {
        if (failed)
            impl_->die();
        else
            impl_->start();
    });
}

bool HTTPConnection::isDead() const {
    return impl_->dead();
}

}  // namespace vtr
