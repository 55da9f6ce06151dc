// The job service over a real job database, with the real upload operation talking to the
// scripted recording service, and with reports handed to the service directly where a test needs
// one that a healthy upload would not send.
#include <sqlite3.h>

#include "ServiceTestFixture.h"
#include "foundation/VTROperation.h"
#include "upload/VTRFileUploadOperation.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;
using Method = ScriptedUploadService::Method;

class JobServiceTest : public ServiceTest {
  protected:
    // The latest live operation that asked the job's server for the chunk size.
    std::shared_ptr<VTRFileUploadOperation> latestOperation(const std::string& jobID) {
        auto calls = server.callsOf(Method::ChunkSize);
        for (auto call = calls.rbegin(); call != calls.rend(); ++call)
            if (auto caller = call->caller.lock(); caller && call->serverURL == urlOf(jobID))
                return std::dynamic_pointer_cast<VTRFileUploadOperation>(caller);
        return nullptr;
    }

    // The job's operation, queued and held at its first call, to name as the reporter of a
    // report sent by hand: only the job's current operation is heard.
    std::shared_ptr<VTRFileUploadOperation> currentOperation(const std::string& jobID) {
        server.holdChunkSize(urlOf(jobID));
        EXPECT_TRUE(service->uploadJobWithID(jobID));
        EXPECT_TRUE(runUntil([&] { return latestOperation(jobID) != nullptr; }));
        return latestOperation(jobID);
    }

    // Runs the loop until `operation` has ended and every report it queued is delivered.
    bool runUntilReportsOf(std::weak_ptr<VTRFileUploadOperation> operation) {
        if (!waitUntil([&] {
                auto alive = operation.lock();
                return !alive || alive->isFinished();
            }))
            return false;
        bool delivered = false;
        loop.post([&] { delivered = true; });
        return runUntil([&] { return delivered; });
    }

    static std::string requeueNote(const std::string& jobID) {
        return "We got a network connectivity error uploading job for recording " + jobID +
               ". Waiting 0.05 seconds before requeueing this job.";
    }

    static std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

    enum class Step { Init, Upload, Close, Verify };
    // Reports by hand that `step` of `operation` failed for the job's file at `path`.
    void reportFailure(VTRFileUploadOperation* operation, Step step, const std::string& jobID,
                       const std::optional<std::string>& path, const VTRError& error) {
        ASSERT_TRUE(operation);
        const std::string file = path.value_or("");
        switch (step) {
            case Step::Init:
                return service->operationFailedToInitializeUploadOfFile(*operation, path, jobID,
                                                                        error);
            case Step::Upload:
                return service->operationFailedToUploadBytesAtOffset(*operation, 4, file, jobID,
                                                                     error);
            case Step::Close:
                return service->operationFailedToCloseFile(*operation, file, jobID, error);
            case Step::Verify:
                return service->operationFailedToVerifyFile(*operation, file, jobID, error);
        }
    }
};

// MARK: starting and queueing

