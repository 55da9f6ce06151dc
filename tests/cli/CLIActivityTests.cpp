// The commands that show a job (show, watch) against a stub of the daemon's control API on
// loopback with canned answers: the upload's activity where the daemon reports one, the
// output of before where it answers /activity with 404 or 405, and --json left as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

#include "JobSummary.h"
#include "UploadCommands.h"
#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPServer.h"
#include "support/TestSupport.h"

using namespace vtr::cli;
using nlohmann::json;

namespace {

using Answer = std::pair<int, std::string>;  // status, body

// Answers requests from a table of path -> answers: the n-th request for a path gets its n-th
// answer, the last one repeating; other paths get 404. Counts the requests per path.
class ControlStub {
  public:
    explicit ControlStub(std::map<std::string, std::vector<Answer>> answers)
        : answers_(std::move(answers)) {
        server_.setInterface("lo0");
        server_.setConnectionClass([this](const vtr::HTTPConfig& config) {
            return std::make_shared<Connection>(config, *this);
        });
        server_.start();
    }
    ~ControlStub() { server_.stop(); }

    uint16_t port() const { return server_.listeningPort(); }
    int requestsFor(const std::string& path) {
        std::lock_guard lock(mutex_);
        return counts_[path];
    }
    // Locator files in `directory` naming this stub (and this live process).
    void publish(const std::string& directory) const {
        vtr::test::writeFile(directory + "/UploadDaemon.port", std::to_string(port()));
        vtr::test::writeFile(directory + "/UploadDaemon.pid", std::to_string(getpid()));
    }

  private:
    struct Connection : vtr::HTTPConnection {
        Connection(const vtr::HTTPConfig& config, ControlStub& stub)
            : HTTPConnection(config), stub(stub) {}
        std::unique_ptr<vtr::HTTPResponse> httpResponseForMethod(const std::string&,
                                                                 const std::string& path) override {
            auto [status, body] = stub.answer(path);
            return std::make_unique<vtr::HTTPDataResponse>(
                body, status, vtr::HTTPHeaderList{{"Content-Type", "application/json"}});
        }
        ControlStub& stub;
    };

    Answer answer(const std::string& path) {
        std::lock_guard lock(mutex_);
        size_t count = static_cast<size_t>(++counts_[path]);
        auto found = answers_.find(path);
        if (found == answers_.end() || found->second.empty()) return {404, ""};
        return found->second[std::min(count, found->second.size()) - 1];
    }

    const std::map<std::string, std::vector<Answer>> answers_;
    std::mutex mutex_;
    std::map<std::string, int> counts_;
    vtr::HTTPServer server_;
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
        ControlStub stub({{"/jobs/job-1", {{200, job.dump()}}}, {"/activity", {c.activity}}});
        ASSERT_NE(stub.port(), 0);
        stub.publish(locator.path());
        std::ostringstream out, err;
        EXPECT_EQ(UploadCommands(locator.path(), out, err).show("job-1", c.json), 0) << err.str();
        EXPECT_EQ(out.str(), c.expected);
        EXPECT_EQ(stub.requestsFor("/activity"), c.json ? 0 : 1);
    }
    EXPECT_NE(plain.find("Session:     s\\x1b]0;owned\\x07\\x1b[2J\n"), std::string::npos) << plain;
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
        ControlStub stub(
            {{"/jobs/job-1", {{200, running.dump()}, {200, running.dump()}, {200, end.dump()}}},
             {"/activity", {activity}}});
        stub.publish(locator.path());
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
        EXPECT_EQ(stub.requestsFor("/activity"), reported ? 3 : 1);
        EXPECT_EQ(stub.requestsFor("/jobs/job-1"), 3);
    }
}
