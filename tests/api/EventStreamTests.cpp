// GET /events against the real job service, with the recording service scripted in process:
// the snapshot, then a job's life in order with increasing ids, the upload's activity, and
// the last progress of a burst.
#include <atomic>
#include <functional>
#include <thread>

#include "ControlAPIFixture.h"
#include "service/VTRRemoteUploadJobService.h"
#include "support/ScriptedUploadService.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

TEST_F(ControlAPITest, EventStreamDeliversAJobsLifeInOrderWithIncreasingIDs) {
    ScriptedUploadService recordingService(&loop);
    recordingService.chunkSize = 16;
    writeFile(dir.file("a.bin"), randomBytes(64, 3));
    recordingService.holdUploadChunk("a.bin", 32);

    events = std::make_shared<VTREventHub>(
        loop,
        [this](const std::string& id) -> std::optional<std::string> {
            json form = stored(id);
            return form.is_null() ? std::nullopt : std::optional(form.dump());
        },
        VTREventHub::Options{100ms, 15s});
    VTRRemoteUploadJobService::Options serviceOptions;
    serviceOptions.uploadServiceFactory = recordingService.factory();
    serviceOptions.observer = events;
    auto service = std::make_shared<VTRRemoteUploadJobService>(coordinator, loop, serviceOptions);
    HTTPServer eventServer;
    port = serve(eventServer,
                 std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, service));
    // The run loop is the daemon's main thread: reports and held-back progress run there.
    std::atomic<bool> finished = false;
    std::jthread mainThread([&] { loop.runUntil([&] { return finished.load(); }, 60s); });
    struct AtEnd {
        std::function<void()> run;
        ~AtEnd() { run(); }
    } stopLoop{[&] {
        eventServer.stop();
        finished = true;
        loop.post([] {});
    }};

    ASSERT_EQ(send("PUT", "/jobs/before", jobInput("before", "paused").dump()).status, 201);
    RawHTTPClient client(port);
    ASSERT_TRUE(client.send(requestText("GET", "/events")));
    ASSERT_TRUE(client.readUntil("event: ready\n"));
    EXPECT_NE(client.received().find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(client.received().find("Cache-Control: no-cache"), std::string::npos);

    json job = jobInput("j", "paused");
    job["file_list"] = {{{"local_path", dir.file("a.bin")}, {"remote_path", "a.bin"}}};
    ASSERT_EQ(send("PUT", "/jobs/j", job.dump()).status, 201);
    job["state"] = "running";
    ASSERT_EQ(send("PUT", "/jobs/j", job.dump()).status, 200);
    // The chunk at 32 waits: the progress up to it is the last of its burst.
    EXPECT_TRUE(client.readUntil("\"bytes_uploaded\":32"));
    recordingService.release();
    ASSERT_TRUE(client.readUntil("\"state\":\"completed\""));
    RawReply stored = send("GET", "/jobs/j");
    ASSERT_EQ(send("DELETE", "/jobs/before").status, 200);
    ASSERT_TRUE(client.readUntil("event: removed\n"));
    EXPECT_NE(client.received().find("event: activity\n"), std::string::npos);

    // Each event as "name id-of-its-data", a job's with its state and progress (running: only
    // before and at the held chunk), repeats once; ids increase.
    std::vector<std::string> seen;
    std::istringstream lines(client.received().substr(client.received().find("\r\n\r\n")));
    uint64_t lastID = 0;
    std::string name;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("event: ")) name = line.substr(7);
        if (line.starts_with("id: ")) {
            EXPECT_GT(std::stoull(line.substr(4)), lastID);
            lastID = std::stoull(line.substr(4));
        }
        if (!line.starts_with("data: ") || name == "activity") continue;
        json data = json::parse(line.substr(6));
        std::string step = name + " " + data.value("id", "");
        if (name == "job" && data["id"] == "j") {
            std::string state = data["state"];
            auto bytes = data["file_list"][0]["bytes_uploaded"].get<int>();
            if (state == "running" && bytes > 32) continue;
            step +=
                " " + state + (state == "running" && bytes < 32 ? "" : fmt::format(" {}", bytes));
        }
        if (seen.empty() || seen.back() != step) seen.push_back(step);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"job before", "ready ", "job j paused 0",
                                              "job j running", "job j running 32",
                                              "job j completed 64", "removed before"}));
    EXPECT_NE(client.received().find("data: " + stored.body + "\n"), std::string::npos)
        << "the completed job's data is what GET /jobs/j answers";
}

}  // namespace
}  // namespace vtr::test
