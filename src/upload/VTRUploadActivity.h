// VTRUploadActivity: what one upload operation is doing right now (its phase, the file in
// progress, its recent transfer rate and the retry it waits on), kept so that a person can see
// why an upload is slow or stuck. The operation's worker thread writes it; any thread may take
// a snapshot. Owned by a std::shared_ptr shared by the operation and its readers. A listener,
// set before the operation starts, hears of every change of phase or retry on the thread that
// made it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vtr {

enum class VTRUploadPhase { ChunkSize, Upload, Verify, Close, WaitingToRetry, WaitingForNetwork };

// "chunk_size", "upload", "verify", "close", "waiting_to_retry", "waiting_for_network".
const char* VTRUploadPhaseName(VTRUploadPhase phase);

// The retry a call waits on: which call, which attempt failed, and why.
struct VTRUploadRetryInfo {
    std::string method;
    uint64_t attempt = 0;
    double nextAttemptInSeconds = 0;
    std::string reason;
};

struct VTRUploadActivitySnapshot {
    VTRUploadPhase phase = VTRUploadPhase::ChunkSize;
    std::optional<std::string> file;
    double bytesPerSecond = 0;
    std::optional<VTRUploadRetryInfo> retry;
};

class VTRUploadActivity {
  public:
    using Clock = std::chrono::steady_clock;
    // The window over which bytesPerSecond is averaged.
    static constexpr double kRateWindowSeconds = 5.0;

    using Listener = std::function<void(const VTRUploadActivitySnapshot& activity)>;

    // Set once, before any other thread uses the activity.
    void setListener(Listener listener) { listener_ = std::move(listener); }

    // A phase of the call sequence; ends any retry the previous call waited on.
    void setPhase(VTRUploadPhase phase);
    // The remote path of the file in progress, or nothing between files.
    void setFile(std::optional<std::string> file);
    // Bytes the server accepted at `now`.
    void addBytes(uint64_t bytes, Clock::time_point now = Clock::now());
    // Attempt `attempt` of `method` failed for `reason`; the next follows after `pauseSeconds`.
    // Until then the phase reads `waitPhase` (WaitingToRetry or WaitingForNetwork); the retry
    // stays visible through the next attempts until the call succeeds or ends.
    void setRetry(VTRUploadPhase waitPhase, std::string method, uint64_t attempt,
                  double pauseSeconds, std::string reason, Clock::time_point now = Clock::now());
    // The call being retried has succeeded or ended.
    void clearRetry();

    VTRUploadActivitySnapshot snapshot(Clock::time_point now = Clock::now()) const;

  private:
    void dropSamplesBefore(Clock::time_point start) const;
    // Tells the listener, outside the lock, when `changed`.
    void notify(bool changed) const;

    Listener listener_;

    mutable std::mutex mutex_;
    VTRUploadPhase phase_ = VTRUploadPhase::ChunkSize;
    std::optional<std::string> file_;
    std::optional<VTRUploadRetryInfo> retry_;
    VTRUploadPhase waitPhase_ = VTRUploadPhase::WaitingToRetry;
    Clock::time_point retryDue_;
    // (time, bytes) of accepted chunks within the rate window.
    mutable std::deque<std::pair<Clock::time_point, uint64_t>> samples_;
};

}  // namespace vtr
