// The daemon killed in the middle of an upload: the job resumes where it was and ends with
// identical bytes. This is also the end-to-end case of a whole upload; empty and one-byte
// files are the upload operation's tests'. (A recording service that is gone for a while is
// the job service's test.)
#include <gtest/gtest.h>

#include <random>

#include "EndToEndFixture.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;

constexpr size_t MiB = 1024 * 1024;

TEST_F(EndToEndTest, SIGKILLAtFiveRandomMomentsLosesNothingAndResumesAboveZero) {
    const uint64_t size = 24 * MiB;
    // Small, slow chunks, so that the daemon can be killed in the middle of the upload.
    ASSERT_TRUE(
        service_->control("POST", "/control/config", {{"chunk_size", 256 * 1024}}).is_object());
    ASSERT_TRUE(
        service_
            ->control(
                "POST", "/control/faults",
                {{"method", "UploadChunk"}, {"action", "delay"}, {"delay_ms", 120}, {"count", 0}})
            .is_object());
    std::string local = root_.file("crash.mov");
    writeFile(local, randomBytes(size, 51));
    ASSERT_EQ(daemon_->putJob(jobJSON("crash", service_->url(), "s-crash", {{local, "crash.mov"}})),
              201);

    const uint32_t seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A random point within the next part of what is left, so five rounds fit in one upload.
        uint64_t now = bytesUploaded(daemon_->job("crash"));
        uint64_t left = size - now;
        uint64_t target =
            now + 1 + std::uniform_int_distribution<uint64_t>(left / 20, left / 6)(random);
        uint64_t seen = 0;
        ASSERT_TRUE(waitUntil(
            [&] {
                seen = bytesUploaded(daemon_->job("crash"));
                return seen >= target;
            },
            3min, 50ms))
            << "no progress to " << target << ", at " << seen;
        ASSERT_LT(seen, size) << "the upload finished before the crash";
        ASSERT_TRUE(daemon_->stop().has_value());
        ASSERT_TRUE(service_->control("DELETE", "/control/calls").is_object());
        ASSERT_TRUE(daemon_->start()) << daemon_->output();

        nlohmann::json job = daemon_->job("crash");
        ASSERT_TRUE(job.is_object());
        EXPECT_NE(job.value("state", ""), "errored") << job.dump(2);
        EXPECT_GE(bytesUploaded(job), seen) << "stored progress went backwards";
        ASSERT_TRUE(waitUntil([&] { return !service_->calls("UploadChunk").empty(); }, 3min, 50ms))
            << "the job was not queued again after the restart";
        auto first = service_->calls("UploadChunk").front();
        ASSERT_TRUE(first["offset"].is_number());
        EXPECT_GE(first["offset"].get<uint64_t>(), seen) << "resumed below the stored offset";
        EXPECT_GT(first["offset"].get<uint64_t>(), 0u);
    }
    nlohmann::json job;
    waitUntil(
        [&] {
            job = daemon_->job("crash");
            return job.is_object() && (job["state"] == "completed" || job["state"] == "errored");
        },
        5min, 50ms);
    ASSERT_TRUE(job.is_object());
    EXPECT_EQ(job["state"], "completed") << job.dump(2);
    EXPECT_TRUE(job["error"].is_null());
    EXPECT_TRUE(readFile(service_->storedFilePath("s-crash", "crash.mov")) == readFile(local));
}

}  // namespace
}  // namespace vtr::test
