#include "foundation/VTROperation.h"

#include "foundation/VTROperationQueue.h"

namespace vtr {

namespace {
thread_local VTROperation* currentOperation = nullptr;
}

void VTROperation::cancel() {
    cancelled_.store(true);
    // Taking the lock orders the mark before a waiter's check, so no wake-up is lost.
    { std::lock_guard lock(mutex_); }
    wake_.notify_all();
    // A cancelled operation is ready whatever its dependencies, so a queue holding it back may
    // now start it.
    VTROperationQueue::wakeAll(nullptr);
}

void VTROperation::addDependency(std::shared_ptr<VTROperation> dependency) {
    if (!dependency || dependency.get() == this) return;
    std::lock_guard lock(mutex_);
    dependencies_.push_back(std::move(dependency));
}

std::vector<std::shared_ptr<VTROperation>> VTROperation::dependencies() const {
    std::lock_guard lock(mutex_);
    return dependencies_;
}

bool VTROperation::isReady() const {
    // A cancelled operation no longer waits for its dependencies: it must run (and end early)
    // so that its queue sees it finish.
    if (isCancelled()) return true;
    std::lock_guard lock(mutex_);
    for (const auto& dependency : dependencies_)
        if (!dependency->isFinished()) return false;
    return true;
}

bool VTROperation::waitFor(std::chrono::steady_clock::duration duration) {
    using Clock = std::chrono::steady_clock;
    auto now = Clock::now();
    std::unique_lock lock(mutex_);
    if (duration >= Clock::time_point::max() - now)  // too long to add: wait for the cancel
        wake_.wait(lock, [&] { return cancelled_.load(); });
    else
        wake_.wait_until(lock, now + duration, [&] { return cancelled_.load(); });
    return !cancelled_.load();
}

VTROperation* VTROperation::current() {
    return currentOperation;
}

void VTROperation::start() {
    VTROperation* outer = currentOperation;
    currentOperation = this;
    executing_.store(true);
    main();
    executing_.store(false);
    finished_.store(true);
    currentOperation = outer;
}

}  // namespace vtr
