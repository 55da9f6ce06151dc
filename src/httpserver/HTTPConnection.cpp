#include "httpserver/HTTPConnection.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "httpserver/HTTPConnectionQueue.h"
#include "httpserver/HTTPServer.h"
#include "logging/VTRLog.h"

#define HTTP_CONN_WARN(...) \
    VTR_HTTP_LOG_AT(::vtr::VTRHTTPConnectionLogLevel, ::vtr::VTRLogFlagWarning, __VA_ARGS__)

namespace vtr {

namespace {

// Room for one header line of the largest size plus what arrives behind it.
constexpr size_t kInputBufferSize = 16384;
static_assert(kInputBufferSize > HTTPConnection::kMaxHeaderLineLength);

// After a reply that closes the connection, unread input is drained for a short while so the
// kernel does not answer it with a reset that could destroy the reply before the peer reads it.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerMaxBytes = 1 << 20;

bool parseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// A chunk-size line: hexadecimal digits, optionally followed by whitespace and ";extensions".
bool parseChunkSize(std::string_view line, uint64_t* value) {
    size_t digits = 0;
    uint64_t result = 0;
    while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
        if (digits == 16) return false;
        char c = line[digits];
        int nibble = (c <= '9') ? c - '0' : (c | 0x20) - 'a' + 10;
        result = (result << 4) | static_cast<uint64_t>(nibble);
        ++digits;
    }
    if (digits == 0) return false;
    std::string_view rest = line.substr(digits);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (!rest.empty() && rest.front() != ';') return false;
    *value = result;
    return true;
}

}  // namespace

struct HTTPConnection::Impl {
    enum class State {
        Idle,           // not started yet
        ReadingHeader,  // request and header lines
        ReadingBody,    // a counted body
        ReadingChunkSize,
        ReadingChunkData,
        ReadingChunkTrailer,  // the CRLF after a chunk's bytes
        ReadingFooter,        // lines after the last chunk
        Responding,           // a reply is pending or being written; input waits
        Lingering,            // reply written, draining input before the close
        Dead,
    };
    enum class LineResult { Found, NeedMore, TooLong };
    // What to do once the bytes queued for writing are out.
    enum class AfterWrite { ContinueBody, FinishResponse, FinishErrorReply, ReadBody };

    HTTPConnection& self;
    std::shared_ptr<HTTPConnectionQueue> queue;
    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    uint64_t timerGeneration = 0;
    bool timerRunning = false;
    bool deadlineSet = false;
    std::chrono::steady_clock::time_point deadline;
    bool lineTimerArmed = false;  // the header line time-out runs

    State state = State::Idle;
    std::unique_ptr<char[]> input;  // held only while it holds unread input
    size_t inputStart = 0;
    size_t inputEnd = 0;
    std::unique_ptr<char[]> bodyBuffer;  // made for the first body read
    size_t lingerBytes = 0;

    HTTPMessage request;
    int numHeaderLines = 0;
    uint64_t requestContentLength = 0;
    uint64_t requestContentLengthReceived = 0;
    uint64_t requestChunkSize = 0;
    uint64_t requestChunkSizeReceived = 0;
    uint64_t requestChunkedBodySize = 0;  // the chunk sizes announced so far

    std::unique_ptr<HTTPResponse> httpResponse;
    bool sentResponseHeaders = false;
    bool waitingForData = false;  // the response had nothing to give; it will say when it has
    bool responseChunked = false;
    bool responseIsHead = false;
    uint64_t responseBodyBytes = 0;
    bool closeAfterReply = false;

    // The write in progress: up to four pieces, sent with write_some until all are out.
    std::string headerBlock;
    std::string chunkPrefix;
    std::array<asio::const_buffer, 4> writeBuffers;
    size_t writeFirst = 0;
    size_t writeCount = 0;
    size_t headerBytesPending = 0;  // while non-zero, the header write time-out applies
    AfterWrite afterWrite = AfterWrite::FinishResponse;
    State bodyStateAfterContinue = State::ReadingBody;

    Impl(HTTPConnection& owner, std::shared_ptr<HTTPConnectionQueue> connectionQueue)
        : self(owner),
          queue(std::move(connectionQueue)),
          socket(queue->strand()),
          timer(queue->strand()) {}

    bool dead() const { return state == State::Dead; }
    std::shared_ptr<HTTPConnection> keepAlive() { return self.shared_from_this(); }

