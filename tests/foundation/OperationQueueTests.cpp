#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "foundation/VTROperationQueue.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;

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
    bool sawCancelAtStart() const { return sawCancelAtStart_; }
    bool wasCurrent() const { return wasCurrent_; }

  protected:
    void main() override {
        sawCancelAtStart_ = isCancelled();
        wasCurrent_ = VTROperation::current() == this;
        tracker_.enter(id_);
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return released_ || isCancelled(); });
        tracker_.leave();
    }

  private:
    Tracker& tracker_;
    int id_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::atomic<bool> sawCancelAtStart_{false};
    std::atomic<bool> wasCurrent_{false};
};

// Releases the operations when a test ends early, so the queue's destructor cannot wait forever.
struct ReleaseOnExit {
    std::vector<std::shared_ptr<GatedOperation>>& operations;
    ~ReleaseOnExit() {
        for (auto& operation : operations) operation->cancel();
    }
};

std::vector<std::shared_ptr<GatedOperation>> makeOperations(Tracker& tracker, int count) {
    std::vector<std::shared_ptr<GatedOperation>> operations;
    for (int i = 0; i < count; ++i)
        operations.push_back(std::make_shared<GatedOperation>(tracker, i));
    return operations;
}

TEST(VTROperationQueueTest, NeverRunsMoreThanItsLimitAndStartsQueuedWorkAsSlotsFree) {
    Tracker tracker;
    VTROperationQueue queue("test.limit", 2);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), 2u);
    auto operations = makeOperations(tracker, 6);
    ReleaseOnExit guard{operations};
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

    for (auto& operation : operations) operation->release();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(tracker.mostRunning.load(), 2);
    EXPECT_EQ(queue.operationCount(), 0u);
    for (auto& operation : operations) {
        EXPECT_TRUE(operation->isFinished());
        EXPECT_FALSE(operation->isExecuting());
        EXPECT_TRUE(operation->wasCurrent());
    }
}

TEST(VTROperationQueueTest, ManyShortOperationsStayWithinTheLimit) {
    Tracker tracker;
    std::vector<std::shared_ptr<GatedOperation>> operations;
    {
        VTROperationQueue queue("test.many", 3);
        operations = makeOperations(tracker, 200);
        for (auto& operation : operations) {
            operation->release();  // runs straight through
            queue.addOperation(operation);
        }
    }  // the destructor waits for all of them, running and queued
    EXPECT_EQ(tracker.startOrder().size(), 200u);
    EXPECT_LE(tracker.mostRunning.load(), 3);
    for (auto& operation : operations) EXPECT_TRUE(operation->isFinished());
}

// 0 depends on 2, which is added last, and 3, on another queue, depends on 2 as well; 1 is free.
TEST(VTROperationQueueTest, DependentOperationsWaitWhileLaterReadyOnesStart) {
    Tracker tracker;
    VTROperationQueue queue("test.deps", 2);
    VTROperationQueue other("test.other", 1);
    auto operations = makeOperations(tracker, 4);
    ReleaseOnExit guard{operations};
    operations[0]->addDependency(operations[2]);
    operations[3]->addDependency(operations[2]);
    EXPECT_FALSE(operations[0]->isReady());
    other.addOperation(operations[3]);
    for (int i = 0; i < 3; ++i) queue.addOperation(operations[i]);

    ASSERT_TRUE(test::waitUntil([&] { return tracker.running.load() == 2; }));
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(operations[0]->isExecuting());
    EXPECT_FALSE(operations[3]->isExecuting());

    operations[2]->release();
    ASSERT_TRUE(test::waitUntil([&] { return tracker.startOrder().size() == 4; }));
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(operations[2]->isFinished());
    for (auto& operation : operations) operation->release();
    queue.waitUntilAllOperationsAreFinished();
    other.waitUntilAllOperationsAreFinished();
}

