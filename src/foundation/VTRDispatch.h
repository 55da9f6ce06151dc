// Serial queues and the shared global queue.
// VTRSerialQueue runs submitted work one piece at a time, in order, on a thread of its own.
// dispatchGlobal() runs work on the process-wide pool (the "global queue"). Both may be used
// from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vtr {

class VTRSerialQueue {
  public:
    explicit VTRSerialQueue(std::string name);
    // Runs the work already queued, then joins the thread.
    ~VTRSerialQueue();
    VTRSerialQueue(const VTRSerialQueue&) = delete;
    VTRSerialQueue& operator=(const VTRSerialQueue&) = delete;

    void async(std::function<void()> work);
    // Runs `work` on the queue and waits for it. Called on the queue itself it runs at once.
    void sync(const std::function<void()>& work);
    bool isCurrent() const;
    const std::string& name() const { return name_; }

  private:
    struct Impl;
    std::string name_;
    std::unique_ptr<Impl> impl_;
};

// Runs `work` on the shared global pool.
void dispatchGlobal(std::function<void()> work);

}  // namespace vtr
