// HTTPDeadline: the one time-out a connection has pending at a time (a header line, a body, a
// header block being written, the linger). Arming and disarming only move the deadline, which
// the timer checks when it fires, so the common case (a line or a header block that arrives or
// leaves in time) costs no timer operation; the timer is re-aimed only when a deadline comes
// earlier than its current expiry. Included only by the server's own sources (it brings in
// Asio); used on its connection's strand only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <asio/steady_timer.hpp>

#include "httpserver/HTTPConnectionQueue.h"

namespace vtr {

class HTTPDeadline {
  public:
    // `expired` runs on the strand once an armed deadline passes; `keepAlive` gives what must
    // stay alive while the timer waits (the connection).
    HTTPDeadline(const HTTPConnectionQueue::Strand& strand,
                 std::function<std::shared_ptr<void>()> keepAlive, std::function<void()> expired)
        : timer_(strand), keepAlive_(std::move(keepAlive)), expired_(std::move(expired)) {}

    void arm(std::chrono::milliseconds timeout);
    void disarm() { set_ = false; }
    // Ends the wait in progress at once, so that it releases what it keeps alive.
    void cancel();

  private:
    void wait();

    asio::steady_timer timer_;
    std::function<std::shared_ptr<void>()> keepAlive_;
    std::function<void()> expired_;
    uint64_t generation_ = 0;
    bool running_ = false;
    bool set_ = false;
    std::chrono::steady_clock::time_point deadline_;
};

}  // namespace vtr
