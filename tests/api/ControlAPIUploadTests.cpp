// The control API driving the real job service, whose uploads go to a scripted recording
// service: "paused" stops an upload in flight, and "restart" uploads every file again from its
// first byte to completion.
#include "../service/ScriptedRecordingService.h"
#include "ControlAPIFixture.h"
#include "service/VTRRemoteUploadJobService.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

class ControlAPIUploadTest : public ControlAPITest {
  protected:
    std::shared_ptr<VTRUploadJobService> jobService() override {
        VTRRemoteUploadJobService::Options options;
        options.uploadServiceFactory = recording.factory();
        options.pollingInterval = 0.01;
        options.requeueDelay = kRequeueDelay;
        options.firstRetryPause = 0.01;
        service =
            std::make_shared<VTRRemoteUploadJobService>(coordinator, loop, std::move(options));
        return service;
    }

    void TearDown() override {
        server.stop();
        recording.release();
        environment.reset();
        service.reset();
    }

    // A job of two real files of 10 and 7 bytes (chunks of 4 bytes).
    json uploadJob(const std::string& jobID, const std::string& state) {
        json files = json::array();
        for (auto [name, size] : {std::pair{"a.mp4", 10}, std::pair{"b.mp4", 7}}) {
            std::string path = dir.file(jobID + "-" + name);
            writeFile(path, randomBytes(static_cast<size_t>(size), static_cast<uint32_t>(size)));
            files.push_back({{"local_path", path}, {"remote_path", jobID + "-" + name}});
        }
        return {{"id", jobID},
                {"session_id", "s"},
                {"server_url", "http://127.0.0.1:9/" + jobID},
                {"state", state},
                {"file_list", files}};
    }

    bool runUntilState(const std::string& jobID, const std::string& state) {
        return loop.runUntil([&] { return stored(jobID)["state"] == state; },
                             std::chrono::seconds(20));
    }

    uint64_t uploaded(const std::string& jobID) {
        uint64_t total = 0;
        json job = stored(jobID);
        for (const json& file : job["file_list"]) total += file["bytes_uploaded"].get<uint64_t>();
        return total;
    }

    static constexpr double kRequeueDelay = 0.05;
    ScriptedRecordingService recording{loop};
    std::shared_ptr<VTRRemoteUploadJobService> service;
};

TEST_F(ControlAPIUploadTest, PausedStopsTheUploadAndRestartSendsEveryFileFromTheStart) {
    recording.holdUploadChunk("j-a.mp4", 4);
    recording.holdUploadChunk("j-b.mp4", 4);
    ASSERT_EQ(put("/jobs/j", uploadJob("j", "running")).status, 201);
    // One chunk accepted (and its progress stored), the next one held.
    ASSERT_TRUE(loop.runUntil([&] { return recording.heldCalls() == 1 && uploaded("j") == 4; },
                              std::chrono::seconds(20)));

    RawReply paused = put("/jobs/j", {{"state", "paused"}});
    EXPECT_EQ(paused.status, 200);
    EXPECT_EQ(json::parse(paused.body)["state"], "paused");
    // The cancel interrupts the call in flight.
    ASSERT_TRUE(
        loop.runUntil([&] { return recording.heldCalls() == 0; }, std::chrono::seconds(20)));
    recording.release();
    // The cancelled upload's report schedules a re-queue of running jobs; this one is paused.
    loop.runFor(std::chrono::milliseconds(static_cast<int>(kRequeueDelay * 6000)));
    EXPECT_EQ(json::parse(send("GET", "/jobs/j").body)["state"], "paused");
    size_t calls = recording.chunkCalls("j-a.mp4").size() + recording.chunkCalls("j-b.mp4").size();
    EXPECT_EQ(calls, 2u) << "one accepted chunk and the cancelled one, nothing after";
    EXPECT_EQ(recording.chunkSizeURLs().size(), 1u);

    // The new upload waits at its first chunk, so the answer shows the reset progress.
    recording.holdUploadChunk("j-a.mp4", 0);
    recording.holdUploadChunk("j-b.mp4", 0);
    RawReply restarted = put("/jobs/j", {{"state", "restart"}});
    EXPECT_EQ(restarted.status, 200);
    json answer = json::parse(restarted.body);
    for (const json& file : answer["file_list"])
        EXPECT_EQ(file["bytes_uploaded"], 0u) << "every file starts again from its first byte";
    recording.release();
    ASSERT_TRUE(runUntilState("j", "completed"));

    EXPECT_EQ(recording.chunkSizeURLs().size(), 2u) << "the cancelled operation left no entry";
    size_t firstChunks = 0;
    for (const char* name : {"j-a.mp4", "j-b.mp4"})
        for (const auto& call : recording.chunkCalls(name)) firstChunks += call.offset == 0;
    EXPECT_EQ(firstChunks, 3u) << "one file's first chunk before the pause, both after";
    json done = json::parse(send("GET", "/jobs/j").body);
    EXPECT_EQ(done["error_type"], "none");
    for (const json& file : done["file_list"]) {
        EXPECT_EQ(file["closed"], true);
        EXPECT_EQ(file["bytes_uploaded"], file["total_bytes"]);
        EXPECT_EQ(recording.received(file["remote_path"].get<std::string>()),
                  readFile(file["local_path"].get<std::string>()));
    }
}

}  // namespace
}  // namespace vtr::test