// Queueing a job clears its error, reads its file sizes afresh and has every file closed again:
// until then none counts as closed, or the first close would complete the job while another file
// is still being sent. A finished file keeps its progress and is not sent again; a restart
// instead sends every file from the start. Neither kind of job is picked up at start. The control
// API's one thread waits on the queueing: it saves the job once, however many files it has.
TEST_F(JobServiceTest, QueueingClearsTheErrorAndClosesEveryFileAgainARestartResetsThem) {
    const auto fresh = addJob("fresh", "errored", {9, 6});
    const auto again = addJob("again", "restart", {9, 6});
    for (const auto& [id, paths] : {std::pair("fresh", fresh), std::pair("again", again)}) {
        // What the server kept from an earlier run: part of the first file, all of the second.
        server.seed(nameOf(paths[0]), readFile(paths[0]).substr(0, 4));
        server.seed(nameOf(paths[1]), readFile(paths[1]));
        change(id, [&](VTRManagedUploadJob& job) {
            job.setError("old failure");
            job.setErrorState(VTRUploadErrorStateClose);
            job.fileWithLocalPath(paths[0])->setBytesUploaded(4);
            job.fileWithLocalPath(paths[1])->setBytesUploaded(6);
            job.fileWithLocalPath(paths[1])->setClosed(true);
        });
    }
    startService();
    EXPECT_TRUE(server.serviceURLs().empty());
    // An unknown job is neither queued nor restarted, and that is no error.
    VTRError error;
    EXPECT_FALSE(service->uploadJobWithID("nobody", &error));
    EXPECT_FALSE(service->restartUploadForJobWithJobID("nobody", &error));
    EXPECT_TRUE(error.domain().empty()) << error.description();
    EXPECT_TRUE(server.serviceURLs().empty());

    for (bool restart : {false, true}) {
        const std::string id = restart ? "again" : "fresh";
        const auto& paths = restart ? again : fresh;
        SCOPED_TRACE(id);
        server.holdChunkSize(urlOf(id));
        int commits = 0;
        sqlite3* db = environment->persistentStoreCoordinator()->connection();
        sqlite3_commit_hook(
            db, [](void* counter) { return ++*static_cast<int*>(counter), 0; }, &commits);
        ASSERT_TRUE(restart ? service->restartUploadForJobWithJobID(id)
                            : service->uploadJobWithID(id));
        sqlite3_commit_hook(db, nullptr, nullptr);
        EXPECT_EQ(commits, restart ? 2 : 1) << "a restart saves the files it resets first";
        json job = stored(id);
        EXPECT_TRUE(job["error"].is_null());
        EXPECT_EQ(job["error_type"], "none");
        EXPECT_EQ(job["state"], restart ? "restart" : "errored");
        for (size_t i = 0; i < paths.size(); ++i) {
            json file = storedFile(id, paths[i]);
            EXPECT_EQ(file["total_bytes"], i ? 6 : 9);
            EXPECT_EQ(file["bytes_uploaded"], restart ? 0 : i ? 6 : 4);
            EXPECT_EQ(file["closed"], false);
        }

        server.release();
        ASSERT_TRUE(runUntilState(id, "completed"));
        EXPECT_EQ(server.offsets(nameOf(paths[0])).front(), restart ? 0u : 4u);
        EXPECT_EQ(server.offsets(nameOf(paths[1])).empty(), !restart);
        for (const auto& path : paths) {
            json file = storedFile(id, path);
            EXPECT_EQ(file["closed"], true);
            EXPECT_EQ(file["bytes_uploaded"], file["total_bytes"]);
            EXPECT_EQ(server.received(nameOf(path)), readFile(path));
        }
    }
}

TEST_F(JobServiceTest, RunningJobsAreRequeuedAtCreationAndResumeAtTheirStoredOffsets) {
    auto resumed = addJob("resumed", "running", {10});
    addJob("waiting", "restart", {5});
    addJob("paused", "paused", {5});
    change("resumed", [&](VTRManagedUploadJob& job) {
        job.fileWithLocalPath(resumed[0])->setBytesUploaded(4);
    });
    // What the server kept from the daemon's previous run.
    server.seed(nameOf(resumed[0]), readFile(resumed[0]).substr(0, 4));

    startService();
    EXPECT_EQ(server.serviceURLs(), std::vector<std::string>{urlOf("resumed")});
    EXPECT_TRUE(log.contains("Re-enqueing job resumed for uploading"));

    ASSERT_TRUE(runUntilState("resumed", "completed"));
    EXPECT_EQ(server.offsets(nameOf(resumed[0])), (std::vector<uint64_t>{4, 8}));
    EXPECT_EQ(server.received(nameOf(resumed[0])), readFile(resumed[0]));
    EXPECT_EQ(stored("waiting")["state"], "restart");
    EXPECT_EQ(stored("paused")["state"], "paused");
}

// MARK: failures

TEST_F(JobServiceTest, NetworkFailureLeavesTheJobRunningAndRequeuesItAtTheStoredOffset) {
    startService(/*maxUploadRetries=*/0);
    auto paths = addJob("net", "running", {12});
    std::string name = nameOf(paths[0]);
    server.answer(Method::UploadChunk, {});
    server.answer(Method::UploadChunk, {});
    server.answer(Method::UploadChunk, {.error = urlError(NSURLErrorNotConnectedToInternet)});
    server.holdChunkSize(urlOf("net"), /*fromCall=*/2);
    ASSERT_TRUE(service->uploadJobWithID("net"));

    // The second operation is waiting at its start: the failure is handled, the re-queue ran.
    ASSERT_TRUE(runUntil([&] { return server.heldCalls() == 1; }));
    json job = stored("net");
    EXPECT_EQ(job["state"], "running");
    EXPECT_TRUE(job["error"].is_null());
    EXPECT_EQ(job["error_type"], "none");
    EXPECT_EQ(storedFile("net", paths[0])["bytes_uploaded"], 8);
    EXPECT_TRUE(log.containsPart(requeueNote("net")));

    server.release();
    ASSERT_TRUE(runUntilState("net", "completed"));
    EXPECT_EQ(server.offsets(name), (std::vector<uint64_t>{0, 4, 8, 8}));
    EXPECT_EQ(server.received(name), readFile(paths[0]));
}

