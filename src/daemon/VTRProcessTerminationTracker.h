// VTRProcessTerminationTracker: reports, once and `delay` after the fact, that a watched process
// has exited (pidfd). Create, use and destroy it on the thread that runs its run loop (the main
// thread); the report arrives there too.
#pragma once

#include <chrono>
#include <memory>

#include <sys/types.h>

namespace vtr {

class VTRRunLoop;
class VTRProcessTerminationTracker;

class VTRProcessTerminationTrackerDelegate {
  public:
    virtual ~VTRProcessTerminationTrackerDelegate() = default;
    virtual void processTerminationTrackerTerminatedPid(VTRProcessTerminationTracker& tracker,
                                                        pid_t pid) = 0;
};

class VTRProcessTerminationTracker {
  public:
    static constexpr std::chrono::milliseconds kDefaultDelay{5000};

    explicit VTRProcessTerminationTracker(
        VTRRunLoop& runLoop, std::chrono::steady_clock::duration delay = kDefaultDelay);
    ~VTRProcessTerminationTracker();
    VTRProcessTerminationTracker(const VTRProcessTerminationTracker&) = delete;
    VTRProcessTerminationTracker& operator=(const VTRProcessTerminationTracker&) = delete;

    // Not owned; must outlive the registration or be cleared first.
    void setDelegate(VTRProcessTerminationTrackerDelegate* delegate) { delegate_ = delegate; }
    VTRProcessTerminationTrackerDelegate* delegate() const { return delegate_; }

    // Ends any earlier registration first. A process that does not exist is never reported.
    void registerForPid(pid_t pid);
    // After this nothing is reported, not even an exit already seen and waiting for its delay.
    void deregister();
    bool isRegistered() const { return registration_ != nullptr; }

  private:
    struct Registration;
    void exited(const std::weak_ptr<Registration>& registration);

    VTRRunLoop& runLoop_;
    std::chrono::steady_clock::duration delay_;
    VTRProcessTerminationTrackerDelegate* delegate_ = nullptr;
    // Shared with pending asio handlers, which hold it weakly.
    std::shared_ptr<Registration> registration_;
};

}  // namespace vtr
