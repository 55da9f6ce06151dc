#include "upload/VTRUploadActivity.h"

#include <algorithm>

namespace vtr {

const char* VTRUploadPhaseName(VTRUploadPhase phase) {
    switch (phase) {
        case VTRUploadPhase::ChunkSize: return "chunk_size";
        case VTRUploadPhase::Upload: return "upload";
        case VTRUploadPhase::Verify: return "verify";
        case VTRUploadPhase::Close: return "close";
        case VTRUploadPhase::WaitingToRetry: return "waiting_to_retry";
        case VTRUploadPhase::WaitingForNetwork: return "waiting_for_network";
    }
    return "upload";
}

void VTRUploadActivity::setPhase(VTRUploadPhase phase) {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = phase_ != phase || retry_.has_value();
        phase_ = phase;
        retry_.reset();
    }
    notify(changed);
}

void VTRUploadActivity::setFile(std::optional<std::string> file) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = std::move(file);
}

void VTRUploadActivity::addBytes(uint64_t bytes, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    samples_.emplace_back(now, bytes);
    dropSamplesBefore(now - std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(kRateWindowSeconds)));
}

void VTRUploadActivity::setRetry(VTRUploadPhase waitPhase, std::string method, uint64_t attempt,
                                 double pauseSeconds, std::string reason, Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waitPhase_ = waitPhase;
        retryDue_ = now + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(std::max(0.0, pauseSeconds)));
        retry_ = VTRUploadRetryInfo{std::move(method), attempt, 0, std::move(reason)};
    }
    notify(true);
}

void VTRUploadActivity::clearRetry() {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = retry_.has_value();
        retry_.reset();
    }
    notify(changed);
}

void VTRUploadActivity::notify(bool changed) const {
    if (changed && listener_) listener_(snapshot());
}

VTRUploadActivitySnapshot VTRUploadActivity::snapshot(Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    VTRUploadActivitySnapshot snapshot;
    snapshot.phase = phase_;
    snapshot.file = file_;
    if (retry_) {
        snapshot.retry = *retry_;
        double left = std::chrono::duration<double>(retryDue_ - now).count();
        snapshot.retry->nextAttemptInSeconds = std::max(0.0, left);
        if (left > 0) snapshot.phase = waitPhase_;
    }
    dropSamplesBefore(now - std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(kRateWindowSeconds)));
    uint64_t bytes = 0;
    for (const auto& sample : samples_) bytes += sample.second;
    snapshot.bytesPerSecond = static_cast<double>(bytes) / kRateWindowSeconds;
    return snapshot;
}

void VTRUploadActivity::dropSamplesBefore(Clock::time_point start) const {
    while (!samples_.empty() && samples_.front().first < start) samples_.pop_front();
}

}  // namespace vtr
