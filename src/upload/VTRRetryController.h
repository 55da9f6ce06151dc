// VTRRetryController: runs one remote call again and again, with a growing pause between
// attempts, until it succeeds or its retry budget is spent, then reports the outcome once.
// One controller is shared by every upload operation, each calling from its own worker thread:
// a call's pause and attempt count live in the call. Configure it before sharing it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/VTRError.h"

namespace vtr {

class VTRMetrics;

class VTRRetryController {
  public:
    // True when the call succeeded and no further attempt is wanted.
    using Action = std::function<bool()>;
    // Called once with the last attempt's result.
    using Finally = std::function<void(bool)>;
    // A uniformly distributed unsigned 32-bit number. Called from several threads at once.
    using RandomSource = std::function<uint32_t()>;
    // Waits `seconds`; returns false when a cancel of the calling operation cut the wait short.
    using PauseFunction = std::function<bool(double seconds)>;
    // Where the controller's messages go.
    using ConsoleLog = std::function<void(const std::string& text)>;

    // An attempt that failed and is followed by another after `pauseSeconds`.
    struct FailedAttempt {
        std::string method;
        uint64_t number = 0;  // 1 for the first attempt
        double pauseSeconds = 0;
        std::optional<VTRError> error;  // why it failed, when the caller knew
        std::string reason;             // the text logged for it
    };
    // One call's link to its caller, so that a stuck call can say why it waits. Lives in the
    // call, on the calling thread: nothing is shared between the operations using a controller.
    struct CallObserver {
        // The error of the attempt just made, asked after every failed attempt.
        std::function<std::optional<VTRError>()> lastError;
        // Told of each failed attempt that another follows, before the pause.
        std::function<void(const FailedAttempt&)> retrying;
    };

    static constexpr double kFirstPause = 4.0;
    static constexpr double kPauseCeiling = 600.0;
    static constexpr double kJitter = 0.2;
    static constexpr double kRandomScale = 4294967295.0;
    static constexpr uint64_t kDefaultRetries = 5;
    static constexpr double kDefaultMaxDelay = 70.2;

    explicit VTRRetryController(bool shouldSleep = true, bool quiet = false);

    // Runs `action` at most maxRetries + 1 times on the calling thread, stopping at its first
    // true, with a pause before every attempt but the first; then calls `finally` with the last
    // result before returning. When the calling VTROperation is cancelled, no further attempt
    // is made: a worker must not stay blocked for minutes on behalf of a job nobody wants.
    // Every failed attempt is logged as a warning with its number, the pause that follows and
    // the reason `observer` gives.
    void retryCallNamed(const std::string& name, uint64_t maxRetries, const Action& action,
                        const Finally& finally, const CallObserver& observer = {});
    void retryCallNamed(const std::string& name, const Action& action, const Finally& finally);

    // The wait before re-queueing jobs after a network failure: savedMaxDelay, first set to
    // 70.2 s when it is below 0.0001.
    double maxDelay();

    bool shouldSleep() const { return shouldSleep_; }
    void setShouldSleep(bool shouldSleep) { shouldSleep_ = shouldSleep; }
    bool quiet() const { return quiet_; }
    void setQuiet(bool quiet) { quiet_ = quiet; }
    double savedMaxDelay() const { return savedMaxDelay_.load(); }
    void setSavedMaxDelay(double seconds) { savedMaxDelay_.store(seconds); }

    // Test seams. Defaults: a per-thread Mersenne Twister seeded from std::random_device; 4 s;
    // a wait that the calling VTROperation's cancel ends at once (a plain sleep elsewhere); the
    // console log.
    void setRandomSource(RandomSource source) { randomSource_ = std::move(source); }
    void setFirstPause(double seconds) { firstPause_ = seconds; }
    double firstPause() const { return firstPause_; }
    void setPauseFunction(PauseFunction pause) { pause_ = std::move(pause); }
    void setConsoleLog(ConsoleLog log) { consoleLog_ = std::move(log); }
    // Where every attempt made again is counted by the call's name.
    void setMetrics(std::shared_ptr<VTRMetrics> metrics) { metrics_ = std::move(metrics); }

    // The pause that follows `pause` given the random draw `u`: doubled unless doubling would
    // pass the ceiling, plus up to +/- 0.2 s of jitter.
    static double nextPause(double pause, uint32_t u);

    // The text a failed attempt is logged with: the error's description, followed by its
    // failure reason (for a transport error, the transport's own words) when it has one.
    static std::string failureText(const VTRError& error);

  private:
    uint32_t drawRandom() const;
    bool pauseFor(double seconds) const;
    void log(const std::string& text) const;

    bool shouldSleep_;
    bool quiet_;
    std::atomic<double> savedMaxDelay_{0.0};
    double firstPause_ = kFirstPause;
    RandomSource randomSource_;
    PauseFunction pause_;
    ConsoleLog consoleLog_;
    std::shared_ptr<VTRMetrics> metrics_;
};

}  // namespace vtr
