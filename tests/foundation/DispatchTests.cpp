#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "foundation/VTRDispatch.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

TEST(VTRDispatchGlobalTest, RunsWorkConcurrentlyOffTheCallingThread) {
    std::atomic<int> done{0};
    std::atomic<bool> offCaller{true};
    auto caller = std::this_thread::get_id();
    // Two pieces that each wait for the other can only finish if they run at the same time.
    std::atomic<int> arrived{0};
    std::atomic<int> metTheOther{0};
    for (int i = 0; i < 2; ++i)
        dispatchGlobal([&] {
            if (std::this_thread::get_id() == caller) offCaller = false;
            ++arrived;
            if (test::waitUntil([&] { return arrived.load() == 2; })) ++metTheOther;
            ++done;
        });
    ASSERT_TRUE(test::waitUntil([&] { return done.load() == 2; }, std::chrono::seconds(30)));
    EXPECT_EQ(metTheOther.load(), 2);
    EXPECT_TRUE(offCaller.load());
}

}  // namespace
}  // namespace vtr
