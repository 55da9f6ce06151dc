// Crash handling, each case in a child process of its own (death tests): the exit status, the
// log lines and the clean-up, in their order.
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/VTRCrashHandler.h"
#include "logging/VTRLog.h"

namespace vtr {
namespace {

// Writes each message's text to standard error, where the death test looks for it.
class StandardErrorDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override {
        std::string line = message.text + "\n";
        [[maybe_unused]] ssize_t ignored = write(2, line.data(), line.size());
    }
};

void installForTest() {
    VTRLog::addDestination(std::make_shared<StandardErrorDestination>());
    VTRCrashHandler::install(
        [] { [[maybe_unused]] ssize_t ignored = write(2, "locator files removed\n", 22); });
}

[[noreturn]] void waitForTheEnd() {
    for (;;) pause();
}

// Each case crashes in its own child process after the handlers are installed; the exit and
// the standard error are checked, log lines and clean-up in their order.
TEST(CrashHandler, EachEndLogsCleansUpAndExitsWithItsStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        std::string what;
        std::function<void()> crash;
        std::function<bool(int)> ended;
        std::string output;
    };
    std::vector<Case> cases = {
        // Thrown where nothing catches it (the death test itself would).
        {"exception", [] { std::thread([] { throw std::runtime_error("disk on fire"); }).join(); },
         testing::ExitedWithCode(6),
         "EXCEPTION RAISED\nname=std::runtime_error reason=disk on fire userInfo=\\(null\\)\n"
         "BACKTRACE:\n.*SIGNAL RECEIVED: 6\nlocator files removed\n"},
        {"logging silenced",
         [] {
             ddLogLevel.store(0);
             kill(getpid(), SIGTERM);
         },
         testing::ExitedWithCode(15), "^locator files removed\n$"},
        // Other signals keep their default action.
        {"SIGINT", [] { raise(SIGINT); }, testing::KilledBySignal(SIGINT), ""},
    };
    // A termination request comes from outside; the others from the thread itself.
    for (int number : {SIGTERM, SIGABRT, SIGILL, SIGBUS})
        cases.push_back(
            {std::to_string(number),
             [number] { number == SIGTERM ? kill(getpid(), number) : raise(number); },
             testing::ExitedWithCode(number),
             "SIGNAL RECEIVED: " + std::to_string(number) + "\nlocator files removed\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(
            {
                installForTest();
                c.crash();
                waitForTheEnd();
            },
            c.ended, c.output);
    }
}

}  // namespace
}  // namespace vtr
