// The shared global queue: dispatchGlobal() runs work on the process-wide pool. Any thread may
// use it.
#pragma once

#include <functional>

namespace vtr {

// Runs `work` on the shared global pool.
void dispatchGlobal(std::function<void()> work);

}  // namespace vtr
