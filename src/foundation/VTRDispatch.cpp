#include "foundation/VTRDispatch.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

namespace vtr {

struct VTRSerialQueue::Impl {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> work;
    bool stopping = false;
    std::thread thread;

    void loop() {
        for (;;) {
            std::function<void()> next;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stopping || !work.empty(); });
                if (work.empty()) return;  // stopping, and everything queued has run
                next = std::move(work.front());
                work.pop_front();
            }
            next();
        }
    }
};

VTRSerialQueue::VTRSerialQueue(std::string name)
    : name_(std::move(name)), impl_(std::make_unique<Impl>()) {
    impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
}

VTRSerialQueue::~VTRSerialQueue() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->changed.notify_one();
    impl_->thread.join();
}

void VTRSerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->work.push_back(std::move(work));
    }
    impl_->changed.notify_one();
}

void VTRSerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    async([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        doneChanged.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneChanged.wait(lock, [&] { return done; });
}

bool VTRSerialQueue::isCurrent() const {
    return std::this_thread::get_id() == impl_->thread.get_id();
}

void dispatchGlobal(std::function<void()> work) {
    // Never destroyed: joining the pool from a static destructor would make process exit wait
    // on whatever work is still running.
    static asio::thread_pool* pool = new asio::thread_pool(4);
    asio::post(*pool, std::move(work));
}

}  // namespace vtr
