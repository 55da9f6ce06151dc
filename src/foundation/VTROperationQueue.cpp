#include "foundation/VTROperationQueue.h"

#include <algorithm>
#include <set>

namespace vtr {

namespace {

// Every live queue, so that an operation finishing in one queue can start operations that
// depend on it in another.
struct QueueRegistry {
    std::mutex mutex;
    std::set<VTROperationQueue*> queues;
};

QueueRegistry& registry() {
    static QueueRegistry* shared = new QueueRegistry;
    return *shared;
}

void joinAll(std::vector<std::thread>& threads) {
    for (auto& thread : threads) thread.join();
}

}  // namespace

VTROperationQueue::VTROperationQueue(std::string name, size_t maxConcurrent)
    : name_(std::move(name)), maxConcurrent_(std::max<size_t>(maxConcurrent, 1)) {
    std::lock_guard lock(registry().mutex);
    registry().queues.insert(this);
}

VTROperationQueue::~VTROperationQueue() {
    waitUntilAllOperationsAreFinished();
    {
        std::lock_guard lock(registry().mutex);
        registry().queues.erase(this);
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads = takeFinishedThreadsLocked();
    }
    joinAll(threads);
}

void VTROperationQueue::addOperation(std::shared_ptr<VTROperation> operation) {
    if (!operation || operation->isExecuting() || operation->isFinished()) return;
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : entries_)
            if (entry.operation == operation) return;
        entries_.emplace_back().operation = std::move(operation);
        startReadyOperationsLocked();
        threads = takeFinishedThreadsLocked();
    }
    joinAll(threads);
}

std::vector<std::shared_ptr<VTROperation>> VTROperationQueue::operations() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<VTROperation>> operations;
    for (const auto& entry : entries_) operations.push_back(entry.operation);
    return operations;
}

size_t VTROperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void VTROperationQueue::cancelAllOperations() {
    // cancel() is virtual and may do real work (abort a request), so it runs without the lock.
    for (const auto& operation : operations()) operation->cancel();
    std::lock_guard lock(mutex_);
    startReadyOperationsLocked();
}

void VTROperationQueue::waitUntilAllOperationsAreFinished() {
    std::vector<std::thread> threads;
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return entries_.empty(); });
        threads = takeFinishedThreadsLocked();
    }
    joinAll(threads);
}

void VTROperationQueue::startReadyOperationsLocked() {
    for (auto& entry : entries_) {
        if (running_ >= maxConcurrent_) return;
        if (entry.started || !entry.operation->isReady()) continue;
        entry.started = true;
        ++running_;
        // The new thread cannot reach finished() before this lock is released, so its entry
        // holds the thread handle by then.
        entry.thread = std::thread([this, operation = entry.operation] {
            operation->start();
            finished(operation.get());
        });
    }
}

void VTROperationQueue::finished(VTROperation* operation) {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        // Threads that finished earlier are joined here, ours is left for a later caller:
        // each thread joins only threads that got here before it, so no two join each other.
        threads = takeFinishedThreadsLocked();
        auto entry = std::find_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return e.operation.get() == operation; });
        finishedThreads_.push_back(std::move(entry->thread));
        entries_.erase(entry);
        --running_;
        startReadyOperationsLocked();
        if (entries_.empty()) idle_.notify_all();
    }
    joinAll(threads);
    wakeAll(this);
}

void VTROperationQueue::wakeAll(const VTROperationQueue* except) {
    std::lock_guard registryLock(registry().mutex);
    for (VTROperationQueue* queue : registry().queues) {
        if (queue == except) continue;
        std::lock_guard lock(queue->mutex_);
        queue->startReadyOperationsLocked();
    }
}

std::vector<std::thread> VTROperationQueue::takeFinishedThreadsLocked() {
    std::vector<std::thread> threads;
    threads.swap(finishedThreads_);
    return threads;
}

}  // namespace vtr
