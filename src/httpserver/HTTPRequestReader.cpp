#include "httpserver/HTTPRequestReader.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace vtr {

namespace {

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

const char* const kUnparsableLength = "Unable to parse Content-Length header into a valid number";

}  // namespace

HTTPRequestReader::Step HTTPRequestReader::read(std::string_view input, size_t maxPiece) {
    size_t taken = 0;
    while (true) {
        std::string_view rest = input.substr(taken);
        Step step;
        switch (state_) {
            case State::Head:
            case State::ChunkSize:
            case State::Footer:
                step = readLine(rest);
                break;
            case State::Counted:
                step = readBody(rest, maxPiece, bodyLength_ - bodyReceived_);
                break;
            case State::ChunkData:
                step = readBody(rest, maxPiece, chunkSize_ - chunkReceived_);
                break;
            case State::ChunkEnd:
                step = readChunkEnd(rest);
                break;
            case State::Failed:
                return {Event::Error, taken, {}};
            case State::Framing:
            case State::Starting:
            case State::Complete:
                return {Event::NeedMore, taken, {}};
        }
        taken += step.consumed;
        // A step that took bytes without an event (a header line, a chunk-size line) goes on.
        if (step.event != Event::NeedMore || step.consumed == 0) {
            step.consumed = taken;
            return step;
        }
    }
}

HTTPRequestReader::Step HTTPRequestReader::readLine(std::string_view input) {
    size_t maxLength = state_ == State::ChunkSize ? kMaxChunkSizeLineLength : kMaxHeaderLineLength;
    size_t end = input.find("\r\n");
    if (end == std::string_view::npos) return input.size() >= maxLength ? fail(0) : Step{};
    if (end + 2 > maxLength) return fail(0);
    std::string_view line = input.substr(0, end);
    if (state_ == State::Head) return readHeadLine(line, end + 2);
    if (state_ == State::ChunkSize) return readChunkSize(line, end + 2);
    return readFooterLine(line, end + 2);
}

HTTPRequestReader::Step HTTPRequestReader::readHeadLine(std::string_view line, size_t consumed) {
    if (!request_.appendHeaderLine(line)) return fail(400, "Malformed request");
    if (request_.isHeaderComplete()) {
        state_ = State::Framing;
        return {Event::Head, consumed, {}};
    }
    if (++numHeaderLines_ > kMaxHeaderLines) return fail(0);
    return {Event::NeedMore, consumed, {}};
}

HTTPRequestReader::Step HTTPRequestReader::readChunkSize(std::string_view line, size_t consumed) {
    uint64_t size = 0;
    if (!parseChunkSize(line, &size))
        return fail(400, "Method expects chunk size, but received something else");
    if (exceedsBodyLimit(chunkedBodySize_, size)) return fail(413);
    chunkedBodySize_ += size;
    chunkSize_ = size;
    chunkReceived_ = 0;
    state_ = size == 0 ? State::Footer : State::ChunkData;
    return {Event::NeedMore, consumed, {}};
}

HTTPRequestReader::Step HTTPRequestReader::readFooterLine(std::string_view line, size_t consumed) {
    if (line.empty()) {
        state_ = State::Complete;
        return {Event::BodyEnd, consumed, {}};
    }
    if (++numHeaderLines_ > kMaxHeaderLines) return fail(0);
    return {Event::NeedMore, consumed, {}};
}

HTTPRequestReader::Step HTTPRequestReader::readBody(std::string_view input, size_t maxPiece,
                                                    uint64_t remaining) {
    if (remaining == 0) {  // only a counted body gets here: a chunk ends with its last piece
        state_ = State::Complete;
        return {Event::BodyEnd, 0, {}};
    }
    size_t count = static_cast<size_t>(std::min<uint64_t>({remaining, input.size(), maxPiece}));
    if (count == 0) return {};
    if (state_ == State::Counted) {
        bodyReceived_ += count;
    } else {
        chunkReceived_ += count;
        if (chunkReceived_ == chunkSize_) state_ = State::ChunkEnd;
    }
    return {Event::BodyPiece, count, input.substr(0, count)};
}

HTTPRequestReader::Step HTTPRequestReader::readChunkEnd(std::string_view input) {
    if (input.size() < 2) return {};
    if (input.substr(0, 2) != "\r\n")
        return fail(400, "Method expects chunk trailer, but is missing");
    state_ = State::ChunkSize;
    return {Event::NeedMore, 2, {}};
}

bool HTTPRequestReader::frameBody(bool expectsBody) {
    std::optional<std::string> transferEncoding = request_.headerField("Transfer-Encoding");
    std::optional<std::string> contentLength = request_.headerField("Content-Length");
    // A body this server would not read, or could not find the end of, leaves the rest of the
    // connection unreadable: its bytes would be taken for the next request.
    if (transferEncoding && !expectsBody)
        return refuse(400, "Method not expecting request body had Transfer-Encoding");
    if (transferEncoding && !HTTPEqualsIgnoringCase(*transferEncoding, "chunked"))
        return refuse(501, *transferEncoding);
    bodyLength_ = 0;
    if (expectsBody) {
        if (transferEncoding)
            bodyLength_ = kChunkedBodyLength;
        else if (!contentLength)
            return refuse(400, "Method expects request body, but had no specified Content-Length");
        else if (!parseDecimal(*contentLength, &bodyLength_))
            return refuse(400, kUnparsableLength);
        state_ = State::Starting;
        return true;
    }
    if (contentLength) {
        uint64_t announced = 0;
        if (!parseDecimal(*contentLength, &announced)) return refuse(400, kUnparsableLength);
        if (announced != 0)
            return refuse(400, "Method not expecting request body had non-zero Content-Length");
    }
    state_ = State::Complete;
    return true;
}

bool HTTPRequestReader::startBody() {
    if (bodyLength_ != kChunkedBodyLength && exceedsBodyLimit(0, bodyLength_)) return refuse(413);
    bodyReceived_ = 0;
    chunkedBodySize_ = 0;
    if (bodyLength_ == 0)
        state_ = State::Complete;
    else
        state_ = bodyLength_ == kChunkedBodyLength ? State::ChunkSize : State::Counted;
    return true;
}

uint64_t HTTPRequestReader::bodyBytesWanted() const {
    if (state_ == State::Counted) return bodyLength_ - bodyReceived_;
    if (state_ == State::ChunkData) return chunkSize_ - chunkReceived_;
    return 0;
}

void HTTPRequestReader::nextRequest() {
    request_ = HTTPMessage();
    numHeaderLines_ = 0;
    bodyLength_ = 0;
    state_ = State::Head;
}

HTTPRequestReader::Step HTTPRequestReader::fail(int status, std::string detail) {
    refuse(status, std::move(detail));
    return {Event::Error, 0, {}};
}

bool HTTPRequestReader::refuse(int status, std::string detail) {
    state_ = State::Failed;
    error_ = {status, std::move(detail)};
    return false;
}

// Whether `more` body bytes on top of `sofar` pass the limit.
bool HTTPRequestReader::exceedsBodyLimit(uint64_t sofar, uint64_t more) const {
    uint64_t limit = maximumBodySize_;
    return limit > 0 && (more > limit || sofar > limit - more);
}

}  // namespace vtr
