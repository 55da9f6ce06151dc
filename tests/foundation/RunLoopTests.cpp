// The run loop of the main thread, and the global dispatch pool.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "foundation/VTRDispatch.h"
#include "foundation/VTRRunLoop.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;

TEST(VTRRunLoopTest, TasksRunOnTheLoopThreadInDueOrderAndTiesInPostingOrder) {
    VTRRunLoop loop;
    std::vector<int> order;
    bool allOnLoopThread = true;
    auto record = [&](int n) {
        return [&, n] {
            allOnLoopThread = allOnLoopThread && loop.isMainThread();
            order.push_back(n);
        };
    };
    // Posted out of due order, and from another thread, with ties and an immediate task.
    std::thread poster([&] {
        loop.postAfter(60ms, record(4));
        loop.postAfter(20ms, record(2));
        loop.postAfter(40ms, record(3));
        loop.postAfter(40ms, record(33));
        loop.post(record(1));
    });
    poster.join();
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 5; }, 10s));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 33, 4}));
    EXPECT_TRUE(allOnLoopThread);
    EXPECT_FALSE(loop.isMainThread());  // no longer running here
    order.clear();
    for (int i = 0; i < 50; ++i) loop.postAfter(0ms, record(i));
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 50; }, 10s));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(VTRRunLoopTest, RunWaitsWhileIdleUntilStoppedRunsAgainAndRunUntilGivesUp) {
    VTRRunLoop loop;
    std::atomic<int> runsEnded{0};
    auto runner = [&] {
        loop.run();
        ++runsEnded;
    };
    loop.stop();  // issued before the run, it still ends that run
    std::thread first(runner);
    EXPECT_TRUE(test::waitUntil([&] { return runsEnded.load() == 1; }));
    first.join();

    std::atomic<bool> ran{false};
    std::thread second(runner);
    // Work posted long after the loop went idle still runs: run() did not return when empty.
    ASSERT_TRUE(test::waitUntil([&] {
        loop.post([&] { ran = true; });
        return ran.load();
    }));
    EXPECT_EQ(runsEnded.load(), 1);
    loop.stop();
    second.join();

    // A stop from a task ends the run and leaves later work, even delayed, for the next one.
    std::vector<int> order;
    loop.post([&] { order.push_back(1); });
    loop.post([&] { loop.stop(); });
    loop.post([&] { order.push_back(3); });
    loop.postAfter(5ms, [&] { order.push_back(4); });
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1}));
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 3; }, 10s));
    EXPECT_EQ(order, (std::vector<int>{1, 3, 4}));

    // runUntil gives up at its deadline, leaving what is not yet due; the context runs work
    // posted to it directly.
    bool late = false;
    loop.postAfter(std::chrono::steady_clock::duration::max(), [&] { late = true; });
    loop.postAfter(1h, [&] { late = true; });
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));
    EXPECT_FALSE(late);
    int runs = 0;
    loop.post([&] { ++runs; });
    loop.runFor(20ms);
    EXPECT_EQ(runs, 1);
    bool onLoop = false;
    asio::post(loop.context(), [&] { onLoop = loop.isMainThread(); });
    EXPECT_TRUE(loop.runUntil([&] { return onLoop; }, 10s));
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