    // ---- time-outs

    // One time-out at a time is pending: a deadline that the timer checks when it fires. Arming
    // and disarming only move the deadline, so the common case (a line or a header block that
    // arrives or leaves in time) costs no timer operation; the timer is re-aimed only when a
    // deadline comes earlier than its current expiry.
    void armTimer(std::chrono::milliseconds timeout) {
        deadline = std::chrono::steady_clock::now() + timeout;
        deadlineSet = true;
        if (timerRunning && timer.expiry() <= deadline) return;
        timer.expires_at(deadline);  // cancels a wait in progress, whose handler then ignores it
        waitForDeadline();
    }

    void waitForDeadline() {
        timerRunning = true;
        uint64_t generation = ++timerGeneration;
        timer.async_wait([this, owner = keepAlive(), generation](const std::error_code& error) {
            if (generation != timerGeneration || dead()) return;
            timerRunning = false;
            if (error || !deadlineSet) return;
            if (std::chrono::steady_clock::now() >= deadline) return die();
            timer.expires_at(deadline);
            waitForDeadline();
        });
    }

    void cancelTimer() {
        deadlineSet = false;
        lineTimerArmed = false;
    }

    // ---- reading

    void start() {
        if (dead()) return;  // ended by a stop before it began
        std::error_code ignored;
        socket.non_blocking(true, ignored);
        state = State::ReadingHeader;
        processInput();
    }