// Connectivity errors, also wrapped once, and cancels change nothing and schedule a re-queue
// (error type "none" below); other failures mark the job errored with their state and text.
TEST_F(JobServiceTest, FailureReportsRequeueOnConnectivityErrorsAndOtherwiseMarkTheJobErrored) {
    startService();
    VTRError wrappedTimeout(VTRErrorDomain, VTRErrorCodeChunkNotAccepted,
                            {{VTRInnerErrorKey, VTRValue(urlError(NSURLErrorTimedOut))}});
    VTRError checksum = VTRError::withDescription(VTRErrorDomain, VTRErrorCodeChecksumNotConfirmed,
                                                  "Upload failed", "The checksums differ");
    VTRError missing = VTRError::withDescription(VTRErrorDomain, VTRErrorCodeFileMissing, "x");
    VTRError status = VTRError::withDescription(AFNetworkingErrorDomain, -1011, "Bad status 500");
    // A network error two levels down is not looked for.
    VTRError deep(VTRErrorDomain, 83, {{VTRInnerErrorKey, VTRValue(wrappedTimeout)}});
    struct Case {
        Step step;
        bool withFile;
        VTRError error;
        std::string errorType;
        std::string text = {};
    };
    const std::vector<Case> cases = {
        {Step::Verify, true, urlError(NSURLErrorNotConnectedToInternet), "none"},
        {Step::Upload, true, wrappedTimeout, "none"},
        {Step::Close, true, urlError(NSURLErrorCancelled), "none"},
        {Step::Verify, true, checksum, "verify", "The checksums differ"},
        {Step::Init, true, missing, "init", "Cannot find upload file"},
        {Step::Init, false, VTRError(NSCocoaErrorDomain, 260), "init", "Cannot find upload file"},
        {Step::Close, true, status, "close", "Bad status 500"},
        {Step::Upload, true, deep, "upload", deep.localizedDescription()},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        std::string id = "job" + std::to_string(i);
        auto paths = addJob(id, "running", {4});
        reportFailure(currentOperation(id).get(), cases[i].step, id,
                      cases[i].withFile ? paths[0] : std::optional<std::string>(), cases[i].error);
        json job = stored(id);
        bool requeued = cases[i].errorType == "none";
        EXPECT_EQ(job["state"], requeued ? "running" : "errored");
        EXPECT_EQ(job["error_type"], cases[i].errorType);
        EXPECT_EQ(job["error"], requeued ? json() : json(cases[i].text));
        EXPECT_EQ(log.containsPart(requeueNote(id)), requeued);
        server.releaseChunkSize(urlOf(id));  // frees its place among the five uploads
    }
}

// MARK: reports

// The current operation's reports, in turn: progress for a path not in the job changes nothing,
// even in restart; progress for a file moves the job to running; a restart report sets the flag;
// closing the first of two files does not complete the job, closing the last does. Reports
// naming another job only log.
TEST_F(JobServiceTest, ReportsOfTheCurrentOperationUpdateTheJobInTurn) {
    startService();
    auto paths = addJob("turns", "restart", {10, 4});
    auto operation = currentOperation("turns");
    service->operationUploadedBytes(*operation, 4, dir.file("elsewhere.mp4"), "turns");
    EXPECT_EQ(stored("turns")["state"], "restart");
    EXPECT_EQ(storedFile("turns", paths[0])["bytes_uploaded"], 0);

    service->operationUploadedBytes(*operation, 8, paths[0], "turns");
    EXPECT_EQ(stored("turns")["state"], "running");
    EXPECT_EQ(storedFile("turns", paths[0])["bytes_uploaded"], 8);

    service->operationRestartedUploadOfFile(*operation, "/x", "turns", urlError(-1));
    EXPECT_EQ(stored("turns")["restarting"], true);

    service->operationClosedFile(*operation, paths[1], "turns");
    EXPECT_EQ(stored("turns")["state"], "running");
    EXPECT_EQ(storedFile("turns", paths[1])["closed"], true);
    EXPECT_EQ(storedFile("turns", paths[0])["closed"], false);

    service->operationClosedFile(*operation, paths[0], "turns");
    json job = stored("turns");
    EXPECT_EQ(job["state"], "completed");
    EXPECT_TRUE(job["error"].is_null());
    EXPECT_EQ(job["error_type"], "none");

    service->operationClosedFile(*operation, "/x", "ghost");
    service->operationUploadedBytes(*operation, 4, "/x", "ghost");
    service->operationFailedToVerifyFile(*operation, "/x", "ghost", VTRError(VTRErrorDomain, 95));
    auto lines = log.texts();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.ends_with(
                                    "for job ghost: it is not the job's current operation");
                            }),
              3);
}

