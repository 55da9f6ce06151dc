// ConnectProxy: an HTTP proxy for tests that only tunnels: it listens on 127.0.0.1, answers
// "CONNECT 127.0.0.1:<port>" by connecting there and relays bytes both ways until either side
// closes, and counts the tunnels it opened. Anything else is closed unanswered. Its methods may
// be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "support/LoopbackServer.h"

namespace vtr::test {

class ConnectProxy {
  public:
    // 0 (with the current test failed) when it cannot listen.
    uint16_t port() const { return server_.port(); }
    // "http://127.0.0.1:<port>", as a proxy variable wants it.
    std::string url() const;
    size_t tunnels() const { return tunnels_.load(); }

  private:
    void serve(int client);

    std::atomic<size_t> tunnels_{0};
    LoopbackServer server_{[this](int client) { serve(client); }};  // last: stops first
};

}  // namespace vtr::test
