#include "httpserver/HTTPDeadline.h"

namespace vtr {

void HTTPDeadline::arm(std::chrono::milliseconds timeout) {
    deadline_ = std::chrono::steady_clock::now() + timeout;
    set_ = true;
    if (running_ && timer_.expiry() <= deadline_) return;
    timer_.expires_at(deadline_);  // cancels a wait in progress, whose handler then ignores it
    wait();
}

void HTTPDeadline::cancel() {
    set_ = false;
    ++generation_;
    running_ = false;
    timer_.cancel();
}

void HTTPDeadline::wait() {
    running_ = true;
    uint64_t generation = ++generation_;
    timer_.async_wait([this, owner = keepAlive_(), generation](const std::error_code& error) {
        if (generation != generation_) return;
        running_ = false;
        if (error || !set_) return;
        if (std::chrono::steady_clock::now() >= deadline_) return expired_();
        timer_.expires_at(deadline_);
        wait();
    });
}

}  // namespace vtr
