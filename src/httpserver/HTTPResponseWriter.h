// HTTPResponseWriter: turns the response to one request into what goes on the wire: the header
// block, then the body in pieces, counted or chunked; and says whether the connection closes
// afterwards. It writes nothing itself: the connection sends each batch of pieces it returns.
// The connection that owns it uses it on that connection's strand only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "httpserver/HTTPMessage.h"
#include "httpserver/HTTPResponse.h"

namespace vtr {

class HTTPResponseWriter {
  public:
    static constexpr size_t kBodyPieceSize = 524288;

    // Up to four pieces to send in one system call. Nothing to send and not `last`: the
    // response has no data yet and says so through the connection when it has.
    struct Batch {
        std::array<std::string_view, 4> pieces{};
        size_t first = 0;  // pieces before it are written
        size_t count = 0;
        size_t headerBytes = 0;  // of the bytes not yet written, the first belong to a header
        bool last = false;       // once sent, the response is complete

        // Drops `written` bytes from the front; true when everything is written.
        bool advance(size_t written);
    };

    // The interim reply that asks the client for its body.
    static Batch continueReply();
    // The reply to a request refused before any response was asked for (Content-Length 0).
    Batch errorReply(int status, bool close, std::string_view date);

    // Takes the response for `request`; begin() writes it.
    void setResponse(std::unique_ptr<HTTPResponse> response, const HTTPMessage& request);
    HTTPResponse* response() const { return response_.get(); }
    bool headerSent() const { return headerSent_; }
    // The response asked to wait: sent nothing yet, or its body had no data.
    bool waiting() const { return waiting_; }

    // The header block and the first body piece; nothing while the response delays its header.
    // Calls into the response, which may end the connection meanwhile.
    Batch begin(std::string_view date);
    // The next body piece (and after the last, the end of a chunked body).
    Batch next();
    // Data has come for a response that waited: true when the body goes on with next().
    bool resume();

    // The response is complete (or the connection ended): hands it back for its last call.
    std::unique_ptr<HTTPResponse> finish();
    // Whether the connection closes after the reply to `request` that was just written.
    bool closesConnection(const HTTPMessage& request) const;
    // Forgets the reply that was written.
    void reset();

  private:
    void writeHeader(int status, uint64_t length, HTTPHeaderList fields, std::string_view date);
    Batch nextPiece(Batch batch);

    std::unique_ptr<HTTPResponse> response_;
    bool isHead_ = false;
    bool headerSent_ = false;
    bool waiting_ = false;
    bool chunked_ = false;
    bool close_ = false;
    uint64_t bodyBytes_ = 0;
    std::string headerBlock_;  // reused between replies
    std::string chunkPrefix_;
};

}  // namespace vtr
