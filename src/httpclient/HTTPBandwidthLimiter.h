// HTTPBandwidthLimiter: one token bucket shared by every request body sent through it, so that
// all uploads together stay under one rate; a lone upload may use all of it. The rate may be
// changed at any time from any thread and applies from then on. The network thread takes
// tokens before it hands body bytes to the socket and, when it gets none, pauses the transfer
// until waitTime() has passed; nothing ever blocks on the bucket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vtr {

class HTTPBandwidthLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    // 0 bytes per second: no limit.
    explicit HTTPBandwidthLimiter(uint64_t bytesPerSecond = 0);
    HTTPBandwidthLimiter(const HTTPBandwidthLimiter&) = delete;
    HTTPBandwidthLimiter& operator=(const HTTPBandwidthLimiter&) = delete;

    void setRate(uint64_t bytesPerSecond);
    uint64_t rate() const;

    // How many of `wanted` bytes may be sent now: all of them without a limit; otherwise what
    // the bucket holds, or 0 when it holds less than a useful piece (then wait waitTime()).
    size_t take(size_t wanted, Clock::time_point now = Clock::now());
    // How long until the bucket holds a useful piece again; zero without a limit.
    Clock::duration waitTime(Clock::time_point now = Clock::now());

  private:
    // Adds the tokens earned since the last refill, up to the bucket's capacity. Needs mutex_.
    void refill(Clock::time_point now);
    // The smallest piece worth sending: small pieces cost a system call each. Needs mutex_.
    double pieceSize() const;

    mutable std::mutex mutex_;
    uint64_t rate_;
    double tokens_ = 0;
    Clock::time_point refilled_ = Clock::now();
};

}  // namespace vtr
