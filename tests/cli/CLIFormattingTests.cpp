// The client's own logic: reading a job's JSON and activity, the figures and texts printed for
// them (hostile fields escaped), job ids and file arguments; then show and watch against a stub
// of the daemon's control API. The locator files are CLILocatorTrustTests'.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

#include "ExitStatus.h"
#include "JobActivity.h"
#include "JobSummary.h"
#include "RecordingConnection.h"
#include "UploadCommands.h"
#include "httpserver/HTTPDataResponse.h"
#include "support/TestSupport.h"

using namespace vtr::cli;
using nlohmann::json;
using testing::HasSubstr;

namespace {

json jobWithFiles(const std::string& state,
                  std::vector<std::tuple<uint64_t, uint64_t, bool>> files) {
    json list = json::array();
    int n = 0;
    for (auto [uploaded, total, closed] : files) {
        list.push_back({{"local_path", "/data/f" + std::to_string(n)},
                        {"remote_path", "r" + std::to_string(n)},
                        {"bytes_uploaded", uploaded},
                        {"total_bytes", total},
                        {"closed", closed}});
        ++n;
    }
    return {{"id", "job-1"},       {"server_url", "http://h/s"}, {"session_id", "s"},
            {"state", state},      {"error", nullptr},           {"error_type", "none"},
            {"restarting", false}, {"file_list", list}};
}

// A running job whose session id would retitle the terminal and clear it.
json hostileJob() {
    json job = jobWithFiles("running", {{100, 400, false}});
    job["session_id"] = "s\x1b]0;owned\x07\x1b[2J";
    return job;
}

using Answer = std::pair<int, std::string>;  // status, body

// The daemon's control API on loopback with canned answers, named by locator files in
// `locator` (with this live process): the n-th GET /jobs/job-1 gets the n-th of `jobs`, the
// last one repeating; GET /events gets `events` (by default 405, as from an older daemon); any
// other request gets `activity`.
struct ControlStub : vtr::test::RecordingServer {
    // The n-th request of /jobs/job-1 or /events gets the n-th answer, or the last.
    ControlStub(const std::string& locator, std::vector<json> jobs, Answer activity,
                std::vector<Answer> events = {{405, ""}})
        : RecordingServer(
              {}, std::chrono::seconds(30),
              [this, jobs, activity, events](const vtr::HTTPMessage& request, std::string) {
                  vtr::HTTPHeaderList type{{"Content-Type", "application/json"}};
                  if (request.url() == "/events") {
                      const Answer& answer =
                          events[std::min(requestsFor("/events"), events.size()) - 1];
                      return std::make_unique<vtr::HTTPDataResponse>(
                          answer.second, answer.first,
                          vtr::HTTPHeaderList{{"Content-Type", "text/event-stream"}});
                  }
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

const json kRetrying = json::array({{{"id", "job-1"},
                                     {"phase", "waiting_to_retry"},
                                     {"file", "take.mov"},
                                     {"bytes_per_second", 0},
                                     {"retry",
                                      {{"method", "UploadChunk"},
                                       {"attempt", 3},
                                       {"next_attempt_in_seconds", 11.6},
                                       {"reason", "SSL certificate problem"}}}}});

}  // namespace

TEST(JobSummaryTest, SumsFilesCountsClosedOnesAndNeverShowsMoreThanEverything) {
    struct Case {
        std::string state;
        std::vector<std::tuple<uint64_t, uint64_t, bool>> files;
        double percent;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"running",
         {{100, 400, false}, {600, 600, true}, {0, 1000, false}},
         35.0,
         "job-1  running  35.0%  700 B of 2.0 KiB  1/3 files closed"},
        // Sizes are read by the daemon when the upload starts; until then they are 0.
        {"paused", {{0, 0, false}}, 0.0, "job-1  paused  0.0%  0 B of 0 B  0/1 files closed"},
        {"completed", {}, 100.0, "job-1  completed  100.0%  0 B of 0 B  0/0 files closed"},
        // A stale count above the size.
        {"running",
         {{900, 300, false}},
         100.0,
         "job-1  running  100.0%  900 B of 300 B  0/1 files closed"},
    };
    for (const Case& c : cases) {
        auto job = JobSummary::fromJSON(jobWithFiles(c.state, c.files));
        EXPECT_DOUBLE_EQ(job.percentDone(), c.percent) << c.line;
        EXPECT_EQ(listLine(job), c.line);
    }
}

TEST(JobSummaryTest, ToleratesNullsMissingKeysAndWrongTypes) {
    json odd = {{"id", "x"},
                {"state", 5},
                {"error", nullptr},
                {"file_list", json::array({json{{"local_path", 3}, {"bytes_uploaded", "9"}},
                                           json("not an object"), json{{"total_bytes", -4}}})}};
    auto job = JobSummary::fromJSON(odd);
    EXPECT_EQ(job.id, "x");
    EXPECT_EQ(job.state, "unknown");
    EXPECT_TRUE(job.error.empty());
    ASSERT_EQ(job.files.size(), 2u);
    EXPECT_EQ(job.bytesUploaded(), 0u);
    EXPECT_EQ(job.totalBytes(), 0u);
    EXPECT_TRUE(JobSummary::fromJSON(json::array()).id.empty());
}

// An errored job whose fields carry terminal control sequences: show and list print every
// field escaped, one line per line of output and no control character but the line feeds.
TEST(JobSummaryTest, ShowAndListPrintEveryFieldEscaped) {
    json hostile = jobWithFiles("errored", {{10, 20, false}, {20, 20, true}});
    hostile["id"] = "job\x1b[2J";
    hostile["session_id"] = "s\x1b]0;owned\x07\rDone.\nforged";
    hostile["error"] =
        "bad\x9b"
        "1m \xc2\x9b"
        "1m";
    hostile["error_type"] = "upload\x7f";
    hostile["file_list"][0]["local_path"] = "/data/\x1b[1;1Hclip.mov";
    hostile["file_list"][0]["remote_path"] = "r\tem\xc3\xa9";
    auto job = JobSummary::fromJSON(hostile);
    EXPECT_EQ(showText(job), R"(Job job\x1b[2J
  State:       errored
  Server:      http://h/s
  Session:     s\x1b]0;owned\x07\rDone.\nforged
  Error:       bad\x9b1m \xc2\x9b1m (while: upload\x7f)
  Progress:    75.0%, 30 B of 40 B, 1 of 2 files closed
  Files:
    /data/\x1b[1;1Hclip.mov -> r\temé  10 B of 20 B
    /data/f1 -> r1  20 B of 20 B  closed
)");
    EXPECT_EQ(listLine(job), R"(job\x1b[2J  errored  75.0%  30 B of 40 B  1/2 files closed  )"
                             R"(error (upload\x7f): bad\x9b1m \xc2\x9b1m)");
}

// What GET /activity reports for a job, read leniently and shown by show.
TEST(JobActivityTest, ShowTellsThePhaseAndWhyAndWhenTheNextAttemptComes) {
    json answer = json::array(
        {kRetrying[0],
         {{"id", "job-2"},
          {"phase", "upload"},
          {"file", nullptr},
          {"bytes_per_second", 1572864.0},
          {"retry", nullptr}},
         {{"id", "job-3"}, {"phase", 7}, {"retry", {{"reason", "\x1b]0;owned\x07\nforged"}}}},
         "not an object"});
    auto activities = JobActivity::listFromJSON(answer);
    ASSERT_TRUE(activities.has_value());
    ASSERT_EQ(activities->size(), 3u);
    EXPECT_FALSE(JobActivity::listFromJSON(json::object()).has_value());

    // The text for a retry (the seconds rounded) is ShowActivityTest's, which compares show's
    // whole output.
    auto job = JobSummary::fromJSON(jobWithFiles("running", {{100, 400, false}}));
    std::string uploading = showText(job, &activities->at("job-2"));
    EXPECT_THAT(uploading, HasSubstr("  Activity:    upload, 1.5 MiB/s\n  Files:"));

    const JobActivity& odd = activities->at("job-3");
    ASSERT_TRUE(odd.retry.has_value());
    EXPECT_EQ(activityNote(odd), "retrying (attempt 0) in 0 s: \\x1b]0;owned\\x07\\nforged");
    EXPECT_EQ(activityNote(activities->at("job-2")), "");
    EXPECT_EQ(activityNote(JobActivity{"j", "waiting_for_network", "", 0, std::nullopt}),
              "waiting for a network");
}

TEST(FormatTest, BytesAndDurations) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(1023), "1023 B");
    EXPECT_EQ(formatBytes(1024), "1.0 KiB");
    EXPECT_EQ(formatBytes(1536), "1.5 KiB");
    EXPECT_EQ(formatBytes(1ull << 20), "1.0 MiB");
    EXPECT_EQ(formatBytes(210ull << 20), "210.0 MiB");
    EXPECT_EQ(formatBytes(5ull << 29), "2.50 GiB");
    EXPECT_EQ(formatDuration(7), "0:07");
    EXPECT_EQ(formatDuration(725), "12:05");
    EXPECT_EQ(formatDuration(3723), "1:02:03");
    EXPECT_EQ(formatDuration(-1), "--:--");
}

