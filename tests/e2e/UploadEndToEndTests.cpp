// Whole uploads through the built daemon and the fake recording service: completion with
// identical bytes, restart, pause and resume, the limit of five parallel uploads, and a
// permanent failure.
#include <gtest/gtest.h>

#include <map>

#include "EndToEndFixture.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;

constexpr size_t MiB = 1024 * 1024;

int64_t nowUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// True when the UploadChunk calls for `file`, from the last one at offset 0 on, follow each
// other without a gap up to `size` bytes.
bool contiguousFromZero(const std::vector<nlohmann::json>& chunks, const std::string& file,
                        uint64_t size) {
    std::vector<nlohmann::json> mine;
    for (const auto& call : chunks)
        if (call.value("file", "") == file && call.value("status", 0) == 200) mine.push_back(call);
    size_t start = mine.size();
    for (size_t i = 0; i < mine.size(); ++i)
        if (mine[i]["offset"].is_number() && mine[i]["offset"].get<uint64_t>() == 0) start = i;
    if (start == mine.size()) return false;
    uint64_t next = 0;
    for (size_t i = start; i < mine.size(); ++i) {
        if (mine[i]["offset"].get<uint64_t>() != next) return false;
        next += mine[i].value("length", uint64_t{0});
    }
    return next == size;
}

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

TEST_F(EndToEndTest, RestartOfHalfUploadedJobSendsEveryFileFromZero) {
    slowChunks(256 * 1024, 60);
    std::string first = recording("first.mov", 6 * MiB, 11);
    std::string second = recording("second.mov", 1 * MiB + 17, 12);
    nlohmann::json input = jobJSON("again", service_->url(), "s-again",
                                   {{first, "first.mov"}, {second, "second.mov"}});
    ASSERT_EQ(daemon_->putJob(input), 201);
    ASSERT_TRUE(waitForProgress("again", 2 * MiB));

    ASSERT_TRUE(service_->control("DELETE", "/control/calls").is_object());
    input["state"] = "restart";
    ASSERT_EQ(daemon_->putJob(input), 200);

    nlohmann::json job;
    ASSERT_TRUE(daemon_->waitForState("again", "completed", 5min, &job)) << job.dump(2);
    auto chunks = service_->calls("UploadChunk");
    EXPECT_TRUE(contiguousFromZero(chunks, "first.mov", 6 * MiB));
    EXPECT_TRUE(contiguousFromZero(chunks, "second.mov", 1 * MiB + 17));
    expectStoredCopy("s-again", "first.mov", first);
    expectStoredCopy("s-again", "second.mov", second);
}

TEST_F(EndToEndTest, PausedStopsChunksWithinTwoSecondsAndRunningResumesFromStoredOffset) {
    slowChunks(256 * 1024, 100);
    std::string local = recording("paused.mov", 8 * MiB, 21);
    nlohmann::json input = jobJSON("pause", service_->url(), "s-pause", {{local, "paused.mov"}});
    ASSERT_EQ(daemon_->putJob(input), 201);
    ASSERT_TRUE(waitForProgress("pause", 1 * MiB));

    input["state"] = "paused";
    int64_t pausedAt = nowUnixMs();
    ASSERT_EQ(daemon_->putJob(input), 200);
    // Any UploadChunk arriving more than two seconds after the pause is a failure; watch for
    // one over a window well past that.
    auto lateChunk = [&] {
        for (const auto& call : service_->calls("UploadChunk"))
            if (call.value("time_ms", int64_t{0}) > pausedAt + 2000) return true;
        return false;
    };
    EXPECT_FALSE(waitUntil(lateChunk, 4s, 250ms)) << "chunks kept arriving after the pause";

    nlohmann::json paused = daemon_->job("pause");
    EXPECT_EQ(paused.value("state", ""), "paused");
    uint64_t stored = bytesUploaded(paused);
    EXPECT_GT(stored, 0u);
    EXPECT_LT(stored, 8 * MiB);

    ASSERT_TRUE(service_->control("DELETE", "/control/calls").is_object());
    input["state"] = "running";
    ASSERT_EQ(daemon_->putJob(input), 200);
    nlohmann::json job;
    ASSERT_TRUE(daemon_->waitForState("pause", "completed", 5min, &job)) << job.dump(2);
    auto chunks = service_->calls("UploadChunk");
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front()["offset"], stored) << "resumed elsewhere than the stored offset";
    expectStoredCopy("s-pause", "paused.mov", local);
}

TEST_F(EndToEndTest, SixJobsNeverUploadMoreThanFiveAtOnce) {
    slowChunks(256 * 1024, 150);
    std::vector<std::string> locals;
    for (int i = 0; i < 6; ++i) {
        locals.push_back(recording("six" + std::to_string(i) + ".mov", 2 * MiB, 30 + i));
        ASSERT_EQ(
            daemon_->putJob(jobJSON("six" + std::to_string(i), service_->url(),
                                    "s-six" + std::to_string(i), {{locals.back(), "take.mov"}})),
            201);
    }
    for (int i = 0; i < 6; ++i) {
        nlohmann::json job;
        ASSERT_TRUE(daemon_->waitForState("six" + std::to_string(i), "completed", 5min, &job))
            << job.dump(2);
    }
    // Each session's uploading stretch runs from its first call to its last; count how many
    // stretches are open at once. An end at the same millisecond as a start closes first.
    std::map<std::string, std::pair<int64_t, int64_t>> stretches;
    for (const auto& call : service_->calls()) {
        std::string session = call.value("session", "");
        if (session.empty()) continue;
        int64_t time = call.value("time_ms", int64_t{0});
        auto [entry, inserted] = stretches.try_emplace(session, time, time);
        if (!inserted) entry->second.second = std::max(entry->second.second, time);
    }
    ASSERT_EQ(stretches.size(), 6u);
    std::vector<std::pair<int64_t, int>> events;
    for (const auto& [session, stretch] : stretches) {
        events.push_back({stretch.first, +1});
        events.push_back({stretch.second, -1});
    }
    std::sort(events.begin(), events.end());
    int open = 0, most = 0;
    for (const auto& event : events) most = std::max(most, open += event.second);
    EXPECT_LE(most, 5);
    EXPECT_EQ(most, 5) << "the five parallel uploads never all ran together";
    for (int i = 0; i < 6; ++i)
        expectStoredCopy("s-six" + std::to_string(i), "take.mov", locals[i]);
}

TEST_F(EndToEndTest, MalformedChecksumEndsJobErroredInVerify) {
    ASSERT_TRUE(service_
                    ->control("POST", "/control/faults",
                              {{"method", "VerifyFile"},
                               {"action", "status"},
                               {"status", 500},
                               {"error_code", "MalformedChecksum"},
                               {"count", 0}})
                    .is_object());
    std::string local = recording("bad.mov", 100 * 1024, 41);
    ASSERT_EQ(daemon_->putJob(jobJSON("bad", service_->url(), "s-bad", {{local, "bad.mov"}})), 201);
    nlohmann::json job;
    ASSERT_TRUE(daemon_->waitForState("bad", "errored", 5min, &job)) << job.dump(2);
    EXPECT_EQ(job.value("error_type", ""), "verify");
    ASSERT_TRUE(job["error"].is_string()) << job.dump(2);
    EXPECT_FALSE(job["error"].get<std::string>().empty());
    for (const auto& file : job["file_list"]) EXPECT_FALSE(file.value("closed", true));
}

}  // namespace
}  // namespace vtr::test
