// What every job-service test starts from: a real SQLite job database in a throw-away directory,
// the shared connection environment over it (also the lifecycle test's), a run loop of the test's
// own that the test thread runs, and the scripted recording service. The job service is made by
// startService(), so a test can store jobs first.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/VTRRunLoop.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "service/VTRRemoteUploadJobService.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "support/ScriptedUploadService.h"
#include "support/TestSupport.h"

namespace vtr::test {

// A job database in a throw-away directory and the connection environment over it.
struct JobDatabase {
    JobDatabase() {
        VTRError error;
        coordinator = VTRStoreCoordinator::open(dir.file("UploadDaemon.sqlite"), &error);
        EXPECT_TRUE(coordinator) << error.description();
        environment = std::make_shared<VTRUploadDaemonConnectionEnvironment>(coordinator, nullptr);
    }

    static std::string urlOf(const std::string& jobID) { return "http://127.0.0.1:9/" + jobID; }
    // The input of a job at urlOf(jobID).
    static nlohmann::json jobInput(const std::string& jobID, const std::string& state,
                                   nlohmann::json files) {
        return {{"id", jobID},    {"session_id", "session-" + jobID}, {"server_url", urlOf(jobID)},
                {"state", state}, {"credentials", "secret"},          {"file_list", files}};
    }

    // The stored job's JSON form, read through a store of its own.
    nlohmann::json stored(const std::string& jobID) const {
        auto store = environment->newJobStore();
        VTRManagedUploadJob* job = store->jobWithID(jobID);
        return job ? job->dictionaryRepresentation() : nlohmann::json();
    }

    TempDir dir;
    std::shared_ptr<VTRStoreCoordinator> coordinator;
    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> environment;
};

class ServiceTest : public ::testing::Test, public JobDatabase {
  protected:
    static constexpr double kRequeueDelay = 0.05;

    void TearDown() override {
        server.release();
        service.reset();
    }

    void startService(uint32_t maxUploadRetries = 50000) {
        VTRRemoteUploadJobService::Options options;
        options.uploadServiceFactory = server.factory();
        options.maxUploadRetries = maxUploadRetries;
        options.pollingInterval = 0.01;
        options.requeueDelay = kRequeueDelay;
        options.firstRetryPause = 0.01;
        service =
            std::make_unique<VTRRemoteUploadJobService>(coordinator, loop, std::move(options));
    }

    // Stores a job whose files are written with `sizes` bytes each; returns their local paths
    // (the remote path is the file name).
    std::vector<std::string> addJob(const std::string& jobID, const std::string& state,
                                    const std::vector<size_t>& sizes) {
        nlohmann::json files = nlohmann::json::array();
        std::vector<std::string> paths;
        for (size_t i = 0; i < sizes.size(); ++i) {
            std::string name = jobID + "-" + std::to_string(i) + ".mp4";
            writeFile(dir.file(name), randomBytes(sizes[i], static_cast<uint32_t>(i + 7)));
            paths.push_back(dir.file(name));
            files.push_back({{"local_path", dir.file(name)}, {"remote_path", name}});
        }
        VTRError error;
        EXPECT_TRUE(environment->newJobStore()->addJob(jobInput(jobID, state, files), &error))
            << error.description();
        return paths;
    }

    nlohmann::json storedFile(const std::string& jobID, const std::string& path) {
        nlohmann::json job = stored(jobID);
        for (const auto& file : job["file_list"])
            if (file["local_path"] == path) return file;
        return nlohmann::json();
    }

    // Changes the stored job the way a client's update would.
    template <typename Change>
    void change(const std::string& jobID, Change change) {
        auto store = environment->newJobStore();
        VTRManagedUploadJob* job = store->jobWithID(jobID);
        ASSERT_TRUE(job);
        change(*job);
        ASSERT_TRUE(store->saveJob(job));
    }

    // The warning logged when a job that has an operation is queued again, and how often it was.
    size_t requeueWarnings(const std::string& jobID) {
        auto lines = log.texts();
        return static_cast<size_t>(std::count(
            lines.begin(), lines.end(),
            "There is already an operation for job " + jobID + ". No need to add another."));
    }

    bool runUntil(const std::function<bool()>& done) {
        return loop.runUntil(done, std::chrono::seconds(20));
    }

    bool runUntilState(const std::string& jobID, const std::string& state) {
        return runUntil([&] { return stored(jobID)["state"] == state; });
    }

    VTRRunLoop loop;
    ScriptedUploadService server{&loop};
    std::unique_ptr<VTRRemoteUploadJobService> service;
    ScopedLogCapture log;
};

}  // namespace vtr::test