// Without files no close report ever comes; the end of the operation completes the job, unless
// the operation was cancelled.
TEST_F(JobServiceTest, AJobWithoutFilesCompletesWhenItsOperationEndsUncancelled) {
    startService();
    addJob("empty", "running", std::vector<size_t>{});
    ASSERT_TRUE(service->uploadJobWithID("empty"));
    ASSERT_TRUE(runUntilState("empty", "completed"));
    EXPECT_EQ(server.serviceURLs().size(), 1u);
    EXPECT_TRUE(log.containsPart("Completed upload operation. operation: "));

    addJob("halted", "running", std::vector<size_t>{});
    auto operation = currentOperation("halted");
    operation->cancel();
    service->fileUploadOperationCompleted(*operation, "halted");
    EXPECT_EQ(stored("halted")["state"], "running");
}

// MARK: restart and pause

TEST_F(JobServiceTest, PausingCancelsTheOperationAndItsFailureDoesNotBringTheJobBack) {
    startService();
    auto paths = addJob("pause", "running", {12});
    server.holdUploadChunk(nameOf(paths[0]), 4);
    ASSERT_TRUE(service->uploadJobWithID("pause"));
    ASSERT_TRUE(runUntil([&] { return server.heldCalls() == 1; }));
    ASSERT_EQ(service->currentActivities().size(), 1u);  // the jobs with an operation now
    EXPECT_EQ(service->currentActivities()[0].jobID, "pause");

    // What the control API does for a pause: store the state, then cancel.
    change("pause", [](VTRManagedUploadJob& job) { job.setState(VTRUploadJobStatePaused); });
    service->cancelJobWithJobID("pause");
    EXPECT_TRUE(log.contains("Canceled job with ID: pause"));
    EXPECT_TRUE(service->currentActivities().empty());

    // The cancelled chunk is reported as failed, and that report is not heard.
    ASSERT_TRUE(runUntil([&] {
        return log.containsPart("Ignoring the failure report of ") &&
               log.containsPart(" for job pause: it is not the job's current operation");
    }));
    EXPECT_EQ(server.callsOf(Method::ChunkSize).size(), 1u);
    json job = stored("pause");
    EXPECT_EQ(job["state"], "paused");
    EXPECT_TRUE(job["error"].is_null());
    EXPECT_EQ(storedFile("pause", paths[0])["bytes_uploaded"], 4);

    // Resuming gets a new operation: the cancelled one left no entry behind.
    server.release();
    change("pause", [](VTRManagedUploadJob& job) { job.setState(VTRUploadJobStateRunning); });
    ASSERT_TRUE(service->uploadJobWithID("pause"));
    EXPECT_FALSE(log.containsPart("There is already an operation for job pause"));
    ASSERT_TRUE(runUntilState("pause", "completed"));
    EXPECT_EQ(server.offsets(nameOf(paths[0])), (std::vector<uint64_t>{0, 4, 4, 8}));
}

TEST_F(JobServiceTest, TheEndOfARestartedOperationLeavesItsSuccessorInPlace) {
    startService();
    auto paths = addJob("swap", "running", {12});
    server.holdUploadChunk(nameOf(paths[0]), 4);
    ASSERT_TRUE(service->uploadJobWithID("swap"));
    ASSERT_TRUE(runUntil([&] { return server.heldCalls() == 1; }));
    std::weak_ptr<VTRFileUploadOperation> first = latestOperation("swap");

    server.holdChunkSize(urlOf("swap"), /*fromCall=*/2);
    ASSERT_TRUE(service->restartUploadForJobWithJobID("swap"));
    // Let the first operation end and its last report, "completed", be delivered.
    ASSERT_TRUE(runUntilReportsOf(first));
    const size_t before = requeueWarnings("swap");
    EXPECT_TRUE(service->uploadJobWithID("swap"));
    EXPECT_EQ(requeueWarnings("swap"), before + 1);
    EXPECT_EQ(server.serviceURLs().size(), 2u);
}

// MARK: cancelled and replaced operations

