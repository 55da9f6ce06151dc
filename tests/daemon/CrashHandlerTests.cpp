// Crash handling, each case in a child process of its own (death tests): the exit status, the
// log lines and the clean-up, in their order.
#include <signal.h>
#include <unistd.h>

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

class CrashHandler : public testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CrashHandler, TermAbortIllAndBusLogCleanUpAndExitWithTheirNumbers) {
    for (int signalNumber : {SIGTERM, SIGABRT, SIGILL, SIGBUS}) {
        EXPECT_EXIT(
            {
                installForTest();
                // A termination request comes from outside; the others from the thread itself.
                if (signalNumber == SIGTERM)
                    kill(getpid(), SIGTERM);
                else
                    raise(signalNumber);
                waitForTheEnd();
            },
            testing::ExitedWithCode(signalNumber),
            "SIGNAL RECEIVED: " + std::to_string(signalNumber) + "\nlocator files removed\n");
    }
}

TEST_F(CrashHandler, UncaughtExceptionIsLoggedThenEndsWithSix) {
    EXPECT_EXIT(
        {
            installForTest();
            // Thrown where nothing catches it (the death test itself would).
            std::thread([] { throw std::runtime_error("disk on fire"); }).join();
        },
        testing::ExitedWithCode(6),
        "EXCEPTION RAISED\nname=std::runtime_error reason=disk on fire userInfo=\\(null\\)\n"
        "BACKTRACE:\n.*SIGNAL RECEIVED: 6\nlocator files removed\n");
}

TEST_F(CrashHandler, CleanUpAndExitHappenEvenWithLoggingSilenced) {
    EXPECT_EXIT(
        {
            installForTest();
            ddLogLevel.store(0);
            kill(getpid(), SIGTERM);
            waitForTheEnd();
        },
        testing::ExitedWithCode(15), "^locator files removed\n$");
}

TEST_F(CrashHandler, OtherSignalsKeepTheirDefaultAction) {
    EXPECT_EXIT(
        {
            installForTest();
            raise(SIGINT);
            waitForTheEnd();
        },
        testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace vtr
