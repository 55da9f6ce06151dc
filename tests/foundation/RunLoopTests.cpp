#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "foundation/VTRRunLoop.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;

TEST(VTRRunLoopTest, DelayedTasksRunInDueOrderOnTheLoopThread) {
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
}

TEST(VTRRunLoopTest, TasksDueAtTheSameInstantRunInPostingOrder) {
    VTRRunLoop loop;
    std::vector<int> order;
    for (int i = 0; i < 50; ++i) loop.postAfter(0ms, [&order, i] { order.push_back(i); });
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 50; }, 10s));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(VTRRunLoopTest, PostedWorkFromManyThreadsRunsInEachThreadsOrder) {
    VTRRunLoop loop;
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) loop.post([&, t, i] { seen[t].push_back(i); });
        });
    int total = 0;
    bool done = loop.runUntil(
        [&] {
            total = 0;
            for (const auto& s : seen) total += static_cast<int>(s.size());
            return total == kThreads * kEach;
        },
        10s);
    for (auto& poster : posters) poster.join();
    ASSERT_TRUE(done) << total;
    for (const auto& s : seen)
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(s[i], i);
}

TEST(VTRRunLoopTest, RunWaitsWhileIdleUntilStoppedAndCanRunAgain) {
    VTRRunLoop loop;
    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    std::thread runner([&] {
        loop.run();
        returned = true;
    });
    // Work posted long after the loop went idle still runs: run() did not return when empty.
    ASSERT_TRUE(test::waitUntil([&] {
        loop.post([&] { ran = true; });
        return ran.load();
    }));
    EXPECT_FALSE(returned.load());
    loop.stop();
    runner.join();
    EXPECT_TRUE(returned.load());

    // After a stop the loop is usable again, including work queued while it was stopped.
    int count = 0;
    loop.post([&] { ++count; });
    loop.postAfter(5ms, [&] { ++count; });
    EXPECT_TRUE(loop.runUntil([&] { return count == 2; }, 10s));
}

TEST(VTRRunLoopTest, StopIssuedBeforeRunStillEndsThatRun) {
    VTRRunLoop loop;
    loop.stop();
    std::atomic<bool> returned{false};
    std::thread runner([&] {
        loop.run();
        returned = true;
    });
    EXPECT_TRUE(test::waitUntil([&] { return returned.load(); }));
    runner.join();
}

TEST(VTRRunLoopTest, StopFromATaskEndsRunAndLeavesLaterWorkQueued) {
    VTRRunLoop loop;
    std::vector<int> order;
    loop.post([&] { order.push_back(1); });
    loop.post([&] { loop.stop(); });
    loop.post([&] { order.push_back(3); });
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1}));
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 2; }, 10s));
    EXPECT_EQ(order.back(), 3);
}

TEST(VTRRunLoopTest, RunUntilGivesUpAtItsDeadline) {
    VTRRunLoop loop;
    bool late = false;
    loop.postAfter(std::chrono::steady_clock::duration::max(), [&] { late = true; });
    loop.postAfter(1h, [&] { late = true; });
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));
    EXPECT_FALSE(late);

    int runs = 0;
    loop.post([&] { ++runs; });
    loop.runFor(20ms);
    EXPECT_EQ(runs, 1);
}

TEST(VTRRunLoopTest, ContextCarriesForeignWorkOnTheLoopThread) {
    VTRRunLoop loop;
    bool onLoop = false;
    asio::post(loop.context(), [&] { onLoop = loop.isMainThread(); });
    EXPECT_TRUE(loop.runUntil([&] { return onLoop; }, 10s));
}

}  // namespace
}  // namespace vtr
