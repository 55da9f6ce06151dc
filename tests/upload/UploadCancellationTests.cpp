// Cancels arriving from another thread while an operation is blocked in a request, a retry pause
// or a polling wait, and several operations sharing one retry controller.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <filesystem>

#include "OperationHarness.h"
#include "foundation/VTROperationQueue.h"

namespace vtr::test {
namespace {

const std::string kTen = "0123456789";

// Every wait below is minutes long: the run can only end in time if the cancel cuts it short.
TEST(UploadCancellationTest, CancelEndsABlockedCallPauseOrPollPromptlyWithNoFurtherCall) {
    using Answer = ScriptedUploadService::Answer;
    struct Case {
        const char* name;
        Method method;                 // cancelled after its first call
        std::optional<Answer> answer;  // every call's; nothing: the chunk waits on a hold
        uint64_t offset;
        std::vector<std::string> kinds;  // reported
        int64_t innerCode = 0;           // of the upload failure reported
    };
    const Answer lost{.error = urlError(NSURLErrorNetworkConnectionLost)};
    // clang-format off
    const Case cases[] = {
        {"in a chunk", Method::UploadChunk, std::nullopt, 0, {"failedUpload", "completed"},
         NSURLErrorCancelled},
        {"in a retry pause", Method::UploadChunk, lost, 0, {"failedUpload", "completed"},
         NSURLErrorNetworkConnectionLost},
        {"between close polls", Method::TryCloseFile, Answer{.value = "Uploading"}, 10,
         {"completed"}},
        {"between verify time-outs", Method::VerifyFile,
         Answer{.error = urlError(NSURLErrorTimedOut)}, 10, {"failedVerify", "completed"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OperationHarness h;
        h.useRealPauses(300);
        h.maxUploadRetries = 50000;
        h.pollingInterval = 300;
        if (c.answer)
            for (int i = 0; i < 5; ++i) h.server.answer(c.method, *c.answer);
        else
            h.server.holdUploadChunk("a", 0);
        auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", c.offset),
                                 makeFileInfo(h.makeFile("b", kTen), "b", 0)});
        ASSERT_TRUE(h.runAndCancelWhen(operation, [&] {
            return c.answer ? h.server.callsOf(c.method).size() == 1 : h.server.heldCalls() == 1;
        }));

        EXPECT_EQ(h.server.callsOf(c.method).size(), 1u);
        EXPECT_EQ(h.delegate.kinds(), c.kinds);
        EXPECT_TRUE(h.server.callsOf(Method::UploadChunk, "b").empty());
        if (c.innerCode) {
            Report failure = h.delegate.reportsOf("failedUpload").at(0);
            EXPECT_EQ(failure.error->code(), 83);
            ASSERT_NE(failure.error->innerError(), nullptr);
            EXPECT_EQ(failure.error->innerError()->domain(), NSURLErrorDomain);
            EXPECT_EQ(failure.error->innerError()->code(), c.innerCode);
        }
    }
}

// The threads of this process now, as the kernel counts them.
size_t threadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

TEST(UploadCancellationTest, CancelDuringTheReadAheadEndsItPromptlyWithNoThreadLeft) {
    // Resumed at 32 GiB of a sparse 64 GiB file: hashing the bytes before the offset alone
    // would outlast the run's deadline many times, so only the cancel can end it in time.
    OperationHarness h;
    h.server.chunkSize = 64 * 1024;
    const uint64_t offset = uint64_t{32} << 30;
    h.server.holdUploadChunk("a", offset);
    std::string path = h.makeFile("a", "");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(2 * offset)), 0);
    // Modified a minute ago: settled enough for the running checksum to be kept.
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    auto operation = h.make({makeFileInfo(path, "a", offset)});
    const size_t threadsBefore = threadCount();
    ASSERT_TRUE(h.runAndCancelWhen(operation, [&] { return h.server.heldCalls() == 1; }));

    EXPECT_EQ(h.server.offsets("a"), std::vector<uint64_t>{offset});
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedUpload", "completed"}));
    EXPECT_TRUE(h.server.callsOf(Method::VerifyFile).empty());
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(UploadCancellationTest, OperationsSharingOneRetryControllerRunSideBySide) {
    // Five operations at once on one controller, each meeting transport errors: every file
    // still arrives whole, and each one's reports stay its own.
    OperationHarness h;
    constexpr int kJobs = 5;
    std::vector<std::unique_ptr<RecordingDelegate>> delegates;
    std::vector<std::unique_ptr<ScriptedUploadService>> servers;
    std::vector<std::string> contents;
    VTROperationQueue queue("uploads", kJobs);
    for (int i = 0; i < kJobs; ++i) {
        servers.push_back(std::make_unique<ScriptedUploadService>(&h.loop));
        servers.back()->chunkSize = 1024;
        for (int k = 0; k < 3; ++k) {
            servers.back()->answer(Method::UploadChunk, {});
            servers.back()->answer(Method::UploadChunk, {.error = urlError(NSURLErrorTimedOut)});
        }
        delegates.push_back(std::make_unique<RecordingDelegate>());
        contents.push_back(randomBytes(10 * 1024 + i, 100 + i));
        std::string name = "file" + std::to_string(i);
        queue.addOperation(std::make_shared<VTRFileUploadOperation>(
            "session", "job" + std::to_string(i),
            std::vector<VTRDictionary>{makeFileInfo(h.makeFile(name, contents.back()), name, 0)}, 3,
            3, 0.001, servers.back()->make(), h.retry, delegates.back().get(), &h.loop));
    }
    bool allCompleted = h.loop.runUntil(
        [&] {
            return std::all_of(delegates.begin(), delegates.end(),
                               [](const auto& delegate) { return delegate->completed(); });
        },
        std::chrono::seconds(30));
    queue.waitUntilAllOperationsAreFinished();
    ASSERT_TRUE(allCompleted);
    for (int i = 0; i < kJobs; ++i) {
        std::string name = "file" + std::to_string(i);
        EXPECT_EQ(servers[i]->received(name), contents[i]) << name;
        EXPECT_TRUE(delegates[i]->reportsOf("failedUpload").empty()) << name;
        for (const Report& report : delegates[i]->reports())
            EXPECT_EQ(report.recording, "job" + std::to_string(i));
        EXPECT_EQ(delegates[i]->reportsOf("uploaded").back().bytes, contents[i].size());
    }
    EXPECT_EQ(h.pauses().size(), 3u * kJobs);
}

}  // namespace
}  // namespace vtr::test
