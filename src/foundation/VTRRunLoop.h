// VTRRunLoop: the main thread's event loop. Work posted here runs one piece at a time, in the
// order posted (delayed work in the order of its due time), on the thread that called run().
// post(), postAfter(), stop() and isMainThread() may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace vtr {

class VTRRunLoop {
  public:
    using Task = std::function<void()>;

    VTRRunLoop();
    ~VTRRunLoop();
    VTRRunLoop(const VTRRunLoop&) = delete;
    VTRRunLoop& operator=(const VTRRunLoop&) = delete;

    // The process's main run loop.
    static VTRRunLoop& main();

    void post(Task task);
    void postAfter(std::chrono::steady_clock::duration delay, Task task);

    // Runs posted work until stop() is called. The calling thread becomes this loop's thread.
    void run();
    // Runs posted work for at most `duration`, or until stop().
    void runFor(std::chrono::steady_clock::duration duration);
    // Runs until `done()` is true (checked after each piece of work) or the deadline passes;
    // returns done(). For tests and start-up waits.
    bool runUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration timeout);
    void stop();

    // True on the thread currently running this loop.
    bool isMainThread() const;

    // For components (servers, watchers) that put their own descriptors on this loop.
    asio::io_context& context();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vtr
