#include "foundation/VTRRunLoop.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace vtr {

// Delayed work sits in one ordered map with a single timer armed for its earliest entry, rather
// than one asio timer per task: asio does not order timers that expire at the same instant,
// and tasks due at the same time must run in the order posted (a multimap keeps ties in
// insertion order).
struct VTRRunLoop::Impl {
    using Clock = std::chrono::steady_clock;
    using Guard = asio::executor_work_guard<asio::io_context::executor_type>;

    asio::io_context context;
    asio::steady_timer timer{context};  // touched only on the loop thread
    std::optional<Guard> guard;
    std::atomic<std::thread::id> runner{};

    std::mutex delayedMutex;
    std::multimap<Clock::time_point, Task> delayed;

    // One run on the calling thread. The work guard keeps an idle loop waiting instead of
    // returning. The loop is made runnable again when a run ends, not when one begins, so a
    // stop() that comes just before run() still ends that run.
    struct RunScope {
        explicit RunScope(Impl& impl) : impl(impl) {
            impl.guard.emplace(impl.context.get_executor());
            impl.runner.store(std::this_thread::get_id());
        }
        ~RunScope() {
            impl.runner.store(std::thread::id());
            impl.guard.reset();
            impl.context.restart();
        }
        Impl& impl;
    };

    void armTimer() {
        std::lock_guard lock(delayedMutex);
        if (delayed.empty()) return;
        timer.expires_at(delayed.begin()->first);
        timer.async_wait([this](const std::error_code& error) {
            if (!error) runDueTasks();
        });
    }

    void runDueTasks() {
        for (;;) {
            Task task;
            {
                std::lock_guard lock(delayedMutex);
                auto first = delayed.begin();
                if (first == delayed.end() || first->first > Clock::now()) break;
                task = std::move(first->second);
                delayed.erase(first);
            }
            task();
        }
        armTimer();
    }
};

VTRRunLoop::VTRRunLoop() : impl_(std::make_unique<Impl>()) {}

VTRRunLoop::~VTRRunLoop() = default;

VTRRunLoop& VTRRunLoop::main() {
    // Never destroyed: other threads may still post to it while the process exits.
    static VTRRunLoop* loop = new VTRRunLoop;
    return *loop;
}

void VTRRunLoop::post(Task task) {
    asio::post(impl_->context, std::move(task));
}

void VTRRunLoop::postAfter(std::chrono::steady_clock::duration delay, Task task) {
    bool earliest;
    {
        std::lock_guard lock(impl_->delayedMutex);
        auto now = Impl::Clock::now();
        // A delay too long to add to now() (a "never" of duration::max()) waits for ever.
        auto due = delay >= Impl::Clock::time_point::max() - now ? Impl::Clock::time_point::max()
                                                                 : now + delay;
        auto entry = impl_->delayed.emplace(due, std::move(task));
        earliest = entry == impl_->delayed.begin();
    }
    // The timer belongs to the loop thread, so re-arming happens there.
    if (earliest) asio::post(impl_->context, [impl = impl_.get()] { impl->armTimer(); });
}

void VTRRunLoop::run() {
    Impl::RunScope scope(*impl_);
    impl_->context.run();
}

void VTRRunLoop::runFor(std::chrono::steady_clock::duration duration) {
    Impl::RunScope scope(*impl_);
    impl_->context.run_for(duration);
}

bool VTRRunLoop::runUntil(const std::function<bool()>& done,
                          std::chrono::steady_clock::duration timeout) {
    Impl::RunScope scope(*impl_);
    auto now = Impl::Clock::now();
    auto deadline = timeout >= Impl::Clock::time_point::max() - now ? Impl::Clock::time_point::max()
                                                                    : now + timeout;
    while (!done()) {
        if (Impl::Clock::now() >= deadline || impl_->context.stopped()) break;
        impl_->context.run_one_until(deadline);
    }
    return done();
}

void VTRRunLoop::stop() {
    impl_->context.stop();
}

bool VTRRunLoop::isMainThread() const {
    return impl_->runner.load() == std::this_thread::get_id();
}

asio::io_context& VTRRunLoop::context() {
    return impl_->context;
}

}  // namespace vtr
