// HTTPConfig: what a new connection gets from its server: the server, the document root, the
// shared connection queue and the header time-outs. Immutable once made; read from any thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace vtr {

class HTTPServer;
class HTTPConnectionQueue;

class HTTPConfig {
  public:
    HTTPConfig(HTTPServer* server, std::string documentRoot,
               std::shared_ptr<HTTPConnectionQueue> queue,
               std::chrono::milliseconds headerLineTimeout,
               std::chrono::milliseconds headerWriteTimeout)
        : server_(server),
          documentRoot_(std::move(documentRoot)),
          queue_(std::move(queue)),
          headerLineTimeout_(headerLineTimeout),
          headerWriteTimeout_(headerWriteTimeout) {}

    // Not owned; outlives every connection it made.
    HTTPServer* server() const { return server_; }
    const std::string& documentRoot() const { return documentRoot_; }
    // The serial queue that every connection of the server shares (opaque outside the server).
    const std::shared_ptr<HTTPConnectionQueue>& queue() const { return queue_; }
    // Waiting for each request or header line; writing a header block or an error reply.
    std::chrono::milliseconds headerLineTimeout() const { return headerLineTimeout_; }
    std::chrono::milliseconds headerWriteTimeout() const { return headerWriteTimeout_; }

  private:
    HTTPServer* server_;
    std::string documentRoot_;
    std::shared_ptr<HTTPConnectionQueue> queue_;
    std::chrono::milliseconds headerLineTimeout_;
    std::chrono::milliseconds headerWriteTimeout_;
};

}  // namespace vtr
