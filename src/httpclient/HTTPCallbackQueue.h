// HTTPCallbackQueue: where a request's completion handlers run. A callable that runs the work
// it is given somewhere else (vtr::dispatchGlobal, a serial queue's async...). An empty one
// stands for the main run loop. Copy freely; call from any thread.
#pragma once

#include <functional>

namespace vtr {

using HTTPCallbackQueue = std::function<void(std::function<void()>)>;

// Runs `work` on `queue`, or on the main run loop when `queue` is empty.
void dispatchOnCallbackQueue(const HTTPCallbackQueue& queue, std::function<void()> work);

// The global concurrent queue as a callback queue.
HTTPCallbackQueue globalCallbackQueue();

}  // namespace vtr
