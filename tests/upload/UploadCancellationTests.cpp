// Cancels arriving from another thread while an operation is blocked in a request, a retry pause,
// a polling wait or the read-ahead. (Operations sharing one retry controller while they meet
// failures are the job lifecycle tests' case.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>

#include "OperationHarness.h"

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
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(tasks, std::filesystem::directory_iterator()));
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
    ageFile(path);
    auto operation = h.make({makeFileInfo(path, "a", offset)});
    const size_t threadsBefore = threadCount();
    ASSERT_TRUE(h.runAndCancelWhen(operation, [&] { return h.server.heldCalls() == 1; }));

    EXPECT_EQ(h.server.offsets("a"), std::vector<uint64_t>{offset});
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedUpload", "completed"}));
    EXPECT_TRUE(h.server.callsOf(Method::VerifyFile).empty());
    EXPECT_EQ(threadCount(), threadsBefore);
}

}  // namespace
}  // namespace vtr::test
