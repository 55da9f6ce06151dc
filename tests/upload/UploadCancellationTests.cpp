// Cancels arriving from another thread while an operation is blocked in a request, a retry pause
// or a polling wait, and several operations sharing one retry controller.
#include <gtest/gtest.h>

#include <atomic>

#include "OperationHarness.h"
#include "foundation/VTROperationQueue.h"

namespace vtr::test {
namespace {

const std::string kTen = "0123456789";

// Every wait below is minutes long: the run can only end in time if the cancel cuts it short.
TEST(UploadCancellationTest, CancelDuringAChunkEndsPromptlyWith83WrappingTheCancelledRequest) {
    OperationHarness h;
    h.useRealPauses(300);
    h.maxUploadRetries = 50000;
    std::shared_ptr<CancellableCall> call = h.cancellable;
    h.script->answerChunk([call](const VTRBytes&, uint64_t, VTRError* error) {
        setError(error, call->block(std::chrono::seconds(300)));
        return std::optional<VTRValue>();
    });
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)});
    ASSERT_TRUE(h.runAndCancelWhen(operation, [&] { return call->waitUntilBlocked(); }));

    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedUpload", "completed"}));
    Report failure = h.delegate.reportsOf("failedUpload").at(0);
    EXPECT_EQ(failure.error->code(), 83);
    ASSERT_NE(failure.error->innerError(), nullptr);
    EXPECT_EQ(failure.error->innerError()->domain(), NSURLErrorDomain);
    EXPECT_EQ(failure.error->innerError()->code(), NSURLErrorCancelled);
    EXPECT_EQ(h.script->callsOf("UploadChunk").size(), 1u);
    EXPECT_TRUE(
        h.logs.contains("VTRFileUploadOperation::uploadFile operation cancelled while "
                        "uploading bytes"));
}

TEST(UploadCancellationTest, CancelDuringARetryPauseMakesNoFurtherAttempt) {
    OperationHarness h;
    h.useRealPauses(300);
    h.maxUploadRetries = 50000;
    std::atomic<int> attempts{0};
    for (int i = 0; i < 3; ++i)
        h.script->answerChunk([&](const VTRBytes&, uint64_t, VTRError* error) {
            ++attempts;
            setError(error, urlError(NSURLErrorNetworkConnectionLost));
            return std::optional<VTRValue>();
        });
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)});
    ASSERT_TRUE(h.runAndCancelWhen(operation, [&] { return attempts.load() == 1; }));
    EXPECT_EQ(attempts.load(), 1);
    Report failure = h.delegate.reportsOf("failedUpload").at(0);
    EXPECT_EQ(failure.error->innerError()->code(), NSURLErrorNetworkConnectionLost);
}

TEST(UploadCancellationTest, CancelDuringClosePollingStopsPolling) {
    OperationHarness h;
    h.pollingInterval = 300;
    std::atomic<int> polls{0};
    for (int i = 0; i < 5; ++i)
        h.script->answerClose([&](VTRError*) {
            ++polls;
            return std::optional<std::string>("Uploading");
        });
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10),
                             makeFileInfo(h.makeFile("b", kTen), "b", 0)});
    ASSERT_TRUE(h.runAndCancelWhen(operation, [&] { return polls.load() == 1; }));
    EXPECT_EQ(polls.load(), 1);
    EXPECT_EQ(h.delegate.kinds(), std::vector<std::string>{"completed"});
    // The second file is not started.
    EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
    EXPECT_TRUE(h.logs.contains(
        "VTRFileUploadOperation::closeFile_block_invoke operation cancelled while closing file"));
}

TEST(UploadCancellationTest, CancelDuringVerifyTimeOutWaitEndsTheRun) {
    OperationHarness h;
    h.pollingInterval = 300;
    std::atomic<int> verifies{0};
    for (int i = 0; i < 5; ++i)
        h.script->answerVerify([&](VTRError* error) {
            ++verifies;
            setError(error, urlError(NSURLErrorTimedOut));
            return false;
        });
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10)});
    ASSERT_TRUE(h.runAndCancelWhen(operation, [&] { return verifies.load() == 1; }));
    EXPECT_EQ(verifies.load(), 1);
    EXPECT_TRUE(h.script->callsOf("TryCloseFile").empty());
}

TEST(UploadCancellationTest, OperationsSharingOneRetryControllerRunSideBySide) {
    // Five operations at once on one controller, each meeting transport errors: every file
    // still arrives whole, and each one's reports stay its own.
    OperationHarness h;
    h.script->defaultChunkSize = 1024;
    constexpr int kJobs = 5;
    std::vector<std::unique_ptr<RecordingDelegate>> delegates;
    std::vector<std::shared_ptr<UploadScript>> scripts;
    std::vector<std::string> contents;
    VTROperationQueue queue("uploads", kJobs);
    for (int i = 0; i < kJobs; ++i) {
        auto script = std::make_shared<UploadScript>();
        script->defaultChunkSize = 1024;
        for (int k = 0; k < 3; ++k) {
            script->answerChunk(correctHash());
            script->answerChunk(chunkError(urlError(NSURLErrorTimedOut)));
        }
        scripts.push_back(script);
        delegates.push_back(std::make_unique<RecordingDelegate>());
        contents.push_back(randomBytes(10 * 1024 + i, 100 + i));
        std::string name = "file" + std::to_string(i);
        std::string path = h.makeFile(name, contents.back());
        queue.addOperation(std::make_shared<VTRFileUploadOperation>(
            "session", "job" + std::to_string(i),
            std::vector<VTRDictionary>{makeFileInfo(path, name, 0)}, 3, 3, 0.001,
            std::make_unique<ScriptedUploadService>(script), h.retry, delegates.back().get(),
            &h.loop));
    }
    bool allCompleted = h.loop.runUntil(
        [&] {
            for (const auto& delegate : delegates)
                if (!delegate->completed()) return false;
            return true;
        },
        std::chrono::seconds(30));
    queue.waitUntilAllOperationsAreFinished();
    ASSERT_TRUE(allCompleted);
    for (int i = 0; i < kJobs; ++i) {
        std::string name = "file" + std::to_string(i);
        EXPECT_EQ(scripts[i]->storedFile(name), contents[i]) << name;
        EXPECT_TRUE(delegates[i]->reportsOf("failedUpload").empty()) << name;
        for (const Report& report : delegates[i]->reports())
            EXPECT_EQ(report.recording, "job" + std::to_string(i));
        EXPECT_EQ(delegates[i]->reportsOf("uploaded").back().bytes, contents[i].size());
    }
    EXPECT_EQ(h.pauses().size(), 3u * kJobs);
}

}  // namespace
}  // namespace vtr::test
