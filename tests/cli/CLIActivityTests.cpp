// The commands that show a job (show, watch) against a stub of the daemon's control API on
// 127.0.0.1 with canned answers: the upload's activity where the daemon reports one, the
// output of before where it answers /activity with 404 or 405, and --json left as it was.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "JobSummary.h"
#include "UploadCommands.h"
#include "logging/VTRFileDescriptor.h"
#include "support/TestSupport.h"

using namespace vtr::cli;
using nlohmann::json;
using vtr::VTRFileDescriptor;

namespace {

using Answer = std::pair<int, std::string>;  // status, body

// Answers GET requests from a table of path -> answers, one request per connection: the n-th
// request for a path gets its n-th answer, the last one repeating; other paths get 404. Counts
// the requests per path. Its thread serves until destruction.
class ControlStub {
  public:
    explicit ControlStub(std::map<std::string, std::vector<Answer>> answers)
        : answers_(std::move(answers)),
          listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
          stop_(eventfd(0, EFD_CLOEXEC)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_.get(), 8) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ControlStub() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = write(stop_.get(), &one, sizeof one);
        if (thread_.joinable()) thread_.join();
    }

    uint16_t port() const { return port_; }
    int requestsFor(const std::string& path) {
        std::lock_guard lock(mutex_);
        return counts_[path];
    }

    // Locator files in `directory` naming this stub (and this live process).
    void publish(const std::string& directory) const {
        vtr::test::writeFile(directory + "/UploadDaemon.port", std::to_string(port_));
        vtr::test::writeFile(directory + "/UploadDaemon.pid", std::to_string(getpid()));
    }

  private:
    void serve() {
        for (;;) {
            pollfd ready[2] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
            if (poll(ready, 2, -1) < 0 || ready[1].revents) return;
            VTRFileDescriptor connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (connection.valid()) answer(connection.get());
        }
    }

    void answer(int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) return;
            request.append(buffer, static_cast<size_t>(got));
        }
        std::istringstream line(request);
        std::string method, path;
        line >> method >> path;
        int count = 0;
        {
            std::lock_guard lock(mutex_);
            count = ++counts_[path];
        }
        auto found = answers_.find(path);
        Answer none(404, "");
        const Answer& chosen =
            found == answers_.end() || found->second.empty()
                ? none
                : found->second[std::min<size_t>(static_cast<size_t>(count), found->second.size()) -
                                1];
        const auto& [status, body] = chosen;
        std::string reply = "HTTP/1.1 " + std::to_string(status) +
                            " Stub\r\nContent-Type: application/json\r\nConnection: close\r\n"
                            "Content-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body;
        [[maybe_unused]] ssize_t ignored = write(fd, reply.data(), reply.size());
    }

    std::map<std::string, std::vector<Answer>> answers_;
    VTRFileDescriptor listener_;
    VTRFileDescriptor stop_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, int> counts_;
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

TEST(WatchActivityTest, LinesCarryTheRetryAndAnOlderDaemonIsAskedOnce) {
    json running = hostileJob();
    json completed = hostileJob();
    completed["state"] = "completed";
    for (Answer activity : {Answer(200, kRetrying.dump()), Answer(405, "")}) {
        SCOPED_TRACE(activity.first);
        vtr::test::TempDir locator;
        ControlStub stub({{"/jobs/job-1",
                           {{200, running.dump()}, {200, running.dump()}, {200, completed.dump()}}},
                          {"/activity", {activity}}});
        stub.publish(locator.path());
        std::ostringstream out, err;
        EXPECT_EQ(UploadCommands(locator.path(), out, err)
                      .watch({"job-1"}, false, false, std::chrono::milliseconds(1)),
                  0)
            << err.str();
        bool reported = activity.first == 200;
        EXPECT_EQ(out.str().find("job-1  running, retrying UploadChunk (attempt 3) in 12 s: SSL "
                                 "certificate problem  25.0%"),
                  reported ? 0 : std::string::npos)
            << out.str();
        EXPECT_EQ(stub.requestsFor("/activity"), reported ? 3 : 1);
        EXPECT_EQ(stub.requestsFor("/jobs/job-1"), 3);
    }
}
