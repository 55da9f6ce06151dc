// HTTPServer: listens on one interface and one port and hands every accepted socket to a new
// connection object. The server runs its own network thread; its state lives on the serial
// queue "HTTPServer" and every connection's hooks run on the shared serial queue
// "HTTPConnection". All public members may be called from any thread except those two queues.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/VTRError.h"
#include "httpserver/HTTPConfig.h"
#include "logging/VTRPOSIXError.h"

namespace vtr {

class HTTPConnection;

// Errors of the listening socket. System-call failures are in NSPOSIXErrorDomain with the
// errno as code, the call's text as description and the system's text as failure reason.
inline constexpr const char* HTTPServerSocketErrorDomain = "HTTPServerSocketErrorDomain";
enum HTTPServerSocketErrorCode : int64_t {
    HTTPServerSocketBadParamError = 1,  // an interface that cannot be resolved
};

class HTTPServer {
  public:
    using ConnectionFactory = std::function<std::shared_ptr<HTTPConnection>(const HTTPConfig&)>;

    HTTPServer();
    // Stops the server and ends every connection.
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Setters take effect on the server queue without waiting; a later start() sees them.
    // "lo0" (or "localhost", "loopback") means 127.0.0.1 and ::1 on one port (IPv4 alone when
    // ::1 is unavailable); an IPv4/IPv6 address or another interface name resolves through
    // getifaddrs; empty means all interfaces.
    void setInterface(std::string interfaceName);
    // 0 (the default) lets the system choose.
    void setPort(uint16_t port);
    // Makes the connection objects; defaults to plain HTTPConnection.
    void setConnectionClass(ConnectionFactory factory);
    // For connections accepted afterwards. Default 30 s each. The line time-out also bounds
    // the time a whole request body takes to arrive.
    void setHeaderLineTimeout(std::chrono::milliseconds timeout);
    void setHeaderWriteTimeout(std::chrono::milliseconds timeout);
    // For connections accepted afterwards. Default: every limit off.
    void setLimits(HTTPServerLimits limits);

    std::string interface() const;
    uint16_t port() const;

    // Opens the listening socket(s) and starts accepting. False with `error` set on failure
    // (also when already running).
    bool start(VTRError* error = nullptr);
    // Stops listening and ends every connection; waits until they are gone.
    void stop();
    bool isRunning() const;
    // The bound port while running, else 0.
    uint16_t listeningPort() const;
    size_t numberOfHTTPConnections() const;

  private:
    friend class HTTPConnection;
    struct Impl;

    // A connection has ended ("HTTPConnectionDidDie"); called on the connection queue.
    void connectionDidDie(HTTPConnection* connection);

    std::unique_ptr<Impl> impl_;
};

}  // namespace vtr
