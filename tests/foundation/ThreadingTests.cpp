// The run loop of the main thread, the global dispatch pool and the operation queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "foundation/VTRDispatch.h"
#include "foundation/VTROperationQueue.h"
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

// ---- the operation queue

// What the operations of one test saw: how many ran at once, and in what order they started.
struct Tracker {
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::mutex mutex;
    std::vector<int> started;

    void enter(int id) {
        std::lock_guard lock(mutex);
        mostRunning = std::max(mostRunning.load(), ++running);
        started.push_back(id);
    }
    void leave() { --running; }
    std::vector<int> startOrder() {
        std::lock_guard lock(mutex);
        return started;
    }
    // Operations started together may record themselves in either order.
    std::vector<int> startedSorted() {
        auto order = startOrder();
        std::sort(order.begin(), order.end());
        return order;
    }
};

// Runs until released by the test, or until cancelled.
class GatedOperation : public VTROperation {
  public:
    GatedOperation(Tracker& tracker, int id) : tracker_(tracker), id_(id) {}

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    void cancel() override {
        VTROperation::cancel();
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    // Keeps running after a cancel, until released.
    std::atomic<bool> holdThroughCancel{false};
    std::atomic<bool> sawCancelAtStart{false};
    std::atomic<bool> wasCurrent{false};

  protected:
    void main() override {
        sawCancelAtStart = isCancelled();
        wasCurrent = VTROperation::current() == this;
        tracker_.enter(id_);
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return released_ || (isCancelled() && !holdThroughCancel); });
        tracker_.leave();
    }

  private:
    Tracker& tracker_;
    int id_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
};

// Releases the operations when a test ends early, so the queue's destructor cannot wait forever.
struct ReleaseOnExit {
    std::vector<std::shared_ptr<GatedOperation>>& operations;
    ~ReleaseOnExit() {
        for (auto& operation : operations) {
            operation->cancel();
            operation->release();
        }
    }
};

std::vector<std::shared_ptr<GatedOperation>> makeOperations(Tracker& tracker, int count) {
    std::vector<std::shared_ptr<GatedOperation>> operations;
    for (int i = 0; i < count; ++i)
        operations.push_back(std::make_shared<GatedOperation>(tracker, i));
    return operations;
}

TEST(VTROperationQueueTest, RunsItsLimitOldestFirstAndCancelAllReachesRunningAndQueuedWork) {
    Tracker tracker;
    VTROperationQueue queue("test.limit", 2);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), 2u);
    auto operations = makeOperations(tracker, 6);
    ReleaseOnExit guard{operations};
    // The two running at the cancel below hold their slots through it, so no queued one can
    // start while the cancel is under way.
    operations[0]->holdThroughCancel = operations[2]->holdThroughCancel = true;
    for (auto& operation : operations) queue.addOperation(operation);
    queue.addOperation(operations[0]);  // already there: not added twice

    ASSERT_TRUE(test::waitUntil([&] { return tracker.running.load() == 2; }));
    EXPECT_EQ(queue.operationCount(), 6u);
    EXPECT_FALSE(operations[2]->isExecuting());
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{0, 1}));

    // Each freed slot goes to the oldest waiting operation.
    operations[1]->release();
    ASSERT_TRUE(test::waitUntil([&] { return tracker.startOrder().size() == 3; }));
    EXPECT_EQ(tracker.startOrder().back(), 2);
    ASSERT_TRUE(test::waitUntil([&] { return operations[1]->isFinished(); }));
    EXPECT_EQ(queue.operationCount(), 5u);

    queue.cancelAllOperations();  // reaches all but the one that has left the queue
    for (int i : {0, 2, 3, 4, 5}) EXPECT_TRUE(operations[i]->isCancelled()) << i;
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{0, 1, 2}));
    operations[0]->release();
    operations[2]->release();
    queue.waitUntilAllOperationsAreFinished();
    // The queued ones still start, one slot at a time, see the cancel at once and end early.
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    for (int i = 3; i < 6; ++i) EXPECT_TRUE(operations[i]->sawCancelAtStart) << i;
    EXPECT_EQ(tracker.mostRunning.load(), 2);
    EXPECT_EQ(queue.operationCount(), 0u);
    for (auto& operation : operations) {
        EXPECT_TRUE(operation->isFinished());
        EXPECT_FALSE(operation->isExecuting());
        EXPECT_TRUE(operation->wasCurrent);
    }
}

// Run under ThreadSanitizer: the list is read while other threads add and finish operations.
TEST(VTROperationQueueTest, OperationsAreListedWhileTheyComeAndGo) {
    Tracker tracker;
    VTROperationQueue queue("test.list", 2);
    auto operations = makeOperations(tracker, 100);
    for (auto& operation : operations) operation->release();  // runs straight through
    std::thread adder([&] {
        for (auto& operation : operations) queue.addOperation(operation);
    });
    while (tracker.startOrder().size() < operations.size()) {
        for (const auto& operation : queue.operations())
            EXPECT_NE(std::find(operations.begin(), operations.end(), operation), operations.end());
    }
    adder.join();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(queue.operations().empty());
}

}  // namespace
}  // namespace vtr
