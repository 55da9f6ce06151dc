// The commands that show a job (show, watch) against a stub of the daemon's control API on
// loopback with canned answers: the upload's activity where the daemon reports one, the
// output of before where it answers /activity with 404 or 405, and --json left as it was.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "JobSummary.h"
#include "RecordingConnection.h"
#include "UploadCommands.h"
#include "httpserver/HTTPDataResponse.h"
#include "support/TestSupport.h"

using namespace vtr::cli;
using nlohmann::json;
using testing::HasSubstr;

namespace {

using Answer = std::pair<int, std::string>;  // status, body

// The daemon's control API on loopback with canned answers, named by locator files in
// `locator` (with this live process): the n-th GET /jobs/job-1 gets the n-th of `jobs`, the
// last one repeating; GET /events gets `events` (by default 405, as from an older daemon); any
// other request gets `activity`.
struct ControlStub : vtr::test::RecordingServer {
    ControlStub(const std::string& locator, std::vector<json> jobs, Answer activity,
                Answer events = {405, ""})
        : RecordingServer(
              {}, std::chrono::seconds(30),
              [this, jobs, activity, events](const vtr::HTTPMessage& request, std::string) {
                  vtr::HTTPHeaderList type{{"Content-Type", "application/json"}};
                  if (request.url() == "/events")
                      return std::make_unique<vtr::HTTPDataResponse>(
                          events.second, events.first,
                          vtr::HTTPHeaderList{{"Content-Type", "text/event-stream"}});
                  if (request.url() != "/jobs/job-1")
                      return std::make_unique<vtr::HTTPDataResponse>(activity.second,
                                                                     activity.first, type);
                  size_t n = std::min(requestsFor("/jobs/job-1"), jobs.size());
                  return std::make_unique<vtr::HTTPDataResponse>(jobs[n - 1].dump(), 200, type);
              }) {
        vtr::test::writeFile(locator + "/UploadDaemon.port", std::to_string(port));
        vtr::test::writeFile(locator + "/UploadDaemon.pid", std::to_string(getpid()));
    }
    size_t requestsFor(const std::string& path) const {
        return record->count("httpResponseForMethod GET " + path);
    }
};

// A running job whose session id would retitle the terminal and clear it.
json hostileJob() {
    return {{"id", "job-1"},
            {"server_url", "https://h/s"},
            {"session_id", "s\x1b]0;owned\x07\x1b[2J"},
            {"state", "running"},
            {"error", nullptr},
            {"error_type", "none"},
            {"restarting", false},
            {"file_list", json::array({{{"local_path", "/data/take.mov"},
                                        {"remote_path", "take.mov"},
                                        {"bytes_uploaded", 100},
                                        {"total_bytes", 400},
                                        {"closed", false}}})}};
}

const json kRetrying = json::array({{{"id", "job-1"},
                                     {"phase", "waiting_to_retry"},
                                     {"file", "take.mov"},
                                     {"bytes_per_second", 0},
                                     {"retry",
                                      {{"method", "UploadChunk"},
                                       {"attempt", 3},
                                       {"next_attempt_in_seconds", 12},
                                       {"reason", "SSL certificate problem"}}}}});

}  // namespace

