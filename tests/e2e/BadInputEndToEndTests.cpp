// A daemon holding jobs fed a thousand malformed requests while a slow client trickles bytes:
// it keeps answering well-formed requests, and every stored job comes out unchanged.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <random>
#include <thread>

#include "EndToEndFixture.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;

// The job as a comparable value: file order in the list is not defined.
nlohmann::json normalised(nlohmann::json job) {
    if (job.is_object() && job["file_list"].is_array()) {
        std::sort(job["file_list"].begin(), job["file_list"].end(),
                  [](const nlohmann::json& a, const nlohmann::json& b) {
                      return a.value("local_path", "") < b.value("local_path", "");
                  });
    }
    return job;
}

std::string putRequest(const std::string& id, const std::string& body) {
    return "PUT /jobs/" + id +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Sends one byte of a valid request per second until told to stop.
class TricklingClient {
  public:
    explicit TricklingClient(uint16_t port) : thread_([this, port] { run(port); }) {}
    ~TricklingClient() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    int bytesSent() const { return sent_; }

  private:
    void run(uint16_t port) {
        const std::string request = "GET /jobs HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: ";
        int fd = connectLoopback(port, 5s);
        if (fd < 0) return;
        std::unique_lock<std::mutex> lock(mutex_);
        for (size_t i = 0; !stop_; i = (i + 1) % request.size()) {
            if (::send(fd, &request[i], 1, MSG_NOSIGNAL) != 1) break;
            ++sent_;
            // The pace of this client is the point of it, not a wait for something.
            wake_.wait_for(lock, 1s, [this] { return stop_; });
        }
        ::close(fd);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<int> sent_{0};
    std::thread thread_;
};

TEST_F(EndToEndTest, ThousandMalformedRequestsLoseNoStoredJobAndNeverStopService) {
    // Jobs that do not upload (paused, completed), so that nothing but bad input could change them.
    std::vector<std::string> ids{"keep-a", "keep-b", "keep-c"};
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(daemon_->putJob(jobJSON(ids[i], service_->url(), "s-" + ids[i],
                                          {{"/nonexistent/a" + std::to_string(i), "a.mov"},
                                           {"/nonexistent/b" + std::to_string(i), "b.mov"}},
                                          i == 2 ? "completed" : "paused")),
                  201);
    }
    std::map<std::string, nlohmann::json> before;
    for (const auto& id : ids) {
        before[id] = normalised(daemon_->job(id));
        ASSERT_TRUE(before[id].is_object());
    }

    // Bodies of the right syntax but the wrong types; none may change a job.
    const std::vector<std::string> wrongTypes{
        R"({"state": 3})",
        R"({"state": ["running"]})",
        R"({"session_id": 17})",
        R"({"server_url": {"a": 1}})",
        R"({"file_list": "a.mov"})",
        R"({"file_list": [1, 2]})",
        R"({"file_list": [{"local_path": 5, "remote_path": "x"}]})",
        R"({"file_list": [{"remote_path": "only-remote"}]})",
        R"({"restarting": "yes"})",
        R"({"state": null, "file_list": {}})",
        R"([])",
        R"([{"id": "keep-a"}])",
        R"("running")",
        R"(17)",
    };
    const std::vector<std::string> notJSON{
        "", "{", "{\"state\": ", "}{", "\xff\xfe\x00\x01", "{\"state\": \"paused\"", "null"};

    TricklingClient trickler(daemon_->port());
    std::mt19937 random(12345);
    int wellFormedFailures = 0;
    int acceptedWrongTypes = 0;
    int serverErrors = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::string& id = ids[random() % ids.size()];
        std::string response;
        switch (i % 8) {
            case 0: {  // random bytes; half end like a header block and get an answer
                std::string noise(1 + random() % 3000, '\0');
                for (char& c : noise) c = static_cast<char>(random());
                bool terminated = random() % 2 == 0;
                if (terminated) noise += "\r\n\r\n";
                response = rawExchange(daemon_->port(), noise, terminated ? 10s : 20ms);
                break;
            }
            case 1: {  // headers cut off at a random point, then the connection closes
                std::string full = putRequest(id, R"({"state": "running"})");
                response = rawExchange(daemon_->port(),
                                       full.substr(0, random() % (full.size() - 30)), 20ms);
                break;
            }
            case 2: {
                response = rawExchange(
                    daemon_->port(), putRequest(id, wrongTypes[random() % wrongTypes.size()]), 10s);
                int status = statusOf(response);
                if (status >= 200 && status < 300) ++acceptedWrongTypes;
                break;
            }
            case 3:  // a huge Content-Length and no body
                response = rawExchange(daemon_->port(),
                                       "PUT /jobs/" + id +
                                           " HTTP/1.1\r\nHost: x\r\nContent-Length: "
                                           "99999999999999\r\n\r\n",
                                       200ms);
                break;
            case 4:
                response = rawExchange(daemon_->port(),
                                       putRequest(id, notJSON[random() % notJSON.size()]), 10s);
                break;
            case 5: {  // methods and paths outside the API
                const char* lines[] = {"BREW /jobs/", "DELETE /jobs/../jobs/", "GET /jobs/",
                                       "POST /jobs/"};
                std::string line = lines[random() % 4];
                response = rawExchange(daemon_->port(),
                                       line + id + "/extra HTTP/1.1\r\nHost: x\r\n\r\n", 10s);
                break;
            }
            case 6: {  // an oversized header line
                std::string huge(64 * 1024 + random() % 64 * 1024, 'h');
                response = rawExchange(daemon_->port(),
                                       "GET /jobs HTTP/1.1\r\nX-Huge: " + huge + "\r\n\r\n", 10s);
                break;
            }
            case 7: {  // lengths that are no numbers, and mismatched lengths
                const char* lengths[] = {"-5", "abc", "1e9", "18446744073709551616", ""};
                response =
                    rawExchange(daemon_->port(),
                                "PUT /jobs/" + id + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                    lengths[random() % 5] + "\r\n\r\n{}",
                                2s);
                break;
            }
        }
        if (statusOf(response) >= 500) ++serverErrors;
        if (i % 25 == 24) {
            HTTPReply reply = httpRequest(daemon_->port(), "GET", "/jobs", {}, 10s);
            if (!reply.answered || reply.status != 200) ++wellFormedFailures;
        }
    }
    EXPECT_EQ(wellFormedFailures, 0);
    EXPECT_EQ(acceptedWrongTypes, 0) << "bodies of the wrong types were accepted";
    EXPECT_EQ(serverErrors, 0) << "malformed input answered as a server failure";
    EXPECT_GT(trickler.bytesSent(), 0);
    EXPECT_TRUE(daemon_->running());
    for (const auto& id : ids) EXPECT_EQ(normalised(daemon_->job(id)), before[id]) << id;
    nlohmann::json list =
        nlohmann::json::parse(daemon_->request("GET", "/jobs").body, nullptr, false);
    ASSERT_TRUE(list.is_array());
    EXPECT_EQ(list.size(), ids.size());
}

}  // namespace
}  // namespace vtr::test
