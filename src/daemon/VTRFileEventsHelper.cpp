#include "daemon/VTRFileEventsHelper.h"

#include <sys/inotify.h>

#include <cerrno>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "foundation/VTRRunLoop.h"
#include "logging/VTRLog.h"
#include "logging/VTRPOSIXError.h"

namespace vtr {

struct VTRFileEventsHelper::Watch {
    Watch(asio::io_context& context, int fd) : descriptor(context, fd), timer(context) {}
    asio::posix::stream_descriptor descriptor;  // owns the inotify descriptor
    asio::steady_timer timer;
    bool deliveryPending = false;
};

namespace {

constexpr uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// Reads whatever is queued; only the fact that something happened matters.
void drain(int fd) {
    alignas(struct inotify_event) char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

VTRFileEventsHelper::VTRFileEventsHelper(VTRRunLoop& runLoop,
                                         std::chrono::steady_clock::duration latency)
    : runLoop_(runLoop), latency_(latency) {}

VTRFileEventsHelper::~VTRFileEventsHelper() {
    stopWatching();
}

void VTRFileEventsHelper::startWatchingDirectory(const std::string& path) {
    stopWatching();
    path_ = path;
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        VTRLogWarn("Unable to watch {}: {}", path, posixError(errno).localizedDescription());
        return;
    }
    watch_ = std::make_shared<Watch>(runLoop_.context(), fd);
    if (::inotify_add_watch(fd, path.c_str(), kWatchedEvents) < 0) {
        VTRLogWarn("Unable to watch {}: {}", path, posixError(errno).localizedDescription());
        watch_.reset();
        return;
    }

    waitForEvents(watch_);
}

void VTRFileEventsHelper::waitForEvents(const std::weak_ptr<Watch>& weakWatch) {
    auto watch = weakWatch.lock();
    if (!watch) return;
    watch->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                 [this, weakWatch](const std::error_code& error) {
                                     if (!error) eventsArrived(weakWatch);
                                 });
}

void VTRFileEventsHelper::eventsArrived(const std::weak_ptr<Watch>& weakWatch) {
    auto watch = weakWatch.lock();
    if (!watch) return;
    drain(watch->descriptor.native_handle());
    if (!watch->deliveryPending) {
        watch->deliveryPending = true;
        watch->timer.expires_after(latency_);
        watch->timer.async_wait([this, weakWatch](const std::error_code& error) {
            auto watch = weakWatch.lock();
            if (error || !watch) return;
            watch->deliveryPending = false;
            pathUpdated(path_);
        });
    }
    waitForEvents(weakWatch);
}

void VTRFileEventsHelper::stopWatching() {
    if (!watch_) return;
    watch_.reset();  // closes the descriptor; pending handlers find the watch gone
}

void VTRFileEventsHelper::pathUpdated(const std::string& path) {
    if (delegate_) delegate_->fileEventsHelperUpdateForPath(*this, path);
}

}  // namespace vtr
