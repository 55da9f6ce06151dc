// VTROperation: one unit of work that a VTROperationQueue runs on a worker thread of its own.
// Subclasses implement main(). cancel() may be called from any thread: it only sets the mark and
// wakes waitFor(); main() is expected to notice and end early. An operation cancelled before it
// starts still has its main() run (which then ends early), as the queue must see it finish.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vtr {

class VTROperation : public std::enable_shared_from_this<VTROperation> {
  public:
    VTROperation() = default;
    virtual ~VTROperation() = default;
    VTROperation(const VTROperation&) = delete;
    VTROperation& operator=(const VTROperation&) = delete;

    // Marks the operation cancelled and wakes any waitFor(). Overrides call the base.
    virtual void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    bool isExecuting() const { return executing_.load(); }
    bool isFinished() const { return finished_.load(); }

    // The operation does not start before every dependency has finished.
    void addDependency(std::shared_ptr<VTROperation> dependency);
    std::vector<std::shared_ptr<VTROperation>> dependencies() const;
    bool isReady() const;

    // Sleeps for `duration` unless cancelled first; returns false when cancelled.
    bool waitFor(std::chrono::steady_clock::duration duration);

    // The operation whose main() runs on the calling thread, or nullptr.
    static VTROperation* current();

    // Called by the queue on the worker thread: marks executing, runs main(), marks finished.
    void start();

  protected:
    virtual void main() = 0;

  private:
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<VTROperation>> dependencies_;
};

}  // namespace vtr
