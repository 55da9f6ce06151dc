#include "httpserver/HTTPResponseWriter.h"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>

namespace vtr {

namespace {

void addStandardHeaders(HTTPMessage& message, std::string_view date) {
    message.setHeaderField("Date", std::string(date));
    message.setHeaderField("Accept-Ranges", "bytes");
}

}  // namespace

bool HTTPResponseWriter::Batch::advance(size_t written) {
    headerBytes -= std::min(headerBytes, written);
    while (first < count && written >= pieces[first].size()) written -= pieces[first++].size();
    if (first < count) pieces[first].remove_prefix(written);
    return first == count;
}

HTTPResponseWriter::Batch HTTPResponseWriter::continueReply() {
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    Batch batch;
    batch.pieces[batch.count++] = kContinue;
    batch.headerBytes = kContinue.size();
    return batch;
}

HTTPResponseWriter::Batch HTTPResponseWriter::errorReply(int status, bool close,
                                                         std::string_view date) {
    HTTPMessage reply(status, {}, HTTPVersion1_1);
    reply.setHeaderField("Content-Length", "0");
    addStandardHeaders(reply, date);
    if (close) reply.setHeaderField("Connection", "close");
    close_ = close;
    headerBlock_ = reply.messageData();
    Batch batch;
    batch.pieces[batch.count++] = headerBlock_;
    batch.headerBytes = headerBlock_.size();
    batch.last = true;
    return batch;
}

void HTTPResponseWriter::setResponse(std::unique_ptr<HTTPResponse> response,
                                     const HTTPMessage& request) {
    response_ = std::move(response);
    isHead_ = request.method() == "HEAD";
}

HTTPResponseWriter::Batch HTTPResponseWriter::begin(std::string_view date) {
    if (response_->delayResponeHeaders()) return {};
    headerSent_ = true;
    chunked_ = response_->isChunked();
    bodyBytes_ = 0;

    uint64_t length = response_->contentLength();
    HTTPHeaderList fields = response_->httpHeaders();
    // A response that tells the client the connection ends must end it.
    for (const auto& [name, value] : fields) {
        if (HTTPEqualsIgnoringCase(name, "Connection") && HTTPEqualsIgnoringCase(value, "close"))
            close_ = true;
    }
    writeHeader(response_->status(), length, std::move(fields), date);

    Batch batch;
    batch.pieces[batch.count++] = headerBlock_;
    batch.headerBytes = headerBlock_.size();
    if (isHead_ || (length == 0 && !chunked_)) {
        batch.last = true;
        return batch;
    }
    // The first body piece goes out with the header in one system call.
    return nextPiece(batch);
}

HTTPResponseWriter::Batch HTTPResponseWriter::next() {
    return nextPiece({});
}

HTTPResponseWriter::Batch HTTPResponseWriter::nextPiece(Batch batch) {
    while (true) {
        if (response_->isDone()) {
            if (chunked_) batch.pieces[batch.count++] = "0\r\n\r\n";
            batch.last = true;
            return batch;
        }
        std::string_view data = response_->readDataOfLength(kBodyPieceSize);
        if (!response_) return {};  // the connection ended meanwhile
        if (data.empty()) {
            // Nothing yet: the response says when it has more.
            waiting_ = !response_->isDone();
            if (batch.count > 0 || waiting_) return batch;
            continue;
        }
        bodyBytes_ += data.size();
        if (chunked_) {
            chunkPrefix_ = fmt::format("{:x}\r\n", data.size());
            batch.pieces[batch.count++] = chunkPrefix_;
            batch.pieces[batch.count++] = data;
            batch.pieces[batch.count++] = "\r\n";
        } else {
            batch.pieces[batch.count++] = data;
        }
        return batch;
    }
}

bool HTTPResponseWriter::resume() {
    if (!waiting_) return false;
    waiting_ = false;
    return true;
}

// The header block: status line, the length header, Date, Accept-Ranges, then the response's
// own fields, a later field replacing an earlier one of the same name.
void HTTPResponseWriter::writeHeader(int status, uint64_t length, HTTPHeaderList fields,
                                     std::string_view date) {
    static constexpr std::string_view kOwnNames[] = {"Content-Length", "Transfer-Encoding", "Date",
                                                     "Accept-Ranges"};
    bool replaces = false;
    for (size_t i = 0; i < fields.size() && !replaces; ++i) {
        for (std::string_view own : kOwnNames)
            replaces |= HTTPEqualsIgnoringCase(fields[i].first, own);
        for (size_t j = 0; j < i; ++j)
            replaces |= HTTPEqualsIgnoringCase(fields[i].first, fields[j].first);
    }
    if (replaces) {
        HTTPMessage reply(status, {}, HTTPVersion1_1);
        if (chunked_)
            reply.setHeaderField("Transfer-Encoding", "chunked");
        else
            reply.setHeaderField("Content-Length", fmt::format("{}", length));
        addStandardHeaders(reply, date);
        for (auto& [name, value] : fields) reply.setHeaderField(name, std::move(value));
        headerBlock_ = reply.messageData();
        return;
    }
    // Nothing to replace (the usual case): written straight into the reused buffer.
    headerBlock_.clear();
    auto out = std::back_inserter(headerBlock_);
    fmt::format_to(out, "HTTP/1.1 {} {}\r\n", status, HTTPMessage::reasonPhrase(status));
    if (chunked_)
        headerBlock_.append("Transfer-Encoding: chunked\r\n");
    else
        fmt::format_to(out, "Content-Length: {}\r\n", length);
    fmt::format_to(out, "Date: {}\r\nAccept-Ranges: bytes\r\n", date);
    for (const auto& [name, value] : fields) fmt::format_to(out, "{}: {}\r\n", name, value);
    headerBlock_.append("\r\n");
}

std::unique_ptr<HTTPResponse> HTTPResponseWriter::finish() {
    // A response that ended short of its announced length leaves the peer waiting for bytes
    // that never come; closing tells it the reply is over.
    if (response_ && !chunked_ && !isHead_ && bodyBytes_ != response_->contentLength())
        close_ = true;
    return std::move(response_);
}

bool HTTPResponseWriter::closesConnection(const HTTPMessage& request) const {
    if (close_) return true;
    std::optional<std::string> connection = request.headerField("Connection");
    const std::string& version = request.version();
    if (version == HTTPVersion1_1)
        return connection && HTTPEqualsIgnoringCase(*connection, "close");
    if (version == HTTPVersion1_0)
        return !connection || !HTTPEqualsIgnoringCase(*connection, "Keep-Alive");
    return false;
}

void HTTPResponseWriter::reset() {
    headerSent_ = false;
    waiting_ = false;
    close_ = false;
}

}  // namespace vtr