// A cancelled operation still starts, sees the cancel at once and ends early, whether it waited
// for a dependency that never finishes (the queue notices the cancel by itself) or for a slot.
TEST(VTROperationQueueTest, CancelledWaitingOperationsStillStartAndEndEarly) {
    Tracker tracker;
    VTROperationQueue queue("test.cancel", 2);
    auto operations = makeOperations(tracker, 4);
    ReleaseOnExit guard{operations};
    operations[1]->addDependency(std::make_shared<GatedOperation>(tracker, 99));
    queue.addOperation(operations[0]);
    queue.addOperation(operations[1]);
    ASSERT_TRUE(test::waitUntil([&] { return operations[0]->isExecuting(); }));
    EXPECT_FALSE(operations[1]->isExecuting());
    operations[1]->cancel();  // not through the queue
    ASSERT_TRUE(test::waitUntil([&] { return operations[1]->isFinished(); }));
    queue.addOperation(operations[2]);
    queue.addOperation(operations[3]);
    ASSERT_TRUE(test::waitUntil([&] { return operations[2]->isExecuting(); }));
    operations[3]->cancel();
    operations[0]->release();
    operations[2]->release();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(operations[0]->sawCancelAtStart());
    EXPECT_TRUE(operations[1]->sawCancelAtStart());
    EXPECT_TRUE(operations[3]->sawCancelAtStart());
    EXPECT_EQ(tracker.startOrder(), (std::vector<int>{0, 1, 2, 3}));
}

TEST(VTROperationQueueTest, CancelAllEndsRunningAndQueuedWork) {
    Tracker tracker;
    VTROperationQueue queue("test.cancelall", 2);
    auto operations = makeOperations(tracker, 5);
    ReleaseOnExit guard{operations};
    for (auto& operation : operations) queue.addOperation(operation);
    ASSERT_TRUE(test::waitUntil([&] { return tracker.running.load() == 2; }));
    queue.cancelAllOperations();  // nothing is ever released: only the cancel ends them
    queue.waitUntilAllOperationsAreFinished();
    for (auto& operation : operations) {
        EXPECT_TRUE(operation->isCancelled());
        EXPECT_TRUE(operation->isFinished());
    }
    EXPECT_LE(tracker.mostRunning.load(), 2);
}

// Waits for as long as asked, the way retry pauses and polling do.
class WaitingOperation : public VTROperation {
  public:
    explicit WaitingOperation(std::chrono::steady_clock::duration wait) : wait_(wait) {}
    std::atomic<bool> entered{false};
    std::atomic<bool> waitCompleted{false};
    std::atomic<bool> currentDuringWait{false};

  protected:
    void main() override {
        entered = true;
        currentDuringWait = VTROperation::current() == this;
        waitCompleted = waitFor(wait_);
    }

  private:
    std::chrono::steady_clock::duration wait_;
};

TEST(VTROperationWaitTest, WaitRunsItsCourseUnlessCancelledBeforeOrDuringIt) {
    VTROperationQueue queue("test.wait", 3);
    auto endless = std::make_shared<WaitingOperation>(std::chrono::steady_clock::duration::max());
    auto shortWait = std::make_shared<WaitingOperation>(1ms);
    auto alreadyCancelled = std::make_shared<WaitingOperation>(24h);
    alreadyCancelled->cancel();
    for (const auto& operation : {endless, shortWait, alreadyCancelled})
        queue.addOperation(operation);
    ASSERT_TRUE(test::waitUntil([&] { return endless->entered.load(); }));
    EXPECT_EQ(VTROperation::current(), nullptr);  // not inside any operation here
    endless->cancel();
    ASSERT_TRUE(test::waitUntil([&] { return endless->isFinished(); }));
    EXPECT_FALSE(endless->waitCompleted.load());
    EXPECT_TRUE(endless->currentDuringWait.load());
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(shortWait->waitCompleted.load());
    EXPECT_FALSE(alreadyCancelled->waitCompleted.load());
    EXPECT_TRUE(alreadyCancelled->entered.load());
}

}  // namespace
}  // namespace vtr
