// HTTPConfig: what a new connection gets from its server: the server, the document root, the
// shared connection queue, the header time-outs and the server's limits. Immutable once made;
// read from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vtr {

class HTTPServer;
class HTTPConnectionQueue;

// Protections for a server that other programs on the machine can reach. All are off by
// default; a server that guards something of value switches them on.
struct HTTPServerLimits {
    // The largest request body (counted or chunked) taken in. A larger one is answered 413 and
    // its connection closed before the body is read. 0: no limit.
    uint64_t maximumRequestBodySize = 0;
    // Connections open at once. A connection beyond them is closed as soon as it is accepted;
    // the others are served on. 0: no limit.
    size_t maximumConnections = 0;
    // Serve only connections whose peer socket belongs to this user id or to root; others are
    // closed as soon as they are accepted, before a byte of them is read. The owner is read from
    // the kernel's socket tables, and only a peer socket listed once, connected and still held
    // by a process proves one: any other connection is refused (see HTTPCheckPeerUser).
    // Nothing: every peer is served.
    std::optional<uint32_t> peerUserID;
    // Where the socket tables "tcp" and "tcp6" are.
    std::string socketTableDirectory = "/proc/net";
};

class HTTPConfig {
  public:
    HTTPConfig(HTTPServer* server, std::shared_ptr<HTTPConnectionQueue> queue,
               std::chrono::milliseconds headerLineTimeout,
               std::chrono::milliseconds headerWriteTimeout, HTTPServerLimits limits = {})
        : server_(server),
          queue_(std::move(queue)),
          headerLineTimeout_(headerLineTimeout),
          headerWriteTimeout_(headerWriteTimeout),
          limits_(std::move(limits)) {}

    // Not owned; outlives every connection it made.
    HTTPServer* server() const { return server_; }
    // The serial queue that every connection of the server shares (opaque outside the server).
    const std::shared_ptr<HTTPConnectionQueue>& queue() const { return queue_; }
    // Waiting for each request or header line, and for a whole request body from the end of
    // its header; writing a header block or an error reply.
    std::chrono::milliseconds headerLineTimeout() const { return headerLineTimeout_; }
    std::chrono::milliseconds headerWriteTimeout() const { return headerWriteTimeout_; }
    const HTTPServerLimits& limits() const { return limits_; }

  private:
    HTTPServer* server_;
    std::shared_ptr<HTTPConnectionQueue> queue_;
    std::chrono::milliseconds headerLineTimeout_;
    std::chrono::milliseconds headerWriteTimeout_;
    HTTPServerLimits limits_;
};

}  // namespace vtr
