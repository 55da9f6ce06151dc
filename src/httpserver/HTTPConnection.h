// HTTPConnection: one accepted socket. It keeps the socket, the time-outs and the linger before
// a close; an HTTPRequestReader turns its input into requests, whose hooks below it drives in a
// fixed order, and an HTTPResponseWriter turns the response the hooks return into what it
// writes; then it closes or reads the next request (keep-alive). Subclasses override the hooks.
// Every hook and every protected helper runs on the server's connection queue, which all
// connections of one server share: one hook of one connection at a time, never on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "httpserver/HTTPConfig.h"
#include "httpserver/HTTPMessage.h"
#include "httpserver/HTTPRequestReader.h"
#include "httpserver/HTTPResponse.h"

namespace vtr {

class HTTPConnection : public std::enable_shared_from_this<HTTPConnection> {
  public:
    // The announced length of a chunked request body.
    static constexpr uint64_t kChunkedBodyLength = HTTPRequestReader::kChunkedBodyLength;
    static constexpr size_t kBodyReadPieceSize = 131072;

    explicit HTTPConnection(HTTPConfig config);
    virtual ~HTTPConnection();
    HTTPConnection(const HTTPConnection&) = delete;
    HTTPConnection& operator=(const HTTPConnection&) = delete;

    // Hooks, called in this order for each request. `path` and `uri` are the request target as
    // received (path and query), unchanged.
    // Default: true for "GET" and "HEAD". False answers 405 and closes.
    virtual bool supportsMethod(const std::string& method, const std::string& path);
    // Default: true for "POST" and "PUT". A method that expects a body must announce it with
    // Content-Length or chunked Transfer-Encoding, else 400. Transfer-Encoding on any other
    // method answers 400, a transfer coding other than "chunked" 501; both close the connection.
    // The whole body must arrive within the header line time-out, else the connection closes.
    virtual bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path);
    // The announced length, or kChunkedBodyLength. Default: nothing.
    virtual void prepareForBodyWithSize(uint64_t contentLength);
    // One piece of the body (at most kBodyReadPieceSize bytes); the view is valid during the
    // call only. Default: nothing.
    virtual void processBodyData(std::string_view data);
    // The whole body has arrived. Default: nothing.
    virtual void finishBody();
    // The reply; nothing answers 404. Default: nothing.
    virtual std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string& method,
                                                                const std::string& uri);

    const HTTPConfig& config() const { return config_; }
    // The peer's address (text form) and port, fixed at accept time.
    const std::string& remoteAddress() const { return remoteAddress_; }
    uint16_t remotePort() const { return remotePort_; }

  protected:
    // The request being read; complete from the first hook on.
    const HTTPMessage& request() const;

    // Tells the connection that the response it is writing (the one returned by
    // httpResponseForMethod) has data now, or no longer delays its header. Ignored for any
    // other response or after the connection ended.
    void responseHasAvailableData(HTTPResponse* response);

    // Runs `work` on the connection queue after `delay`, unless the connection has ended by
    // then. With responseHasAvailableData() this produces delayed replies.
    void postAfter(std::chrono::steady_clock::duration delay, std::function<void()> work);

    // Closes the socket at once, writing nothing more: the peer sees the connection drop (for
    // injecting faults). The connection then ends as after any disconnect.
    void dropConnection();

  private:
    friend class HTTPServer;
    friend class HTTPStream;
    struct Impl;

    // Takes over an accepted socket (descriptor of address family `family`) and starts reading
    // on the connection queue. Called once, by the server.
    void startWithSocket(int descriptor, int family);
    bool isDead() const;

    HTTPConfig config_;
    std::string remoteAddress_;
    uint16_t remotePort_ = 0;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vtr
