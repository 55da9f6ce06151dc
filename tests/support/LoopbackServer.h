// LoopbackServer: the listening half of the tests' relays (ConnectProxy, TLSFront). It listens
// on 127.0.0.1 on a port of its own and serves each connection on a thread of its own; on
// destruction it wakes every thread that waits on stopFd(), shuts the connections down (ending a
// read blocked in a handshake), joins the threads and closes every descriptor. Its methods may
// be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vtr::test {

class LoopbackServer {
  public:
    // `serve` gets each accepted connection, which stays ours: it is closed once serve returns.
    // Fails the current test (and port() is 0) when it cannot listen.
    explicit LoopbackServer(std::function<void(int connection)> serve);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t port() const { return port_; }
    // Readable once the server stops: relays poll it beside their sockets.
    int stopFd() const { return stopFd_; }

  private:
    void start();  // a function of its own, so that its assertions may end it
    void acceptLoop();

    std::function<void(int)> serve_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;  // guards the two below
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

// Sends all `length` bytes unless the peer has gone.
bool sendAll(int fd, const char* data, size_t length);
// A socket connected to 127.0.0.1:`port`, or -1.
int connectToLoopback(uint16_t port);

}  // namespace vtr::test