TEST(ShowActivityTest, ShowsTheRetryWhereTheDaemonReportsOneAndOtherwiseWhatItShowedBefore) {
    struct Case {
        const char* what;
        Answer activity;
        bool json;
        std::string expected;  // the whole standard output
    };
    json job = hostileJob();
    std::string plain = showText(JobSummary::fromJSON(job));
    std::string withRetry = plain;
    withRetry.insert(withRetry.find("  Files:"),
                     "  Activity:    waiting to retry (take.mov)\n"
                     "               retrying UploadChunk (attempt 3) in 12 s: SSL certificate "
                     "problem\n");
    std::vector<Case> cases = {
        {"current daemon", {200, kRetrying.dump()}, false, withRetry},
        {"older daemon, 404", {404, ""}, false, plain},
        {"older daemon, 405", {405, ""}, false, plain},
        {"no activity for this job", {200, "[]"}, false, plain},
        {"--json", {200, kRetrying.dump()}, true, job.dump(2) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vtr::test::TempDir locator;
        ControlStub stub(locator.path(), {job}, c.activity);
        std::ostringstream out, err;
        EXPECT_EQ(UploadCommands(locator.path(), out, err).show("job-1", c.json), 0) << err.str();
        EXPECT_EQ(out.str(), c.expected);
        EXPECT_EQ(stub.requestsFor("/activity"), c.json ? 0u : 1u);
    }
    EXPECT_THAT(plain, HasSubstr("Session:     s\\x1b]0;owned\\x07\\x1b[2J\n"));
}

// Watch follows a job to its end, completed (status 0) or errored (status 1, with the reason).
TEST(WatchActivityTest, LinesCarryTheRetryAndAnOlderDaemonIsAskedOnce) {
    json running = hostileJob();
    json completed = hostileJob();
    completed["state"] = "completed";
    json errored = hostileJob();
    errored["state"] = "errored";
    errored["error"] = "disk gone";
    for (auto [activity, end] : {std::pair(Answer(200, kRetrying.dump()), completed),
                                 std::pair(Answer(405, ""), errored)}) {
        SCOPED_TRACE(activity.first);
        vtr::test::TempDir locator;
        ControlStub stub(locator.path(), {running, running, end}, activity);
        std::ostringstream out, err;
        bool reported = activity.first == 200;
        EXPECT_EQ(UploadCommands(locator.path(), out, err)
                      .watch({"job-1"}, false, false, std::chrono::milliseconds(1)),
                  reported ? 0 : 1)
            << err.str();
        EXPECT_EQ(err.str(), reported ? "" : "vantrel-upload: job job-1 errored: disk gone\n");
        EXPECT_EQ(out.str().find("job-1  running, retrying UploadChunk (attempt 3) in 12 s: SSL "
                                 "certificate problem  25.0%"),
                  reported ? 0 : std::string::npos)
            << out.str();
        EXPECT_EQ(stub.requestsFor("/activity"), reported ? 3u : 1u);
        EXPECT_EQ(stub.requestsFor("/jobs/job-1"), 3u);
        EXPECT_EQ(stub.requestsFor("/events"), 1u) << "asked once, then polled";
    }
}

// A daemon with the event stream is followed, not polled: the snapshot, the upload's retry and
// the job's end all come as events.
TEST(WatchActivityTest, FollowsTheEventStreamWithoutPolling) {
    json running = hostileJob();
    json completed = hostileJob();
    completed["state"] = "completed";
    completed["file_list"][0]["bytes_uploaded"] = 400;
    std::string stream = "event: job\nid: 1\ndata: " + running.dump() +
                         "\n\nevent: ready\nid: 2\ndata: {}\n\n: keep-alive\n\n"
                         "event: activity\nid: 3\ndata: " +
                         kRetrying[0].dump() + "\n\nevent: job\nid: 4\ndata: " + completed.dump() +
                         "\n\n";
    vtr::test::TempDir locator;
    ControlStub stub(locator.path(), {running}, {200, "[]"}, {200, stream});
    std::ostringstream out, err;
    EXPECT_EQ(UploadCommands(locator.path(), out, err)
                  .watch({"job-1"}, false, false, std::chrono::milliseconds(1)),
              0)
        << err.str();
    EXPECT_THAT(out.str(), HasSubstr("job-1  running, retrying UploadChunk (attempt 3) in 12 s"));
    EXPECT_THAT(out.str(), HasSubstr("job-1  completed  100.0%"));
    EXPECT_EQ(stub.requestsFor("/events"), 1u);
    EXPECT_EQ(stub.requestsFor("/jobs/job-1") + stub.requestsFor("/activity"), 0u);
}
