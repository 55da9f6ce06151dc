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

// Restores the process-wide level word when a test ends.
class LevelGuard {
  public:
    explicit LevelGuard(uint32_t level) : saved_(ddLogLevel.load()) { ddLogLevel = level; }
    ~LevelGuard() { ddLogLevel = saved_; }

  private:
    uint32_t saved_;
};

// Holds every message until the test opens the gate; records them in order.
class GatedDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.wait(lock, [&] { return open_; });
        texts_.push_back(message.text);
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

TEST(VTRLogFacade, CallsReturnAtOnceUntilAThousandArePendingAndAnErrorWaitsForDelivery) {
    LevelGuard level(15);
    AttachedGate gate;    // closed: nothing can be delivered
    VTRLogWarn("first");  // taken by the consumer, which then blocks in the destination
    VTRLogInfo("second");
    VTRLogVerbose("third");
    // All three calls returned although none has been delivered.
    ASSERT_TRUE(test::waitUntil([&] { return gate.destination->arrived() == 1; }));
    EXPECT_TRUE(gate.destination->texts().empty());
    EXPECT_EQ(VTRLog::pendingMessageCount(), 2u);

    std::atomic<int> returned{0};
    std::thread producer([&] {
        for (int i = 0; i < 999; ++i) {
            VTRLogInfo("m{}", i);
            ++returned;
        }
    });
    // The call that would make the 1001st pending message waits; the ones before returned.
    EXPECT_TRUE(test::waitUntil([&] { return VTRLog::waitingCallerCount() == 1; }));
    EXPECT_EQ(VTRLog::pendingMessageCount(), 1000u);
    EXPECT_EQ(returned.load(), 998);
    gate.destination->open();
    producer.join();
    EXPECT_EQ(VTRLog::waitingCallerCount(), 0u);
    VTRLogError("error {}", "now");
    // No flush: the error itself is delivered before the call returns, after all issued before.
    auto texts = gate.destination->texts();
    ASSERT_EQ(texts.size(), 1003u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 3),
              (std::vector<std::string>{"first", "second", "third"}));
    for (int i = 0; i < 999; ++i) ASSERT_EQ(texts[3 + i], fmt::format("m{}", i));
    EXPECT_EQ(texts[1002], "error now");
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
