// ConnectProxy: an HTTP proxy for tests that only tunnels: it listens on 127.0.0.1, answers
// "CONNECT 127.0.0.1:<port>" by connecting there and relays bytes both ways until either side
// closes, and counts the tunnels it opened. Anything else is answered 405 and closed. Its
// methods may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vtr::test {

class ConnectProxy {
  public:
    // Fails the current test (and port() is 0) when it cannot listen.
    ConnectProxy();
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>", as a proxy variable wants it.
    std::string url() const;
    size_t tunnels() const { return tunnels_.load(); }

  private:
    void start();
    void acceptLoop();
    void serve(int client);

    int listenFd_ = -1;
    // Written once to wake every thread that waits on a socket when the proxy stops.
    int stopFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<size_t> tunnels_{0};
    std::mutex mutex_;  // guards threads_
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

}  // namespace vtr::test
