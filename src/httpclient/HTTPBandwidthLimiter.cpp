#include "httpclient/HTTPBandwidthLimiter.h"

#include <algorithm>
#include <cmath>

namespace vtr {

namespace {

// The bucket holds a second's worth (at least one piece): a network thread that a busy machine
// leaves unscheduled for a moment, or a moment in which every upload is between two chunks,
// loses nothing of the rate, while no burst goes past one second's worth.
constexpr double kCapacitySeconds = 1.0;
constexpr double kLargestPiece = 16 * 1024;

}  // namespace

HTTPBandwidthLimiter::HTTPBandwidthLimiter(uint64_t bytesPerSecond) : rate_(bytesPerSecond) {}

void HTTPBandwidthLimiter::setRate(uint64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    Clock::time_point now = Clock::now();
    refill(now);
    rate_ = bytesPerSecond;
    // Tokens earned at the old rate are no licence to burst at the new one.
    tokens_ = std::min(tokens_, pieceSize());
}

uint64_t HTTPBandwidthLimiter::rate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

double HTTPBandwidthLimiter::pieceSize() const {
    return std::clamp(static_cast<double>(rate_) / 50.0, 1.0, kLargestPiece);
}

void HTTPBandwidthLimiter::refill(Clock::time_point now) {
    if (rate_ == 0) {
        tokens_ = 0;
    } else if (now > refilled_) {
        double capacity = std::max(static_cast<double>(rate_) * kCapacitySeconds, pieceSize());
        double earned =
            std::chrono::duration<double>(now - refilled_).count() * static_cast<double>(rate_);
        tokens_ = std::min(capacity, tokens_ + earned);
    }
    refilled_ = std::max(refilled_, now);
}

size_t HTTPBandwidthLimiter::take(size_t wanted, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    refill(now);
    if (rate_ == 0) return wanted;
    double needed = std::min(static_cast<double>(wanted), pieceSize());
    if (tokens_ < needed) return 0;
    size_t granted = std::min(wanted, static_cast<size_t>(std::floor(tokens_)));
    tokens_ -= static_cast<double>(granted);
    return granted;
}

HTTPBandwidthLimiter::Clock::duration HTTPBandwidthLimiter::waitTime(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    refill(now);
    if (rate_ == 0 || tokens_ >= pieceSize()) return Clock::duration::zero();
    double seconds = (pieceSize() - tokens_) / static_cast<double>(rate_);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) +
           Clock::duration(1);
}

}  // namespace vtr
