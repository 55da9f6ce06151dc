// HTTPRequestReader: turns the bytes a peer sends into request events: a complete head, body
// pieces, the end of the body, or an error with the status to answer. It holds the request
// limits (header line and count, chunk-size line, body size), the Transfer-Encoding and
// Content-Length rules and the chunked decoding; it knows nothing of sockets or time.
// The connection that owns it uses it on that connection's strand only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "httpserver/HTTPMessage.h"

namespace vtr {

class HTTPRequestReader {
  public:
    static constexpr uint64_t kChunkedBodyLength = UINT64_MAX;
    static constexpr size_t kMaxHeaderLineLength = 8190;  // CRLF included
    static constexpr int kMaxHeaderLines = 100;           // request line and footers included
    static constexpr size_t kMaxChunkSizeLineLength = 200;

    enum class Event {
        NeedMore,   // everything given was taken or must wait for more
        Head,       // the head is complete; call frameBody() next
        BodyPiece,  // `body` holds the next piece
        BodyEnd,    // the whole body has arrived
        Error,      // see error(); every later read() answers Error again, taking nothing
    };
    struct Step {
        Event event = Event::NeedMore;
        size_t consumed = 0;    // bytes to drop from the front of the input
        std::string_view body;  // BodyPiece: a view into the input
    };
    // Every error ends the connection. Status 0: close without a reply (a limit on lines was
    // passed, and what follows cannot be told apart from a request).
    struct Error {
        int status = 0;
        std::string detail;  // 400: what was wrong; 501: the refused coding
    };

    // `maximumBodySize`: 0 for no limit.
    explicit HTTPRequestReader(uint64_t maximumBodySize) : maximumBodySize_(maximumBodySize) {}

    // Reads from the front of `input` up to the next event. A body piece is at most `maxPiece`
    // bytes. Input behind a complete request is left for the next one.
    Step read(std::string_view input, size_t maxPiece);

    // After Head: checks how the body is announced, given whether the method takes one. False
    // is an error (400 or 501). For a method without a body the request is then complete.
    bool frameBody(bool expectsBody);
    // After frameBody() for a method with a body: checks its length against the limit (false:
    // 413) and starts reading it; an empty body is complete at once.
    bool startBody();

    // The announced length, or kChunkedBodyLength.
    uint64_t bodyLength() const { return bodyLength_; }
    // Bytes of body data the reader takes next; 0 while it reads lines.
    uint64_t bodyBytesWanted() const;
    // Whether the next bytes belong to the request head.
    bool readingHead() const { return state_ == State::Head; }
    bool complete() const { return state_ == State::Complete; }
    const HTTPMessage& request() const { return request_; }
    const Error& error() const { return error_; }

    // Forgets the request that was answered and expects the next one.
    void nextRequest();

  private:
    enum class State {
        Head,
        Framing,   // head complete, waiting for frameBody()
        Starting,  // waiting for startBody()
        Counted,
        ChunkSize,
        ChunkData,
        ChunkEnd,  // the CRLF after a chunk's bytes
        Footer,    // lines after the last chunk
        Complete,
        Failed,
    };
    enum class LineResult { Found, NeedMore, TooLong };

    Step readLine(std::string_view input);
    Step readHeadLine(std::string_view line, size_t consumed);
    Step readChunkSize(std::string_view line, size_t consumed);
    Step readFooterLine(std::string_view line, size_t consumed);
    Step readBody(std::string_view input, size_t maxPiece, uint64_t remaining);
    Step readChunkEnd(std::string_view input);
    Step fail(int status, std::string detail = {});
    bool refuse(int status, std::string detail = {});
    bool exceedsBodyLimit(uint64_t sofar, uint64_t more) const;

    const uint64_t maximumBodySize_;
    State state_ = State::Head;
    HTTPMessage request_;
    int numHeaderLines_ = 0;
    uint64_t bodyLength_ = 0;
    uint64_t bodyReceived_ = 0;  // of a counted body
    uint64_t chunkSize_ = 0;
    uint64_t chunkReceived_ = 0;
    uint64_t chunkedBodySize_ = 0;  // the chunk sizes announced so far
    Error error_;
};

}  // namespace vtr