// A cancel ends a failing call's retry pause, and the call then reports its last attempt's
// error; the job stays as the pause left it, whichever call was failing. An operation may also
// have run through with its reports still queued when the pause comes: they are not heard, or the
// paused job would be stored completed (its accepted chunks are kept).
TEST_F(JobServiceTest, PausingDuringARetryPauseOrAfterTheRunLeavesThePausedJobWithoutError) {
    startService();
    VTRError status500 =
        VTRError::withDescription(AFNetworkingErrorDomain, -1011, "Bad status 500");
    const std::tuple<const char*, Method, ScriptedUploadService::Answer> cases[] = {
        {"ChunkSize", Method::ChunkSize, {.error = status500}},
        {"UploadChunk", Method::UploadChunk, {.error = status500}},
        {"VerifyFile", Method::VerifyFile, {.error = urlError(NSURLErrorTimedOut)}},
        {"TryCloseFile", Method::TryCloseFile, {.error = status500}},
        {"ClosePoll", Method::TryCloseFile, {.value = VTRValue()}},  // no result
        {"RanThrough", Method::TryCloseFile, {}},
    };
    for (const auto& [id, method, answer] : cases) {
        SCOPED_TRACE(id);
        const bool ranThrough = id == std::string("RanThrough");
        server.setRule([&](auto& call) {
            return call.method == method ? answer : ScriptedUploadService::Answer{};
        });
        auto paths = addJob(id, "running", {6});
        ASSERT_TRUE(service->uploadJobWithID(id));
        // Two failed attempts: the call is in its retries. Or the run's end, its reports
        // undelivered.
        auto reached = [&] {
            auto calls = server.callsOf(method);
            auto made = std::count_if(calls.begin(), calls.end(),
                                      [&](auto& call) { return call.serverURL == urlOf(id); });
            auto operation = latestOperation(id);
            return ranThrough ? made == 1 && operation && operation->isFinished() : made >= 2;
        };
        ASSERT_TRUE(ranThrough ? waitUntil(reached) : runUntil(reached));
        auto operation = latestOperation(id);
        change(id, [](VTRManagedUploadJob& job) { job.setState(VTRUploadJobStatePaused); });
        service->cancelJobWithJobID(id);
        ASSERT_TRUE(runUntilReportsOf(operation));
        json job = stored(id);
        EXPECT_EQ(job["state"], "paused");
        EXPECT_TRUE(job["error"].is_null()) << job["error"];
        EXPECT_EQ(job["error_type"], "none");
        EXPECT_EQ(storedFile(id, paths[0])["closed"], false);
        if (ranThrough) {
            EXPECT_EQ(storedFile(id, paths[0])["bytes_uploaded"], 6);
        }
    }
}

// Reports the old operation had already queued when a restart replaced it neither bring its
// progress back nor close, fail or complete the job, and the new operation's reports apply. When a
// pause cancelled it, a chunk the server accepted is kept and nothing else is.
TEST_F(JobServiceTest, ReportsOfAReplacedOrCancelledOperationKeepAtMostItsAcceptedChunks) {
    startService();
    for (bool restart : {true, false}) {
        SCOPED_TRACE(restart ? "restart" : "pause");
        std::string id = restart ? "renewed" : "halt";
        auto paths = addJob(id, "running", {8, 8});
        auto old = currentOperation(id);
        change(id, [&](VTRManagedUploadJob& job) {
            job.setState(restart ? VTRUploadJobStateRestart : VTRUploadJobStatePaused);
        });
        if (restart) {
            ASSERT_TRUE(service->restartUploadForJobWithJobID(id));
            ASSERT_TRUE(runUntil([&] { return latestOperation(id) != old; }));
        } else {
            service->cancelJobWithJobID(id);
        }
        service->operationUploadedBytes(*old, 4, paths[0], id);
        service->operationClosedFile(*old, paths[0], id);
        service->operationClosedFile(*old, paths[1], id);
        service->operationRestartedUploadOfFile(*old, paths[1], id, urlError(-1));
        service->operationFailedToCloseFile(*old, paths[1], id,
                                            VTRError(VTRErrorDomain, VTRErrorCodeCloseFailed));
        service->fileUploadOperationCompleted(*old, id);
        json job = stored(id);
        EXPECT_EQ(job["state"], restart ? "restart" : "paused");
        EXPECT_EQ(job["error_type"], "none");
        EXPECT_EQ(storedFile(id, paths[0])["bytes_uploaded"], restart ? 0 : 4);
        EXPECT_EQ(storedFile(id, paths[1])["bytes_uploaded"], 0);
        for (const auto& path : paths) EXPECT_EQ(storedFile(id, path)["closed"], false) << path;
        if (!restart) {
            EXPECT_EQ(job["restarting"], false);
            continue;
        }
        service->operationUploadedBytes(*latestOperation(id), 4, paths[1], id);
        EXPECT_EQ(storedFile(id, paths[1])["bytes_uploaded"], 4);
        EXPECT_EQ(stored(id)["state"], "running");
    }
}

}  // namespace
}  // namespace vtr::test
