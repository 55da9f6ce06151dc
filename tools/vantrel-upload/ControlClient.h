// ControlClient: carries requests to the daemon's control API on 127.0.0.1, one at a time,
// over one kept-alive connection (libcurl's easy interface). Use from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vtr::cli {

class ControlClient {
  public:
    struct Reply {
        // False when no HTTP answer arrived; `failure` then says why.
        bool answered = false;
        // True when nothing listens at the port: the daemon has gone away.
        bool connectionRefused = false;
        int status = 0;
        std::string body;
        std::string failure;
    };

    explicit ControlClient(uint16_t port,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    uint16_t port() const { return port_; }

    // `path` is sent as it is (the daemon does not percent-decode). A PUT or POST always
    // carries a Content-Length, also for an empty body, since the daemon insists on one.
    Reply send(std::string_view method, const std::string& path, const std::string& body = {});

    // GET `path` as a stream that does not end by itself: each piece of a 200 reply's body goes
    // to `onData` as it arrives (any other reply's body goes to the reply), until `onData`
    // returns false, the daemon closes, or nothing arrives for `idleTimeout`. Stopped by
    // `onData`, the reply counts as answered.
    Reply stream(const std::string& path, const std::function<bool(std::string_view)>& onData,
                 std::chrono::milliseconds idleTimeout = std::chrono::seconds(60));

  private:
    // Resets the handle for a request to `url`; nullptr when there is none.
    void* prepare(const std::string& url, char* errorText);

    struct CurlHandleDeleter {
        void operator()(void* handle) const;
    };

    uint16_t port_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<void, CurlHandleDeleter> handle_;
};

// "405 Method Not Allowed" for 405: the status with its usual reason phrase.
std::string describeHTTPStatus(int status);

}  // namespace vtr::cli
