// GET /events against the real job service, with the recording service scripted in process:
// the snapshot, then a job's life in order with increasing ids, the upload's activity, and
// the last progress of a burst.
#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ControlAPIFixture.h"
#include "api/VTREventHub.h"
#include "service/VTRRemoteUploadJobService.h"
#include "support/ScriptedUploadService.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

struct Event {
    std::string name;
    uint64_t id = 0;
    std::string data;
};

// The events in a stream's body, without the chunk framing and comments.
std::vector<Event> parseEvents(const std::string& received) {
    std::vector<Event> events;
    Event current;
    size_t start = received.find("\r\n\r\n");
    std::istringstream lines(received.substr(start == std::string::npos ? 0 : start + 4));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("event: ")) current.name = line.substr(7);
        if (line.starts_with("id: ")) current.id = std::stoull(line.substr(4));
        if (line.starts_with("data: ")) {
            current.data = line.substr(6);
            events.push_back(current);
        }
    }
    return events;
}

TEST(EventStreamTest, DeliversAJobsLifeInOrderWithIncreasingIDs) {
    TempDir dir;
    VTRRunLoop loop;
    ScriptedUploadService recordingService(&loop);
    recordingService.chunkSize = 16;
    writeFile(dir.file("a.bin"), randomBytes(64, 3));
    recordingService.holdUploadChunk("a.bin", 32);

    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(dir.file("UploadDaemon.sqlite"), &error);
    ASSERT_TRUE(coordinator) << error.description();
    auto environment = std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, nullptr);
    auto hub = std::make_shared<VTREventHub>(
        loop,
        [environment](const std::string& id) -> std::optional<json> {
            auto store = environment->newJobStore();
            const VTRManagedUploadJob* job = store->jobWithID(id);
            if (!job) return std::nullopt;
            return job->dictionaryRepresentation();
        },
        VTREventHub::Options{100ms, 15s});
    VTRRemoteUploadJobService::Options serviceOptions;
    serviceOptions.uploadServiceFactory = recordingService.factory();
    serviceOptions.observer = hub;
    auto service = std::make_shared<VTRRemoteUploadJobService>(coordinator, loop, serviceOptions);
    auto apiEnvironment =
        std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, service);
    HTTPServer server;
    server.setInterface("lo0");
    VTRUploadDaemonConnection::Options apiOptions;
    apiOptions.events = hub;
    server.setConnectionClass(VTRUploadDaemonConnection::factory(apiEnvironment, loop, apiOptions));
    ASSERT_TRUE(server.start());
    // The run loop is the daemon's main thread: reports and held-back progress run there.
    std::atomic<bool> finished = false;
    std::jthread mainThread([&] { loop.runUntil([&] { return finished.load(); }, 60s); });
    struct AtEnd {
        std::function<void()> run;
        ~AtEnd() { run(); }
    } stopLoop{[&] {
        server.stop();
        finished = true;
        loop.post([] {});
    }};
    auto send = [port = server.listeningPort()](const char* method, const std::string& path,
                                                const std::optional<std::string>& body = {}) {
        return RawHTTPClient::once(port, requestText(method, path, body));
    };

    ASSERT_EQ(send("PUT", "/jobs/before", jobInput("before", "paused").dump()).status, 201);
    RawHTTPClient client(server.listeningPort());
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

    std::vector<Event> events = parseEvents(client.received());
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].name, "job");
    EXPECT_EQ(json::parse(events[0].data)["id"], "before");
    EXPECT_EQ(events[1].name, "ready");
    EXPECT_EQ(events[1].data, "{}");
    std::vector<std::string> life;  // the job's states and progress, each change once
    bool activity = false;
    for (size_t i = 0; i < events.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(events[i].id, events[i - 1].id) << "event " << i;
        }
        json data = json::parse(events[i].data);
        if (events[i].name == "activity" && data["id"] == "j") activity = true;
        if (events[i].name != "job" || data["id"] != "j") continue;
        std::string step = data["state"].get<std::string>() + " " +
                           std::to_string(data["file_list"][0]["bytes_uploaded"].get<int>());
        if (life.empty() || life.back() != step) life.push_back(step);
    }
    EXPECT_EQ(life.front(), "paused 0");
    EXPECT_EQ(life[1], "running 0");
    EXPECT_NE(std::find(life.begin(), life.end(), "running 32"), life.end());
    EXPECT_EQ(life.back(), "completed 64");
    EXPECT_TRUE(activity) << "no activity event for the job";
    EXPECT_EQ(events.back().name, "removed");
    EXPECT_EQ(events.back().data, R"({"id":"before"})");
    EXPECT_NE(client.received().find("data: " + stored.body + "\n"), std::string::npos)
        << "the completed job's data is what GET /jobs/j answers";
}

}  // namespace
}  // namespace vtr::test
