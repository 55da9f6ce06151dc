// The job service where threads meet: the queue's limit of five uploads, control-API calls from
// several threads at once, and a pause that races with a re-queue.
#include <latch>
#include <thread>

#include "ServiceTestFixture.h"

namespace vtr::test {
namespace {

using JobServiceConcurrencyTest = ServiceTest;
using Method = ScriptedUploadService::Method;

TEST_F(JobServiceConcurrencyTest, FiveJobsUploadAtOnceAndTheSixthStartsWhenOneEnds) {
    startService();
    for (int i = 0; i < 6; ++i) {
        std::string id = "six" + std::to_string(i);
        addJob(id, "running", {4});
        server.holdChunkSize(urlOf(id));
        ASSERT_TRUE(service->uploadJobWithID(id));
    }
    ASSERT_TRUE(waitUntil([&] { return server.heldCalls() == 5; }));
    auto started = server.callsOf(Method::ChunkSize);
    ASSERT_EQ(started.size(), 5u);
    for (const auto& call : started) EXPECT_NE(call.serverURL, urlOf("six5"));

    // One upload ends; the sixth takes its place while the other four still wait.
    server.releaseChunkSize(urlOf("six0"));
    ASSERT_TRUE(waitUntil([&] { return server.callsOf(Method::ChunkSize).size() == 6; }));
    EXPECT_EQ(server.callsOf(Method::ChunkSize).back().serverURL, urlOf("six5"));
    EXPECT_TRUE(waitUntil([&] { return server.heldCalls() == 5; }));
    server.release();
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(runUntilState("six" + std::to_string(i), "completed"));
}

TEST_F(JobServiceConcurrencyTest, ConcurrentStartsOfOneJobMakeOneOperation) {
    startService();
    addJob("same", "running", {8});
    server.holdChunkSize(urlOf("same"));
    std::vector<std::thread> callers;
    std::atomic<int> succeeded{0};
    for (int i = 0; i < 8; ++i)
        callers.emplace_back([&] { succeeded += service->uploadJobWithID("same") ? 1 : 0; });
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(succeeded.load(), 8);
    EXPECT_EQ(server.serviceURLs().size(), 1u);
    EXPECT_EQ(requeueWarnings("same"), 7u);
    server.release();
    EXPECT_TRUE(runUntilState("same", "completed"));
}

// A re-queue that read a job as running before the client paused it must not leave an upload of
// the paused job behind: the client's cancel came before that upload existed.
TEST_F(JobServiceConcurrencyTest, PausesRacingARequeueLeaveNoUploadRunning) {
    startService();
    std::vector<std::string> ids;
    for (int i = 0; i < 40; ++i) {
        ids.push_back("race" + std::to_string(i));
        addJob(ids.back(), "running", {4});
        server.holdChunkSize(urlOf(ids.back()));
    }
    std::latch start(2);
    std::thread client([&] {
        start.arrive_and_wait();
        for (const auto& id : ids) {
            change(id, [](VTRManagedUploadJob& job) { job.setState(VTRUploadJobStatePaused); });
            service->cancelJobWithJobID(id);
        }
    });
    start.arrive_and_wait();
    service->requeueRunningJobs();
    client.join();
    // Every upload that got queued was cancelled, so none stays held at its start.
    EXPECT_TRUE(waitUntil([&] { return server.heldCalls() == 0; }))
        << server.heldCalls() << " uploads of paused jobs still running";
    for (const auto& id : ids) EXPECT_EQ(stored(id)["state"], "paused") << id;
}

}  // namespace
}  // namespace vtr::test
