#include "foundation/VTRDispatch.h"

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

namespace vtr {

void dispatchGlobal(std::function<void()> work) {
    // Never destroyed: joining the pool from a static destructor would make process exit wait
    // on whatever work is still running.
    static asio::thread_pool* pool = new asio::thread_pool(4);
    asio::post(*pool, std::move(work));
}

}  // namespace vtr
