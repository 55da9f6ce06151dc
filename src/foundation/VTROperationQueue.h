// VTROperationQueue: runs operations first in, first out, at most maxConcurrent at once, each on
// a thread of its own. An operation whose dependencies have not finished waits while later ready
// ones start; dependencies are seen finishing in any VTROperationQueue. A cancelled operation
// starts at once, whatever its dependencies. All members may be called from any thread, except
// that an operation must not wait for its own queue. The destructor cancels nothing: it waits
// for every queued and running operation to finish.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VTROperation.h"

namespace vtr {

class VTROperationQueue {
  public:
    VTROperationQueue(std::string name, size_t maxConcurrent);
    ~VTROperationQueue();
    VTROperationQueue(const VTROperationQueue&) = delete;
    VTROperationQueue& operator=(const VTROperationQueue&) = delete;

    void addOperation(std::shared_ptr<VTROperation> operation);
    // Queued and running operations, in the order they were added.
    std::vector<std::shared_ptr<VTROperation>> operations() const;
    size_t operationCount() const;
    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();
    size_t maxConcurrentOperationCount() const { return maxConcurrent_; }

  private:
    // An added operation; `thread` is set once it has started.
    struct Entry {
        std::shared_ptr<VTROperation> operation;
        bool started = false;
        std::thread thread;
    };

    void startReadyOperationsLocked();
    void finished(VTROperation* operation);
    // Lets every live queue except `except` start what has become ready: an operation that
    // finished elsewhere, or one cancelled while it waited for its dependencies.
    static void wakeAll(const VTROperationQueue* except);
    friend class VTROperation;
    std::vector<std::thread> takeFinishedThreadsLocked();

    std::string name_;
    size_t maxConcurrent_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::list<Entry> entries_;  // queued and running, in the order added
    size_t running_ = 0;
    // Threads whose operation has finished, joined outside the lock by the next caller that
    // comes by (an add, a later finish, a wait or the destructor).
    std::vector<std::thread> finishedThreads_;
};

}  // namespace vtr
