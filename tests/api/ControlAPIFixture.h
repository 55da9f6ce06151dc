// What the control-API tests start from: a real job database in a throw-away directory, the
// connection environment over it, the embedded server on loopback with the API's connections,
// a run loop of the test's own for the restart's exit and the upload limit's settings, and a
// client that speaks raw HTTP.
// The job service is a scripted one (ScriptedJobService) unless a test installs another.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RawHTTPClient.h"
#include "api/VTREventHub.h"
#include "api/VTRUploadDaemonConnection.h"
#include "foundation/VTRRunLoop.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "httpserver/HTTPServer.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "service/VTRUploadJobService.h"
#include "service/VTRUploadLimitSettings.h"
#include "support/TestSupport.h"

namespace vtr::test {

// Records every call the API makes and answers as told. Called on the server's connection
// queue; read from the test thread.
class ScriptedJobService : public VTRUploadJobService {
  public:
    bool uploadJobWithID(const std::string& jobID, VTRError* error) override {
        return answer("upload " + jobID, error);
    }
    void cancelJobWithJobID(const std::string& jobID) override {
        answer("cancel " + jobID, nullptr);
    }
    bool restartUploadForJobWithJobID(const std::string& jobID, VTRError* error) override {
        return answer("restart " + jobID, error);
    }
    std::vector<VTRJobActivity> currentActivities() override {
        std::lock_guard lock(mutex_);
        calls_.push_back("activities");
        return activities_;
    }

    void setActivities(std::vector<VTRJobActivity> activities) {
        std::lock_guard lock(mutex_);
        activities_ = std::move(activities);
    }

    // Every later upload and restart fails with `error`.
    void failWith(VTRError error) {
        std::lock_guard lock(mutex_);
        failure_ = std::move(error);
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    bool answer(std::string call, VTRError* error) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        if (failure_) setError(error, *failure_);
        return !failure_;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::optional<VTRError> failure_;
    std::vector<VTRJobActivity> activities_;
};

inline const std::string kLoopbackHost = "Host: 127.0.0.1\r\n";

// A request with the given header lines; `body` adds a Content-Length header.
inline std::string requestText(const std::string& method, const std::string& path,
                               const std::optional<std::string>& body = std::nullopt,
                               const std::string& headers = kLoopbackHost) {
    std::string text = method + " " + path + " HTTP/1.1\r\n" + headers;
    if (body) text += "Content-Length: " + std::to_string(body->size()) + "\r\n";
    return text + "\r\n" + body.value_or("");
}

// A valid job input object.
inline nlohmann::json jobInput(const std::string& jobID, const std::string& state = "retry") {
    return {{"id", jobID},
            {"session_id", "session-" + jobID},
            {"server_url", "http://127.0.0.1:9/upload"},
            {"state", state},
            {"credentials", "secret-" + jobID},
            {"file_list",
             {{{"local_path", "/recordings/" + jobID + "/a.mp4"}, {"remote_path", "a.mp4"}},
              {{"local_path", "/recordings/" + jobID + "/b.mp4"}, {"remote_path", "b.mp4"}}}}};
}

class ControlAPITest : public ::testing::Test {
  protected:
    void SetUp() override {
        VTRError error;
        coordinator = VTRStoreCoordinator::open(dir.file("UploadDaemon.sqlite"), &error);
        ASSERT_TRUE(coordinator) << error.description();
        settings = std::make_shared<VTRUploadLimitSettings>(coordinator, limiter, loop);
        ASSERT_TRUE(settings->start(std::nullopt, &error)) << error.description();
        environment = std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, jobs,
                                                                             nullptr, settings);
        port = serve(server, environment);
        ASSERT_NE(port, 0);
    }

    void TearDown() override { server.stop(); }

    // Starts `httpServer` on loopback with the API's connections over `env`; returns the port.
    uint16_t serve(HTTPServer& httpServer,
                   std::shared_ptr<VTRUploadDaemonConnectionEnvironment> env) {
        VTRUploadDaemonConnection::Options options;
        options.restartDelay = restartDelay;
        options.events = events;
        options.exitProcess = [this](int status) {
            std::lock_guard lock(mutex);
            exitStatuses.push_back(status);
        };
        options.consoleLog = [this](const std::string& text) {
            std::lock_guard lock(mutex);
            consoleLines.push_back(text);
        };
        httpServer.setInterface("lo0");
        httpServer.setConnectionClass(
            VTRUploadDaemonConnection::factory(std::move(env), loop, options));
        VTRError error;
        EXPECT_TRUE(httpServer.start(&error)) << error.description();
        return httpServer.listeningPort();
    }

    // One request on a connection of its own. `body` adds a Content-Length header.
    RawReply send(const std::string& method, const std::string& path,
                  const std::optional<std::string>& body = std::nullopt,
                  const std::string& headers = kLoopbackHost) {
        RawReply reply = RawHTTPClient::once(port, requestText(method, path, body, headers));
        EXPECT_NE(reply.status, 0) << method << " " << path << ": no reply";
        return reply;
    }

    RawReply put(const std::string& path, const nlohmann::json& job) {
        return send("PUT", path, job.dump());
    }

    // The statuses of the job routes that need the store: list, get, put and delete.
    std::vector<int> jobRouteStatuses() {
        return {send("GET", "/jobs").status, send("GET", "/jobs/j").status,
                put("/jobs/j", jobInput("j")).status, send("DELETE", "/jobs/j").status};
    }

    // The stored jobs' JSON forms, read past the API.
    std::vector<nlohmann::json> storedJobs() {
        std::vector<nlohmann::json> forms;
        auto store = environment->newJobStore();
        auto all = store->allJobs();
        EXPECT_TRUE(all);
        if (all)
            for (const VTRManagedUploadJob* job : *all)
                forms.push_back(job->dictionaryRepresentation());
        return forms;
    }

    nlohmann::json stored(const std::string& jobID) {
        auto store = environment->newJobStore();
        VTRManagedUploadJob* job = store->jobWithID(jobID);
        return job ? job->dictionaryRepresentation() : nlohmann::json();
    }

    std::vector<std::string> console() {
        std::lock_guard lock(mutex);
        return consoleLines;
    }

    std::vector<int> exits() {
        std::lock_guard lock(mutex);
        return exitStatuses;
    }

    TempDir dir;
    ScopedLogCapture log;
    VTRRunLoop loop;
    std::chrono::milliseconds restartDelay{200};
    std::shared_ptr<VTRStoreCoordinator> coordinator;
    std::shared_ptr<ScriptedJobService> jobs = std::make_shared<ScriptedJobService>();
    // The upload limit's settings and the bucket they set.
    std::shared_ptr<HTTPBandwidthLimiter> limiter = std::make_shared<HTTPBandwidthLimiter>();
    std::shared_ptr<VTRUploadLimitSettings> settings;
    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment;
    std::shared_ptr<VTREventHub> events;  // for the servers `serve` starts later
    HTTPServer server;
    uint16_t port = 0;

    std::mutex mutex;
    std::vector<std::string> consoleLines;
    std::vector<int> exitStatuses;
};

}  // namespace vtr::test
