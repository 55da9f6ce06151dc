// A daemon holding jobs fed a thousand malformed requests while a slow client trickles bytes:
// it keeps answering well-formed requests, and every stored job comes out unchanged. How the
// request reader treats malformed lengths, oversized lines and huge bodies is its own tests'.
#include <gtest/gtest.h>

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
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

TEST_F(EndToEndTest, ThousandMalformedRequestsLoseNoStoredJobAndNeverStopService) {
    // Jobs that do not upload (paused, completed), so that nothing but bad input could change them.
    std::vector<std::string> ids{"keep-a", "keep-b", "keep-c"};
    std::map<std::string, nlohmann::json> before;
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(daemon_->putJob(jobJSON(ids[i], service_->url(), "s-" + ids[i],
                                          {{"/nonexistent/a" + std::to_string(i), "a.mov"},
                                           {"/nonexistent/b" + std::to_string(i), "b.mov"}},
                                          i == 2 ? "completed" : "paused")),
                  201);
        before[ids[i]] = normalised(daemon_->job(ids[i]));
        ASSERT_TRUE(before[ids[i]].is_object());
    }

    // Bodies of the wrong types or no JSON object at all; none may change a job. (Which bodies
    // the control API refuses, and that it stores nothing of them, are its own tests' cases.)
    const std::vector<std::string> badBodies{R"({"state": 3})",
                                             R"({"file_list": [{"remote_path": "only-remote"}]})",
                                             R"([{"id": "keep-a"}])",
                                             "",
                                             "{\"state\": ",
                                             "\xff\xfe\x00\x01",
                                             "null"};

    // One byte of a valid request per second on a connection of its own, until the end.
    std::atomic<int> trickled{0};
    std::jthread trickler([&trickled, port = daemon_->port()](std::stop_token stop) {
        const std::string request = "GET /jobs HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: ";
        RawHTTPClient client(port);
        std::mutex mutex;
        std::condition_variable_any pace;
        std::unique_lock lock(mutex);
        for (size_t i = 0; client.connected() && !stop.stop_requested();
             i = (i + 1) % request.size()) {
            if (!client.send(request.substr(i, 1))) break;
            ++trickled;
            // The pace of this client is the point of it, not a wait for something.
            pace.wait_for(lock, stop, 1s, [] { return false; });
        }
    });

    std::mt19937 random(12345);
    int wellFormedFailures = 0, acceptedBadBodies = 0, serverErrors = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::string& id = ids[random() % ids.size()];
        std::string request;
        // What gets no answer is closed on, or left behind after a short wait.
        std::chrono::milliseconds timeout = 10s;
        switch (i % 4) {
            case 0: {  // random bytes; half end like a header block and get an answer
                request.resize(1 + random() % 3000);
                for (char& c : request) c = static_cast<char>(random());
                if (random() % 2 == 0)
                    request += "\r\n\r\n";
                else
                    timeout = 20ms;
                break;
            }
            case 1: {  // headers cut off at a random point, then the connection closes
                std::string full = putRequest(id, R"({"state": "running"})");
                request = full.substr(0, random() % (full.size() - 30));
                timeout = 20ms;
                break;
            }
            case 2: {  // methods and paths outside the API
                const char* lines[] = {"BREW /jobs/", "DELETE /jobs/../jobs/", "GET /jobs/",
                                       "POST /jobs/"};
                request = lines[random() % 4] + id + "/extra HTTP/1.1\r\nHost: x\r\n\r\n";
                break;
            }
            case 3:
                request = putRequest(id, badBodies[random() % badBodies.size()]);
                break;
        }
        RawHTTPClient client(daemon_->port());
        client.send(request);  // the server may close before it has read everything
        int status = client.readReply(false, timeout).value_or(RawReply{}).status;
        if (i % 4 == 3 && status >= 200 && status < 300) ++acceptedBadBodies;
        if (status >= 500) ++serverErrors;
        if (i % 25 == 24) {
            if (daemon_->request("GET", "/jobs").status != 200) ++wellFormedFailures;
        }
    }
    EXPECT_EQ(wellFormedFailures, 0);
    EXPECT_EQ(acceptedBadBodies, 0) << "bodies of the wrong types were accepted";
    EXPECT_EQ(serverErrors, 0) << "malformed input answered as a server failure";
    EXPECT_GT(trickled.load(), 0);
    EXPECT_TRUE(daemon_->running());
    for (const auto& id : ids) EXPECT_EQ(normalised(daemon_->job(id)), before[id]) << id;
    nlohmann::json list =
        nlohmann::json::parse(daemon_->request("GET", "/jobs").body, nullptr, false);
    ASSERT_TRUE(list.is_array());
    EXPECT_EQ(list.size(), ids.size());
}

}  // namespace
}  // namespace vtr::test
