// HTTPResponse: what a connection writes back for one request. The server asks a response for
// its status, headers and length, then reads its body in pieces until it is done.
// A response is used only on the server's connection queue (all hooks run there).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vtr {

// Header fields in the order they are to be written; names compare case-insensitively.
using HTTPHeaderList = std::vector<std::pair<std::string, std::string>>;

class HTTPResponse {
  public:
    virtual ~HTTPResponse() = default;

    virtual uint64_t contentLength() const = 0;
    virtual uint64_t offset() const = 0;
    virtual void setOffset(uint64_t offset) = 0;
    // The next at most `length` body bytes. The view stays valid until the next call on this
    // response or its destruction. An empty view from a response that is not done means "no data
    // yet": the connection then waits for HTTPConnection::responseHasAvailableData().
    virtual std::string_view readDataOfLength(uint64_t length) = 0;
    virtual bool isDone() const = 0;

    // While this answers true the connection writes nothing and waits for
    // HTTPConnection::responseHasAvailableData(); it asks again then. This is how a reply is
    // produced later than the hook that returned it (a delayed or computed-elsewhere reply).
    virtual bool delayResponeHeaders() const { return false; }
    virtual int status() const { return 200; }
    // Added after the server's own headers, replacing any of the same name.
    virtual HTTPHeaderList httpHeaders() const { return {}; }
    // A chunked response sends each non-empty piece as one chunk and ends when isDone().
    virtual bool isChunked() const { return false; }
    // The reply was written completely, or the connection ended before that.
    virtual void connectionDidClose() {}
};

}  // namespace vtr
