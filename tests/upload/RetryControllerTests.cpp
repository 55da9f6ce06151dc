#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "upload/VTRRetryController.h"

namespace vtr {
namespace {

// A controller whose pauses and messages are recorded instead of slept and printed.
struct RecordedController {
    VTRRetryController controller;
    std::vector<double> pauses;
    std::vector<std::string> messages;

    explicit RecordedController(bool shouldSleep = true, bool quiet = false)
        : controller(shouldSleep, quiet) {
        controller.setPauseFunction([this](double seconds) {
            pauses.push_back(seconds);
            return true;
        });
        controller.setConsoleLog([this](const std::string& text) { messages.push_back(text); });
    }
};

// Runs `results` in turn as the action's answers (the last one repeats); returns the number of
// calls and stores the final handler's argument.
struct RetryRun {
    int calls = 0;
    int finals = 0;
    bool finalResult = false;
};

RetryRun runSequence(VTRRetryController& controller, uint64_t maxRetries,
                     std::vector<bool> results) {
    RetryRun run;
    controller.retryCallNamed(
        "UploadChunk", maxRetries,
        [&] {
            bool result = results[std::min<size_t>(run.calls, results.size() - 1)];
            ++run.calls;
            return result;
        },
        [&](bool result) {
            ++run.finals;
            run.finalResult = result;
        });
    return run;
}

TEST(RetryControllerTest, PausesDoubleWithJitterUpToTheCeiling) {
    // The largest draw adds +0.2 s per step, the smallest -0.2 s.
    for (uint32_t draw : {UINT32_MAX, 0u}) {
        RecordedController recorded;
        recorded.controller.setRandomSource([draw] { return draw; });
        // A budget of 11 retries: 12 attempts, each failing, and one final report of failure.
        RetryRun run = runSequence(recorded.controller, 11, {false});
        EXPECT_EQ(run.calls, 12);
        EXPECT_EQ(run.finals, 1);
        EXPECT_FALSE(run.finalResult);
        double sign = draw == 0 ? -1.0 : 1.0;
        std::vector<double> expected{4.0};
        for (int i = 0; i < 7; ++i) expected.push_back(expected.back() * 2 + 0.2 * sign);
        // Doubling would now pass 600 s: the pause only drifts by the jitter.
        for (int i = 0; i < 3; ++i) expected.push_back(expected.back() + 0.2 * sign);
        ASSERT_EQ(recorded.pauses.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_NEAR(recorded.pauses[i], expected[i], 1e-9) << "pause " << i;
        // Before attempt 9: 512 s give or take 25.4 s.
        EXPECT_NEAR(recorded.pauses[7], 512.0 + 25.4 * sign, 1e-9);
        // The next call starts again at the first pause, and its first success ends it.
        run = runSequence(recorded.controller, 50000, {false, true, false});
        EXPECT_EQ(run.calls, 2);
        EXPECT_TRUE(run.finalResult);
        EXPECT_DOUBLE_EQ(recorded.pauses.back(), 4.0);
        // Without a budget, one attempt and no pause.
        EXPECT_EQ(runSequence(recorded.controller, 0, {false}).calls, 1);
        EXPECT_EQ(recorded.pauses.size(), expected.size() + 1);
    }
}

TEST(RetryControllerTest, EveryFailedAttemptIsWarnedAndToldToTheCallsObserver) {
    const VTRError transport = VTRError::withDescription(
        NSURLErrorDomain, -1202, "The certificate for this server is invalid.",
        "SSL certificate problem: unable to get local issuer certificate");
    struct Case {
        bool shouldSleep;
        std::vector<bool> answers;
        std::vector<std::optional<VTRError>> errors;  // what the call keeps after each attempt
        std::vector<std::string> warnings;
        std::vector<uint64_t> observedAttempts;
    };
    const std::string certificate =
        "The certificate for this server is invalid. (SSL "
        "certificate problem: unable to get local issuer certificate)";
    const Case cases[] = {
        {true,
         {false, false, true},
         {transport, std::nullopt, std::nullopt},
         {"UploadChunk attempt 1 failed, next attempt in 4.0 seconds: " + certificate,
          "UploadChunk attempt 2 failed, next attempt in 8.2 seconds: no reason given"},
         {1, 2}},
        {false,
         {false},
         {transport, transport, transport},
         {"UploadChunk attempt 1 failed, next attempt in 0.0 seconds: " + certificate,
          "UploadChunk attempt 2 failed, next attempt in 0.0 seconds: " + certificate,
          "UploadChunk attempt 3 failed, no attempt left: " + certificate},
         {1, 2}},
    };
    for (const Case& c : cases) {
        test::ScopedLogCapture capture;
        RecordedController recorded(c.shouldSleep);
        recorded.controller.setRandomSource([] { return UINT32_MAX; });
        size_t calls = 0;
        std::optional<VTRError> lastError;
        std::vector<VTRRetryController::FailedAttempt> observed;
        VTRRetryController::CallObserver observer{
            [&] { return lastError; },
            [&](const VTRRetryController::FailedAttempt& failed) { observed.push_back(failed); }};
        recorded.controller.retryCallNamed(
            "UploadChunk", 2,
            [&] {
                lastError = c.errors[calls];
                return c.answers[std::min(calls++, c.answers.size() - 1)];
            },
            [](bool) {}, observer);

        capture.texts();  // flushes the facade
        std::vector<std::string> warnings;
        for (const VTRLogMessage& message : capture.log().messages())
            if (message.flag == VTRLogFlagWarning) warnings.push_back(message.text);
        EXPECT_EQ(warnings, c.warnings);
        // Without sleeping, the next attempt comes at once.
        EXPECT_EQ(recorded.pauses.size(), c.shouldSleep ? 2u : 0u);
        ASSERT_EQ(observed.size(), c.observedAttempts.size());
        for (size_t i = 0; i < observed.size(); ++i) {
            EXPECT_EQ(observed[i].method, "UploadChunk");
            EXPECT_EQ(observed[i].number, c.observedAttempts[i]);
            EXPECT_DOUBLE_EQ(observed[i].pauseSeconds, c.shouldSleep ? recorded.pauses.at(i) : 0.0);
            EXPECT_EQ(observed[i].error.has_value(), c.errors[i].has_value());
        }
        EXPECT_EQ(observed.at(0).reason, certificate);
    }
}

TEST(RetryControllerTest, MaxDelayDefaultsTo70Point2UntilSet) {
    VTRRetryController controller;
    EXPECT_DOUBLE_EQ(controller.savedMaxDelay(), 0.0);
    EXPECT_DOUBLE_EQ(controller.maxDelay(), 70.2);
    EXPECT_DOUBLE_EQ(controller.savedMaxDelay(), 70.2);
    controller.setSavedMaxDelay(10);
    EXPECT_DOUBLE_EQ(controller.maxDelay(), 10.0);
    controller.setSavedMaxDelay(0.00005);
    EXPECT_DOUBLE_EQ(controller.maxDelay(), 70.2);
}

}  // namespace
}  // namespace vtr
