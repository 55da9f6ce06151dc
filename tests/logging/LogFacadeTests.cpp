#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "logging/VTRLog.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using namespace std::chrono_literals;

// Restores the process-wide level word when a test ends.
class LevelGuard {
  public:
    explicit LevelGuard(uint32_t level) : saved_(ddLogLevel.load()) { ddLogLevel = level; }
    ~LevelGuard() { ddLogLevel = saved_; }

  private:
    uint32_t saved_;
};

// Holds every message until the test opens the gate; records them in order, and flushes.
class GatedDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        texts_.push_back(message.text);
    }
    void flush() override {
        std::lock_guard lock(mutex_);
        texts_.push_back("<flush>");
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int arrived() {
        std::lock_guard lock(mutex_);
        return arrived_;
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int arrived_ = 0;
    std::vector<std::string> texts_;
};

// Attaches a destination for one test and detaches it, opened, at the end.
struct AttachedGate {
    std::shared_ptr<GatedDestination> destination = std::make_shared<GatedDestination>();
    AttachedGate() { VTRLog::addDestination(destination); }
    ~AttachedGate() {
        destination->open();
        VTRLog::flush();
        VTRLog::removeDestination(destination);
    }
};

TEST(VTRLogFacade, OnlyErrorsWaitForDeliveryAndAllArriveInIssueOrder) {
    LevelGuard level(15);
    AttachedGate gate;  // closed: nothing can be delivered
    VTRLogWarn("first");
    VTRLogInfo("second");
    VTRLogVerbose("third");
    // All three calls returned although none has been delivered.
    ASSERT_TRUE(test::waitUntil([&] { return gate.destination->arrived() == 1; }));
    EXPECT_TRUE(gate.destination->texts().empty());
    gate.destination->open();
    for (int i = 0; i < 300; ++i) VTRLogInfo("info {}", i);
    VTRLogError("error {}", "now");
    // No flush: the error itself is delivered before the call returns, after all issued before.
    auto texts = gate.destination->texts();
    ASSERT_EQ(texts.size(), 304u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 3),
              (std::vector<std::string>{"first", "second", "third"}));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(texts[3 + i], fmt::format("info {}", i));
    EXPECT_EQ(texts[303], "error now");
}

TEST(VTRLogFacade, CallerWaitsForRoomOnceAThousandMessagesArePending) {
    LevelGuard level(15);
    AttachedGate gate;
    VTRLogInfo("held");  // taken by the consumer, which then blocks in the destination
    ASSERT_TRUE(test::waitUntil([&] { return gate.destination->arrived() == 1; }));
    ASSERT_EQ(VTRLog::pendingMessageCount(), 0u);

    std::atomic<int> returned{0};
    std::thread producer([&] {
        for (int i = 0; i < 1001; ++i) {
            VTRLogInfo("m{}", i);
            ++returned;
        }
    });
    // The 1001st call is made and waits; the first thousand returned at once.
    bool blocked = test::waitUntil([&] { return VTRLog::waitingCallerCount() == 1; });
    EXPECT_TRUE(blocked);
    EXPECT_EQ(VTRLog::pendingMessageCount(), 1000u);
    EXPECT_EQ(returned.load(), 1000);

    gate.destination->open();
    producer.join();
    EXPECT_EQ(returned.load(), 1001);
    VTRLog::flush();
    auto texts = gate.destination->texts();
    ASSERT_EQ(texts.size(), 1003u);  // held, m0..m1000, the flush mark
    EXPECT_EQ(texts[0], "held");
    for (int i = 0; i < 1001; ++i) ASSERT_EQ(texts[i + 1], fmt::format("m{}", i));
    EXPECT_EQ(VTRLog::waitingCallerCount(), 0u);
}

// Throws on every message, or logs through the facade from inside the delivery.
class MisbehavingDestination : public VTRLogDestination {
  public:
    explicit MisbehavingDestination(bool throws) : throws_(throws) {}
    void logMessage(const VTRLogMessage& message) override {
        if (throws_) throw std::runtime_error("disk full");
        if (message.text == "trigger") VTRLogError("logged from a destination");
    }

  private:
    bool throws_;
};

// Messages reach the destinations attached at the time; one that throws or that logs from inside
// its delivery stops nothing.
TEST(VTRLogFacade, MessagesReachTheDestinationsAttachedAtTheTimeWhateverTheyDo) {
    LevelGuard level(15);
    VTRLogError("nobody hears this");  // must not block either
    auto kept = std::make_shared<test::CapturingLogDestination>();
    auto removed = std::make_shared<test::CapturingLogDestination>();
    std::vector<std::shared_ptr<VTRLogDestination>> destinations = {
        std::make_shared<MisbehavingDestination>(true),
        std::make_shared<MisbehavingDestination>(false), kept, removed};
    for (const auto& destination : destinations) VTRLog::addDestination(destination);
    VTRLogError("trigger");  // returns although one destination threw and another logs
    // The nested message was issued while "trigger" was being delivered, so before "both".
    VTRLogError("both");
    VTRLog::removeDestination(removed);
    VTRLogError("kept only");
    EXPECT_EQ(kept->texts(), (std::vector<std::string>{"trigger", "logged from a destination",
                                                       "both", "kept only"}));
    EXPECT_EQ(removed->texts(),
              (std::vector<std::string>{"trigger", "logged from a destination", "both"}));
    VTRLog::removeAllDestinations();
    VTRLogError("nobody");
    EXPECT_EQ(kept->texts().size(), 4u);
}

// Writes each message to standard error, for the exit test below.
class StderrDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::string line = message.text + "\n";
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
    }
};

struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { VTRLogError("logged during static destruction"); }
};

TEST(VTRLogFacadeDeathTest, LoggingDuringProcessExitCompletesWithoutHanging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VTRLog::addDestination(std::make_shared<StderrDestination>());
            static LogsWhenDestroyed logsAtExit;
            VTRLogWarn("pending at exit");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "logged during static destruction");
}

}  // namespace
}  // namespace vtr