    LineResult takeLine(size_t maxLength, std::string_view* line) {
        if (!input) return LineResult::NeedMore;
        std::string_view buffered(input.get() + inputStart, inputEnd - inputStart);
        size_t end = buffered.find("\r\n");
        if (end == std::string_view::npos)
            return buffered.size() >= maxLength ? LineResult::TooLong : LineResult::NeedMore;
        if (end + 2 > maxLength) return LineResult::TooLong;
        *line = buffered.substr(0, end);
        inputStart += end + 2;
        return LineResult::Found;
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

    // Reads body bytes straight into the body buffer, never past `remaining`, so input that
    // follows the body stays in the socket for the line reader.
    void readBodyPiece(uint64_t remaining) {
        if (!bodyBuffer) bodyBuffer.reset(new char[kBodyReadPieceSize]);
        size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kBodyReadPieceSize));
        socket.async_read_some(
            asio::buffer(bodyBuffer.get(), want),
            [this, owner = keepAlive()](const std::error_code& error, size_t count) {
                if (dead()) return;
                if (error) {
                    die();
                    return;
                }
                if (deliverBody(std::string_view(bodyBuffer.get(), count))) processInput();
            });
    }

    // Hands a body piece to the hook and counts it; false when the connection ended meanwhile.
    bool deliverBody(std::string_view piece) {
        self.processBodyData(piece);
        if (dead()) return false;
        if (state == State::ReadingBody)
            requestContentLengthReceived += piece.size();
        else
            requestChunkSizeReceived += piece.size();
        return true;
    }

    // Takes a body piece from the buffered input when there is one. False when none was there.
    bool takeBufferedBody(uint64_t remaining, bool* alive) {
        *alive = true;
        if (buffered() == 0) return false;
        size_t count = static_cast<size_t>(
            std::min<uint64_t>({remaining, buffered(), uint64_t{kBodyReadPieceSize}}));
        std::string_view piece(input.get() + inputStart, count);
        inputStart += count;
        *alive = deliverBody(piece);
        return true;
    }

    // Runs the reader over the buffered input until it needs more, or a reply is under way.
    void processInput() {
        while (true) {
            std::string_view line;
            switch (state) {
                case State::ReadingHeader: {
                    LineResult result = takeLine(kMaxHeaderLineLength, &line);
                    if (result == LineResult::TooLong) return die();
                    if (result == LineResult::NeedMore) {
                        // The time-out runs from the moment the line is awaited, so a peer
                        // trickling bytes cannot hold the connection forever.
                        if (!lineTimerArmed) armTimer(self.config().headerLineTimeout());
                        lineTimerArmed = true;
                        return readInput();
                    }
                    if (lineTimerArmed) cancelTimer();
                    lineTimerArmed = false;
                    if (!request.appendHeaderLine(line)) {
                        HTTP_CONN_WARN("HTTPConnection[{}]: Malformed request", fmt::ptr(&self));
                        return handleInvalidRequest();
                    }
                    if (request.isHeaderComplete()) {
                        onHeaderComplete();
                        break;
                    }
                    if (++numHeaderLines > kMaxHeaderLines) return die();
                    break;
                }
                case State::ReadingBody: {
                    uint64_t remaining = requestContentLength - requestContentLengthReceived;
                    bool alive = true;
                    if (remaining > 0 && !takeBufferedBody(remaining, &alive))
                        return readBodyPiece(remaining);
                    if (!alive) return;
                    if (requestContentLengthReceived == requestContentLength) finishRequestBody();
                    break;
                }
                case State::ReadingChunkSize: {
                    LineResult result = takeLine(kMaxChunkSizeLineLength, &line);
                    if (result == LineResult::TooLong) return die();
                    if (result == LineResult::NeedMore) return readInput();
                    uint64_t size = 0;
                    if (!parseChunkSize(line, &size)) {
                        HTTP_CONN_WARN(
                            "HTTPConnection[{}]: Method expects chunk size, but received "
                            "something else",
                            fmt::ptr(&self));
                        return handleInvalidRequest();
                    }
                    if (exceedsBodyLimit(requestChunkedBodySize, size)) return handleTooLarge();
                    requestChunkedBodySize += size;
                    requestChunkSize = size;
                    requestChunkSizeReceived = 0;
                    state = size == 0 ? State::ReadingFooter : State::ReadingChunkData;
                    break;
                }
                case State::ReadingChunkData: {
                    uint64_t remaining = requestChunkSize - requestChunkSizeReceived;
                    bool alive = true;
                    if (remaining > 0 && !takeBufferedBody(remaining, &alive))
                        return readBodyPiece(remaining);
                    if (!alive) return;
                    if (requestChunkSizeReceived == requestChunkSize)
                        state = State::ReadingChunkTrailer;
                    break;
                }
                case State::ReadingChunkTrailer: {
                    if (buffered() < 2) return readInput();
                    if (std::memcmp(input.get() + inputStart, "\r\n", 2) != 0) {
                        HTTP_CONN_WARN(
                            "HTTPConnection[{}]: Method expects chunk trailer, but is missing",
                            fmt::ptr(&self));
                        return handleInvalidRequest();
                    }
                    inputStart += 2;
                    state = State::ReadingChunkSize;
                    break;
                }
                case State::ReadingFooter: {
                    LineResult result = takeLine(kMaxHeaderLineLength, &line);
                    if (result == LineResult::TooLong) return die();
                    if (result == LineResult::NeedMore) return readInput();
                    if (line.empty()) {
                        finishRequestBody();
                        break;
                    }
                    if (++numHeaderLines > kMaxHeaderLines) return die();
                    break;
                }
                case State::Idle:
                case State::Responding:
                case State::Lingering:
                case State::Dead:
                    return;
            }
        }
    }

    void onHeaderComplete() {
        const std::string method = request.method();
        const std::string uri = request.url();
        std::optional<std::string> transferEncoding = request.headerField("Transfer-Encoding");
        std::optional<std::string> contentLength = request.headerField("Content-Length");

        bool expectsBody = self.expectsRequestBodyFromMethod(method, uri);
        if (dead()) return;
        // A body this server would not read, or could not find the end of, leaves the rest of
        // the connection unreadable: its bytes would be taken for the next request.
        if (transferEncoding && !expectsBody) {
            HTTP_CONN_WARN(
                "HTTPConnection[{}]: Method not expecting request body had Transfer-Encoding",
                fmt::ptr(&self));
            return handleInvalidRequest();
        }
        if (transferEncoding && !HTTPEqualsIgnoringCase(*transferEncoding, "chunked"))
            return handleUnknownTransferCoding(*transferEncoding);
        uint64_t length = 0;
        if (expectsBody) {
            if (transferEncoding) {
                length = kChunkedBodyLength;
            } else if (!contentLength) {
                HTTP_CONN_WARN(
                    "HTTPConnection[{}]: Method expects request body, but had no specified "
                    "Content-Length",
                    fmt::ptr(&self));
                return handleInvalidRequest();
            } else if (!parseDecimal(*contentLength, &length)) {
                HTTP_CONN_WARN(
                    "HTTPConnection[{}]: Unable to parse Content-Length header into a valid "
                    "number",
                    fmt::ptr(&self));
                return handleInvalidRequest();
            }
        } else if (contentLength) {
            uint64_t announced = 0;
            if (!parseDecimal(*contentLength, &announced)) {
                HTTP_CONN_WARN(
                    "HTTPConnection[{}]: Unable to parse Content-Length header into a valid "
                    "number",
                    fmt::ptr(&self));
                return handleInvalidRequest();
            }
            if (announced != 0) {
                HTTP_CONN_WARN(
                    "HTTPConnection[{}]: Method not expecting request body had non-zero "
                    "Content-Length",
                    fmt::ptr(&self));
                return handleInvalidRequest();
            }
        }

        bool supported = self.supportsMethod(method, uri);
        if (dead()) return;
        if (!supported) return handleUnknownMethod(method);

        if (!expectsBody) return replyToRequest();
        if (length != kChunkedBodyLength && exceedsBodyLimit(0, length)) return handleTooLarge();

        requestContentLength = length;
        requestContentLengthReceived = 0;
        requestChunkedBodySize = 0;
        self.prepareForBodyWithSize(length);
        if (dead()) return;
        if (length == 0) {
            self.finishBody();
            if (dead()) return;
            return replyToRequest();
        }
        State bodyState =
            length == kChunkedBodyLength ? State::ReadingChunkSize : State::ReadingBody;
        // A client that asks before sending its body (curl does for large ones) would otherwise
        // wait for a second before sending it.
        std::optional<std::string> expect = request.headerField("Expect");
        if (expect && HTTPEqualsIgnoringCase(*expect, "100-continue") &&
            request.version() == HTTPVersion1_1) {
            state = State::Responding;
            bodyStateAfterContinue = bodyState;
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            return startWrite({asio::buffer(kContinue)}, kContinue.size(), AfterWrite::ReadBody);
        }
        startBody(bodyState);
    }

    // The whole body must arrive within the header line time-out, counted from the end of its
    // header (or of the interim reply): a time-out per read would let a peer that trickles
    // bytes hold the connection for ever.
    void startBody(State bodyState) {
        state = bodyState;
        armTimer(self.config().headerLineTimeout());
    }

    void finishRequestBody() {
        cancelTimer();
        bodyBuffer.reset();  // idle connections should not keep it
        self.finishBody();
        if (dead()) return;
        replyToRequest();
    }

    // ---- replying

    void replyToRequest() {
        state = State::Responding;
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
        httpResponse = std::move(response);
        sendResponseHeadersAndBody();
    }

    void handleInvalidRequest() {
        state = State::Responding;
        HTTP_CONN_WARN("HTTP Server: Error 400 - Bad Request ({})",
                       request.url().empty() ? std::string("(null)") : request.url());
        sendErrorReply(400, true);
    }

    // Whether `more` body bytes on top of `sofar` pass the server's limit.
    bool exceedsBodyLimit(uint64_t sofar, uint64_t more) const {
        uint64_t limit = self.config().limits().maximumRequestBodySize;
        return limit > 0 && (more > limit || sofar > limit - more);
    }

    // The body is refused before it is read: nothing of it reaches the hooks, and the
    // connection closes after the reply (its remaining input cannot be told from a request).
    void handleTooLarge() {
        state = State::Responding;
        HTTP_CONN_WARN("HTTP Server: Error 413 - Payload Too Large: more than {} bytes ({})",
                       self.config().limits().maximumRequestBodySize, request.url());
        sendErrorReply(413, true);
    }

    void handleUnknownTransferCoding(const std::string& coding) {
        state = State::Responding;
        HTTP_CONN_WARN("HTTP Server: Error 501 - Not Implemented: Transfer-Encoding {} ({})",
                       coding, request.url());
        sendErrorReply(501, true);
    }

    void handleUnknownMethod(const std::string& method) {
        state = State::Responding;
        HTTP_CONN_WARN("HTTP Server: Error 405 - Method Not Allowed: {} ({})", method,
                       request.url());
        sendErrorReply(405, true);
    }

    void addStandardHeaders(HTTPMessage& message) {
        message.setHeaderField("Date", queue->dateHeaderValue());
        message.setHeaderField("Accept-Ranges", "bytes");
    }

    void sendErrorReply(int status, bool close) {
        HTTPMessage reply(status, {}, HTTPVersion1_1);
        reply.setHeaderField("Content-Length", "0");
        addStandardHeaders(reply);
        if (close) reply.setHeaderField("Connection", "close");
        closeAfterReply = close;
        headerBlock = reply.messageData();
        startWrite({asio::buffer(headerBlock)}, headerBlock.size(), AfterWrite::FinishErrorReply);
    }

    // The header block: status line, the length header, Date, Accept-Ranges, then the
    // response's own fields, a later field replacing an earlier one of the same name.
    void writeResponseHeader(int status, uint64_t length, HTTPHeaderList fields) {
        static constexpr std::string_view kOwnNames[] = {"Content-Length", "Transfer-Encoding",
                                                         "Date", "Accept-Ranges"};
        bool replaces = false;
        for (size_t i = 0; i < fields.size() && !replaces; ++i) {
            for (std::string_view own : kOwnNames)
                replaces |= HTTPEqualsIgnoringCase(fields[i].first, own);
            for (size_t j = 0; j < i; ++j)
                replaces |= HTTPEqualsIgnoringCase(fields[i].first, fields[j].first);
        }
        if (replaces) {
            HTTPMessage reply(status, {}, HTTPVersion1_1);
            if (responseChunked)
                reply.setHeaderField("Transfer-Encoding", "chunked");
            else
                reply.setHeaderField("Content-Length", fmt::format("{}", length));
            addStandardHeaders(reply);
            for (auto& [name, value] : fields) reply.setHeaderField(name, std::move(value));
            headerBlock = reply.messageData();
            return;
        }
        // Nothing to replace (the usual case): written straight into the reused buffer.
        headerBlock.clear();
        auto out = std::back_inserter(headerBlock);
        fmt::format_to(out, "HTTP/1.1 {} {}\r\n", status, HTTPMessage::reasonPhrase(status));
        if (responseChunked)
            headerBlock.append("Transfer-Encoding: chunked\r\n");
        else
            fmt::format_to(out, "Content-Length: {}\r\n", length);
        fmt::format_to(out, "Date: {}\r\nAccept-Ranges: bytes\r\n", queue->dateHeaderValue());
        for (const auto& [name, value] : fields) fmt::format_to(out, "{}: {}\r\n", name, value);
        headerBlock.append("\r\n");
    }

    void sendResponseHeadersAndBody() {
        if (httpResponse->delayResponeHeaders()) return;
        sentResponseHeaders = true;
        responseChunked = httpResponse->isChunked();
        responseIsHead = request.method() == "HEAD";
        responseBodyBytes = 0;

        uint64_t length = httpResponse->contentLength();
        HTTPHeaderList fields = httpResponse->httpHeaders();
        // A response that tells the client the connection ends must end it.
        for (const auto& [name, value] : fields) {
            if (HTTPEqualsIgnoringCase(name, "Connection") &&
                HTTPEqualsIgnoringCase(value, "close"))
                closeAfterReply = true;
        }
        writeResponseHeader(httpResponse->status(), length, std::move(fields));

        if (responseIsHead || (length == 0 && !responseChunked)) {
            startWrite({asio::buffer(headerBlock)}, headerBlock.size(), AfterWrite::FinishResponse);
            return;
        }
        // The first body piece goes out with the header in one system call.
        writeBodyPiece(true);
    }

    // Queues the next piece of the response body (behind the header block when `withHeader`).
    void writeBodyPiece(bool withHeader) {
        std::array<asio::const_buffer, 4> pieces;
        size_t count = 0;
        if (withHeader) pieces[count++] = asio::buffer(headerBlock);
        size_t headerBytes = withHeader ? headerBlock.size() : 0;

        if (httpResponse->isDone()) {
            if (responseChunked) pieces[count++] = asio::buffer("0\r\n\r\n", 5);
            if (count == 0) return finishResponse();
            return startWrite(pieces, count, headerBytes, AfterWrite::FinishResponse);
        }
        std::string_view data = httpResponse->readDataOfLength(kResponseBodyPieceSize);
        if (dead()) return;
        if (data.empty()) {
            // Nothing yet: the response calls responseHasAvailableData() when it has more.
            waitingForData = !httpResponse->isDone();
            if (count > 0) return startWrite(pieces, count, headerBytes, AfterWrite::ContinueBody);
            if (!waitingForData) return writeBodyPiece(false);
            return;
        }
        responseBodyBytes += data.size();
        if (responseChunked) {
            chunkPrefix = fmt::format("{:x}\r\n", data.size());
            pieces[count++] = asio::buffer(chunkPrefix);
            pieces[count++] = asio::buffer(data.data(), data.size());
            pieces[count++] = asio::buffer("\r\n", 2);
        } else {
            pieces[count++] = asio::buffer(data.data(), data.size());
        }
        startWrite(pieces, count, headerBytes, AfterWrite::ContinueBody);
    }

    void startWrite(std::initializer_list<asio::const_buffer> pieces, size_t headerBytes,
                    AfterWrite then) {
        std::array<asio::const_buffer, 4> array;
        size_t count = 0;
        for (const asio::const_buffer& piece : pieces) array[count++] = piece;
        startWrite(array, count, headerBytes, then);
    }

    void startWrite(const std::array<asio::const_buffer, 4>& pieces, size_t count,
                    size_t headerBytes, AfterWrite then) {
        writeBuffers = pieces;
        writeFirst = 0;
        writeCount = count;
        headerBytesPending = headerBytes;
        afterWrite = then;
        if (headerBytesPending > 0) armTimer(self.config().headerWriteTimeout());
        writeSome();
    }

    void writeSome() {
        std::array<asio::const_buffer, 4> pending;
        for (size_t i = writeFirst; i < writeCount; ++i) pending[i - writeFirst] = writeBuffers[i];
        socket.async_write_some(
            pending, [this, owner = keepAlive()](const std::error_code& error, size_t written) {
                if (dead()) return;
                if (error) {
                    die();
                    return;
                }
                onWritten(written);
            });
    }

    void onWritten(size_t written) {
        if (headerBytesPending > 0) {
            headerBytesPending -= std::min(headerBytesPending, written);
            // Body bytes are written without a time-out.
            if (headerBytesPending == 0) cancelTimer();
        }
        while (written > 0 && writeFirst < writeCount) {
            size_t take = std::min(written, writeBuffers[writeFirst].size());
            writeBuffers[writeFirst] += take;
            written -= take;
            if (writeBuffers[writeFirst].size() == 0) ++writeFirst;
        }
        while (writeFirst < writeCount && writeBuffers[writeFirst].size() == 0) ++writeFirst;
        if (writeFirst < writeCount) return writeSome();

        switch (afterWrite) {
            case AfterWrite::ContinueBody:
                if (waitingForData) return;
                return writeBodyPiece(false);
            case AfterWrite::FinishResponse:
                return finishResponse();
            case AfterWrite::FinishErrorReply:
                return finishReply(closeAfterReply);
            case AfterWrite::ReadBody:
                startBody(bodyStateAfterContinue);
                return processInput();
        }
    }

    void finishResponse() {
        // A response that ended short of its announced length leaves the peer waiting for
        // bytes that never come; closing tells it the reply is over.
        bool shortReply = !responseChunked && !responseIsHead &&
                          responseBodyBytes != httpResponse->contentLength();
        httpResponse->connectionDidClose();
        if (dead()) return;
        httpResponse.reset();
        finishReply(shortReply || closeAfterReply);
    }

    bool shouldDie() const {
        std::optional<std::string> connection = request.headerField("Connection");
        const std::string& version = request.version();
        if (version == HTTPVersion1_1)
            return connection && HTTPEqualsIgnoringCase(*connection, "close");
        if (version == HTTPVersion1_0)
            return !connection || !HTTPEqualsIgnoringCase(*connection, "Keep-Alive");
        return false;
    }

    void finishReply(bool close) {
        if (close || shouldDie()) return lingerThenDie();
        request = HTTPMessage();
        numHeaderLines = 0;
        sentResponseHeaders = false;
        waitingForData = false;
        closeAfterReply = false;
        state = State::ReadingHeader;
        processInput();
    }

    void responseHasAvailableData(HTTPResponse* response) {
        if (dead() || !httpResponse || response != httpResponse.get()) return;
        if (!sentResponseHeaders) return sendResponseHeadersAndBody();
        if (waitingForData) {
            waitingForData = false;
            // A write still in progress continues with the body when it completes.
            if (writeFirst >= writeCount) writeBodyPiece(false);
        }
    }

    // ---- closing

    void lingerThenDie() {
        state = State::Lingering;
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        armTimer(std::min<std::chrono::milliseconds>(
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
        cancelTimer();
        timer.cancel();  // its pending wait holds this connection
        std::error_code ignored;
        socket.close(ignored);
        if (httpResponse) {
            httpResponse->connectionDidClose();
            httpResponse.reset();
        }
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
    return impl_->request;
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
