// A whole upload through the built daemon and the fake recording service: an empty, a tiny and
// a large file arrive with identical bytes and are closed. Pause, restart, the limit of parallel
// uploads and failures are the job service's tests' (pause and resume also the client's).
#include <gtest/gtest.h>

#include <map>

#include "EndToEndFixture.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;
constexpr size_t MiB = 1024 * 1024;

TEST_F(EndToEndTest, JobOfEmptyTinyAndLargeFilesCompletesWithIdenticalBytes) {
    std::string empty = recording("empty.bin", 0);
    std::string tiny = recording("tiny.bin", 1);
    std::string large = recording("large.mov", 30 * MiB);
    ASSERT_EQ(
        daemon_->putJob(jobJSON("three", service_->url(), "s-three",
                                {{empty, "empty.bin"}, {tiny, "tiny.bin"}, {large, "large.mov"}})),
        201);

    nlohmann::json job;
    ASSERT_TRUE(daemon_->waitForState("three", "completed", 5min, &job)) << job.dump(2);
    EXPECT_TRUE(job["error"].is_null()) << job.dump(2);
    EXPECT_EQ(job.value("error_type", ""), "none");
    ASSERT_EQ(job["file_list"].size(), 3u);
    std::map<std::string, uint64_t> sizes{{empty, 0}, {tiny, 1}, {large, 30 * MiB}};
    for (const auto& file : job["file_list"]) {
        std::string local = file.value("local_path", "");
        ASSERT_EQ(sizes.count(local), 1u) << local;
        EXPECT_TRUE(file.value("closed", false)) << local;
        EXPECT_EQ(file.value("total_bytes", uint64_t{1}), sizes[local]) << local;
        EXPECT_EQ(file.value("bytes_uploaded", uint64_t{1}), sizes[local]) << local;
    }
    expectStoredCopy("s-three", "empty.bin", empty);
    expectStoredCopy("s-three", "tiny.bin", tiny);
    expectStoredCopy("s-three", "large.mov", large);
    nlohmann::json stored = service_->control("GET", "/control/files");
    ASSERT_TRUE(stored.is_object());
    EXPECT_EQ(stored["files"].size(), 3u);
    for (const auto& file : stored["files"]) EXPECT_TRUE(file.value("closed", false)) << file;
}

}  // namespace
}  // namespace vtr::test
