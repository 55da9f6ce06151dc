#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/VTRDispatch.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

TEST(VTRSerialQueueTest, RunsWorkOneAtATimeInSubmissionOrder) {
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    {
        VTRSerialQueue queue("test.serial");
        std::vector<std::thread> submitters;
        std::mutex submitMutex;  // one global order of submission across the threads
        int next = 0;
        for (int t = 0; t < 4; ++t)
            submitters.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    std::lock_guard lock(submitMutex);
                    int n = next++;
                    queue.async([&, n] {
                        int now = ++inside;
                        int seen = mostInside.load();
                        while (now > seen && !mostInside.compare_exchange_weak(seen, now)) {
                        }
                        order.push_back(n);
                        --inside;
                    });
                }
            });
        for (auto& s : submitters) s.join();
    }  // the destructor runs everything still queued before it returns
    ASSERT_EQ(order.size(), 800u);
    for (int i = 0; i < 800; ++i) ASSERT_EQ(order[i], i);
    EXPECT_EQ(mostInside.load(), 1);
}

TEST(VTRSerialQueueTest, SyncWaitsForTheWorkAndRunsInlineOnTheQueueItself) {
    VTRSerialQueue queue("test.sync");
    EXPECT_EQ(queue.name(), "test.sync");
    EXPECT_FALSE(queue.isCurrent());
    bool ranOnQueue = false;
    bool nestedRan = false;
    queue.sync([&] {
        ranOnQueue = queue.isCurrent();
        // Waiting on itself would deadlock; it must run at once instead.
        queue.sync([&] { nestedRan = true; });
    });
    EXPECT_TRUE(ranOnQueue);  // visible without further waiting: sync returned after the work
    EXPECT_TRUE(nestedRan);

    std::vector<int> order;
    queue.async([&] { order.push_back(1); });
    queue.sync([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

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