// New ids are distinct version 4 UUIDs; ids that cannot be addressed are refused.
TEST(JobIDTest, NewIDsAreDistinctUUIDsAndUnaddressableIDsAreRefused) {
    std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = makeUUID();
        EXPECT_TRUE(std::regex_match(id, uuid)) << id;
        EXPECT_TRUE(seen.insert(id).second) << id;
        EXPECT_EQ(problemWithJobID(id, true), "");
    }
    for (std::string id : {"", ".", "..", "a b", "tab\there", "nl\n"}) {
        EXPECT_NE(problemWithJobID(id, false), "") << id;
        EXPECT_NE(problemWithJobID(id, true), "") << id;
    }
    // Lookups pass these through so that the daemon's own answer is reported; new jobs refuse.
    for (std::string id : {"a/b", "a?b", "a#b", "a%2Fb"}) {
        EXPECT_EQ(problemWithJobID(id, false), "") << id;
        EXPECT_NE(problemWithJobID(id, true), "") << id;
    }
}

TEST(FileArgumentTest, SplitsAtTheLastEqualsUnlessTheWholeArgumentIsAFile) {
    vtr::test::TempDir dir;
    std::string odd = dir.file("odd=name");
    vtr::test::writeFile(odd, "x");
    using Split = std::pair<std::string, std::string>;
    for (const auto& [argument, expected] : std::vector<std::pair<std::string, Split>>{
             {"/x/take.mov", {"/x/take.mov", "take.mov"}},
             {"/x/a=b.mov=remote.mov", {"/x/a=b.mov", "remote.mov"}},
             {"/x/take.mov=", {"/x/take.mov", ""}},
             {odd, {odd, "odd=name"}}})
        EXPECT_EQ(splitFileArgument(argument), expected);
}

