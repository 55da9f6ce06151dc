#include "daemon/VTRProcessTerminationTracker.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "foundation/VTRRunLoop.h"

namespace vtr {

struct VTRProcessTerminationTracker::Registration {
    Registration(asio::io_context& context, int fd, pid_t pid)
        : descriptor(context, fd), timer(context), pid(pid) {}
    asio::posix::stream_descriptor descriptor;  // owns the pidfd
    asio::steady_timer timer;
    pid_t pid;
};

VTRProcessTerminationTracker::VTRProcessTerminationTracker(
    VTRRunLoop& runLoop, std::chrono::steady_clock::duration delay)
    : runLoop_(runLoop), delay_(delay) {}

VTRProcessTerminationTracker::~VTRProcessTerminationTracker() {
    deregister();
}

void VTRProcessTerminationTracker::registerForPid(pid_t pid) {
    deregister();
    if (pid <= 0) return;
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return;  // no such process: like a failed registration, it stays silent
    registration_ = std::make_shared<Registration>(runLoop_.context(), fd, pid);
    std::weak_ptr<Registration> weakRegistration = registration_;
    // A pidfd becomes readable once the process has exited. The wait is not armed again:
    // each registration reports at most one exit.
    registration_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                         [this, weakRegistration](const std::error_code& error) {
                                             if (!error) exited(weakRegistration);
                                         });
}

void VTRProcessTerminationTracker::exited(const std::weak_ptr<Registration>& weakRegistration) {
    auto registration = weakRegistration.lock();
    if (!registration) return;
    registration->timer.expires_after(delay_);
    registration->timer.async_wait([this, weakRegistration](const std::error_code& error) {
        auto registration = weakRegistration.lock();
        if (error || !registration) return;
        if (delegate_) delegate_->processTerminationTrackerTerminatedPid(*this, registration->pid);
    });
}

void VTRProcessTerminationTracker::deregister() {
    registration_.reset();
}

}  // namespace vtr
