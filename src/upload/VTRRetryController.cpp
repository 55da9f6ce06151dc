#include "upload/VTRRetryController.h"

#include <chrono>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "foundation/VTROperation.h"
#include "logging/VTRLog.h"

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
                                        const Action& action, const Finally& finally) {
    double pause = firstPause_;
    uint64_t attempt = 1;
    bool result = false;
    for (;;) {
        if (attempt == 1) {
            if (!quiet_) log(fmt::format("Calling {} on server", name));
        } else {
            bool cancelled = currentOperationIsCancelled();
            if (!cancelled && shouldSleep_) {
                log(fmt::format("Throttle {} {} seconds", name, pause));
                cancelled = !pauseFor(pause);
                pause = nextPause(pause, drawRandom());
            } else if (!cancelled) {
                log("shouldSleep is false, NOT throttling");
            }
            if (cancelled) {
                log(fmt::format("Not retrying {} on server: the operation was cancelled", name));
                break;
            }
            log(fmt::format("Retrying {} on server", name));
        }
        result = action();
        if (attempt > maxRetries) break;
        ++attempt;
        if (result) break;
    }
    finally(result);
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