// ---- show and watch against a stub of the daemon's control API on loopback with canned
// answers: the upload's activity where the daemon reports one, the output of before where it
// answers /activity with 404 or 405, and --json left as it was.

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
    ControlStub stub(locator.path(), {running}, {200, "[]"}, {{200, stream}});
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

// A stream the daemon ends is followed by a new one, whose listing alone says which jobs exist:
// a job deleted in between is reported removed (not waited for), and bars are redrawn in place.
TEST(WatchActivityTest, AJobGoneWhileTheStreamWasRenewedIsReportedRemoved) {
    json running = hostileJob();
    std::string first =
        "event: job\nid: 1\ndata: " + running.dump() + "\n\nevent: ready\nid: 2\n" + "data: {}\n\n";
    std::string second = "event: ready\nid: 3\ndata: {}\n\n";
    vtr::test::TempDir locator;
    // A third stream, which a watcher that still waits for the job would open, fails.
    ControlStub stub(locator.path(), {running}, {200, "[]"},
                     {{200, first}, {200, second}, {500, ""}});
    std::ostringstream out, err;
    EXPECT_EQ(UploadCommands(locator.path(), out, err)
                  .watch({"job-1"}, false, true, std::chrono::milliseconds(1)),
              ExitJobNotFound);
    EXPECT_EQ(err.str(), "vantrel-upload: job job-1 was removed\n");
    EXPECT_EQ(stub.requestsFor("/events"), 2u);
    // The second picture moves the cursor back up over the first.
    EXPECT_THAT(out.str(), HasSubstr("\x1b[1A"));
}
