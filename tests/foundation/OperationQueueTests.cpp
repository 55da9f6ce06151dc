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
        int now = ++running;
        int seen = mostRunning.load();
        while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
        }
        std::lock_guard lock(mutex);
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
    }  // the destructor waits for all of them
    EXPECT_EQ(tracker.startOrder().size(), 200u);
    EXPECT_LE(tracker.mostRunning.load(), 3);
    for (auto& operation : operations) EXPECT_TRUE(operation->isFinished());
}

TEST(VTROperationQueueTest, OperationsListQueuedAndRunningInTheOrderAdded) {
    Tracker tracker;
    VTROperationQueue queue("test.list", 1);
    auto operations = makeOperations(tracker, 3);
    ReleaseOnExit guard{operations};
    for (auto& operation : operations) queue.addOperation(operation);
    queue.addOperation(operations[0]);  // already there: not added twice
    auto listed = queue.operations();
    ASSERT_EQ(listed.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(listed[i], operations[i]);
    // With one slot, each operation starts only after the previous one ended: strict FIFO.
    for (auto& operation : operations) operation->release();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(queue.operations().empty());
    EXPECT_EQ(tracker.startOrder(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(tracker.mostRunning.load(), 1);
}

TEST(VTROperationQueueTest, DependentOperationWaitsWhileLaterReadyOnesStart) {
    Tracker tracker;
    VTROperationQueue queue("test.deps", 2);
    auto operations = makeOperations(tracker, 3);
    ReleaseOnExit guard{operations};
    // 0 depends on 2, which is added last; 1 is free to run.
    operations[0]->addDependency(operations[2]);
    EXPECT_FALSE(operations[0]->isReady());
    for (auto& operation : operations) queue.addOperation(operation);

    ASSERT_TRUE(test::waitUntil([&] { return tracker.running.load() == 2; }));
    EXPECT_EQ(tracker.startedSorted(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(operations[0]->isExecuting());

    operations[2]->release();
    ASSERT_TRUE(test::waitUntil([&] { return tracker.startOrder().size() == 3; }));
    EXPECT_EQ(tracker.startOrder().back(), 0);
    EXPECT_TRUE(operations[2]->isFinished());
    for (auto& operation : operations) operation->release();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(VTROperationQueueTest, DependencyRunByAnotherQueueReleasesTheDependent) {
    Tracker tracker;
    VTROperationQueue first("test.first", 1);
    VTROperationQueue second("test.second", 1);
    auto operations = makeOperations(tracker, 2);
    ReleaseOnExit guard{operations};
    operations[1]->addDependency(operations[0]);
    second.addOperation(operations[1]);
    first.addOperation(operations[0]);
    ASSERT_TRUE(test::waitUntil([&] { return operations[0]->isExecuting(); }));
    EXPECT_FALSE(operations[1]->isExecuting());
    operations[0]->release();
    ASSERT_TRUE(test::waitUntil([&] { return operations[1]->isExecuting(); }));
    operations[1]->release();
    second.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(tracker.startOrder(), (std::vector<int>{0, 1}));
}

TEST(VTROperationQueueTest, OperationCancelledBeforeStartStillRunsAndEndsEarly) {
    Tracker tracker;
    VTROperationQueue queue("test.cancel", 1);
    auto operations = makeOperations(tracker, 3);
    ReleaseOnExit guard{operations};
    // Operation 2 waits on a dependency that never finishes; cancelling it lets it run anyway.
    operations[2]->addDependency(std::make_shared<GatedOperation>(tracker, 99));
    for (auto& operation : operations) queue.addOperation(operation);
    ASSERT_TRUE(test::waitUntil([&] { return operations[0]->isExecuting(); }));

    operations[1]->cancel();
    operations[2]->cancel();
    operations[0]->release();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(operations[0]->sawCancelAtStart());
    EXPECT_TRUE(operations[1]->sawCancelAtStart());
    EXPECT_TRUE(operations[2]->sawCancelAtStart());
    EXPECT_EQ(tracker.startOrder(), (std::vector<int>{0, 1, 2}));
}

TEST(VTROperationQueueTest, CancellingAWaitingOperationDirectlyLetsItsQueueStartIt) {
    Tracker tracker;
    VTROperationQueue queue("test.directcancel", 2);
    auto operations = makeOperations(tracker, 1);
    ReleaseOnExit guard{operations};
    auto neverRun = std::make_shared<GatedOperation>(tracker, 99);
    operations[0]->addDependency(neverRun);
    queue.addOperation(operations[0]);
    EXPECT_FALSE(operations[0]->isExecuting());
    operations[0]->cancel();  // not through the queue: the queue must notice by itself
    EXPECT_TRUE(test::waitUntil([&] { return operations[0]->isFinished(); }));
    EXPECT_TRUE(operations[0]->sawCancelAtStart());
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

TEST(VTROperationWaitTest, CancelEndsAWaitAtOnce) {
    VTROperationQueue queue("test.wait", 1);
    auto operation = std::make_shared<WaitingOperation>(std::chrono::steady_clock::duration::max());
    queue.addOperation(operation);
    ASSERT_TRUE(test::waitUntil([&] { return operation->entered.load(); }));
    EXPECT_EQ(VTROperation::current(), nullptr);  // not inside any operation here
    operation->cancel();
    ASSERT_TRUE(test::waitUntil([&] { return operation->isFinished(); }));
    EXPECT_FALSE(operation->waitCompleted.load());
    EXPECT_TRUE(operation->currentDuringWait.load());
}

TEST(VTROperationWaitTest, UncancelledWaitRunsItsCourseAndCancelBeforeTheWaitReturnsAtOnce) {
    VTROperationQueue queue("test.wait2", 2);
    auto shortWait = std::make_shared<WaitingOperation>(1ms);
    auto alreadyCancelled = std::make_shared<WaitingOperation>(24h);
    alreadyCancelled->cancel();
    queue.addOperation(shortWait);
    queue.addOperation(alreadyCancelled);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(shortWait->waitCompleted.load());
    EXPECT_FALSE(alreadyCancelled->waitCompleted.load());
    EXPECT_TRUE(alreadyCancelled->entered.load());
}

TEST(VTROperationQueueTest, DestructorWaitsForRunningWork) {
    Tracker tracker;
    auto operation = std::make_shared<GatedOperation>(tracker, 0);
    std::thread releaser;
    {
        VTROperationQueue queue("test.destroy", 1);
        queue.addOperation(operation);
        EXPECT_TRUE(test::waitUntil([&] { return operation->isExecuting(); }));
        releaser = std::thread([&] { operation->release(); });
    }
    EXPECT_TRUE(operation->isFinished());
    releaser.join();
}

}  // namespace
}  // namespace vtr
