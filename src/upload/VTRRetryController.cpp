#include "upload/VTRRetryController.h"

#include <chrono>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "foundation/VTROperation.h"
#include "logging/VTRLog.h"
#include "metrics/VTRMetrics.h"

namespace vtr {

namespace {

bool currentOperationIsCancelled() {
    VTROperation* operation = VTROperation::current();
    return operation && operation->isCancelled();
}

}  // namespace

VTRRetryController::VTRRetryController(bool shouldSleep, bool quiet)
    : shouldSleep_(shouldSleep), quiet_(quiet) {}

void VTRRetryController::retryCallNamed(const std::string& name, const Action& action,
                                        const Finally& finally) {
    retryCallNamed(name, kDefaultRetries, action, finally);
}

void VTRRetryController::retryCallNamed(const std::string& name, uint64_t maxRetries,
                                        const Action& action, const Finally& finally,
                                        const CallObserver& observer) {
    double pause = firstPause_;
    uint64_t attempt = 1;
    if (!quiet_) log(fmt::format("Calling {} on server", name));
    bool result = action();
    while (!result) {
        std::optional<VTRError> error = observer.lastError ? observer.lastError() : std::nullopt;
        std::string reason = error ? failureText(*error) : "no reason given";
        if (attempt > maxRetries) {
            VTRLogWarn("{} attempt {} failed, no attempt left: {}", name, attempt, reason);
            break;
        }
        if (currentOperationIsCancelled()) {
            log(fmt::format("Not retrying {} on server: the operation was cancelled", name));
            break;
        }
        double wait = shouldSleep_ ? pause : 0.0;
        VTRLogWarn("{} attempt {} failed, next attempt in {:.1f} seconds: {}", name, attempt, wait,
                   reason);
        if (observer.retrying) observer.retrying({name, attempt, wait, std::move(error), reason});
        if (shouldSleep_) {
            log(fmt::format("Throttle {} {} seconds", name, pause));
            if (!pauseFor(pause)) {
                log(fmt::format("Not retrying {} on server: the operation was cancelled", name));
                break;
            }
            pause = nextPause(pause, drawRandom());
        } else {
            log("shouldSleep is false, NOT throttling");
        }
        log(fmt::format("Retrying {} on server", name));
        if (metrics_) metrics_->countRetry(name);
        ++attempt;
        result = action();
    }
    finally(result);
}

std::string VTRRetryController::failureText(const VTRError& error) {
    std::string text = error.localizedDescription();
    std::string reason = error.localizedFailureReason();
    if (!reason.empty() && reason != text) text += " (" + reason + ")";
    return text;
}

double VTRRetryController::nextPause(double pause, uint32_t u) {
    double x = 2.0 * (static_cast<double>(u) / kRandomScale) - 1.0;
    double base = 2.0 * pause > kPauseCeiling ? pause : 2.0 * pause;
    return base + kJitter * x;
}

double VTRRetryController::maxDelay() {
    double saved = savedMaxDelay_.load();
    if (saved < 0.0001) {
        savedMaxDelay_.store(kDefaultMaxDelay);
        return kDefaultMaxDelay;
    }
    return saved;
}

uint32_t VTRRetryController::drawRandom() const {
    if (randomSource_) return randomSource_();
    thread_local std::mt19937 engine{std::random_device{}()};
    return static_cast<uint32_t>(engine());
}

bool VTRRetryController::pauseFor(double seconds) const {
    if (pause_) return pause_(seconds);
    auto duration = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    if (VTROperation* operation = VTROperation::current()) return operation->waitFor(duration);
    std::this_thread::sleep_for(duration);
    return true;
}

void VTRRetryController::log(const std::string& text) const {
    if (consoleLog_)
        consoleLog_(text);
    else
        VTRConsoleLogText(text);
}

}  // namespace vtr
