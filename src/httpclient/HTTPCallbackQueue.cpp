#include "httpclient/HTTPCallbackQueue.h"

#include <utility>

#include "foundation/VTRDispatch.h"
#include "foundation/VTRRunLoop.h"

namespace vtr {

void dispatchOnCallbackQueue(const HTTPCallbackQueue& queue, std::function<void()> work) {
    if (queue) {
        queue(std::move(work));
    } else {
        VTRRunLoop::main().post(std::move(work));
    }
}

HTTPCallbackQueue globalCallbackQueue() {
    return [](std::function<void()> work) { dispatchGlobal(std::move(work)); };
}

}  // namespace vtr
