// The control API against requests from elsewhere, over real sockets: the connection refuses
// what web pages send (a Host that is not a loopback name, a foreign Origin), and keeps a
// job's credentials out of every log line, console line and answer. The limits and peer check
// of the daemon's own server are DaemonStartTests'.

#include "ControlAPIFixture.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

// ---- Host and Origin

using WebRequestTest = ControlAPITest;

// A page that reaches the daemon under another name (DNS rebinding), or sends its own Origin
// with a loopback Host, can neither read, change nor restart anything.
TEST_F(WebRequestTest, APageCanNeitherReadNorChangeJobsNorRestartTheDaemon) {
    ASSERT_EQ(put("/jobs/kept", jobInput("kept", "running")).status, 201);
    json before = stored("kept");
    const std::vector<std::pair<std::string, std::string>> foreign = {
        {"Host: evil.example\r\n",
         "refused: the Host header \"evil.example\" names no loopback address"},
        {kLoopbackHost + "Origin: http://evil.example\r\n",
         "refused: the request comes from the web page \"http://evil.example\""},
    };
    using Request = std::tuple<std::string, std::string, std::optional<std::string>>;
    std::vector<Request> requests = {{"PUT", "/settings", R"({"upload_limit": 1})"},
                                     {"PUT", "/jobs/new", jobInput("new", "paused").dump()},
                                     {"PUT", "/jobs/kept", jobInput("kept", "paused").dump()},
                                     {"DELETE", "/jobs/kept", std::nullopt},
                                     {"POST", "/restart", ""}};
    for (const char* path :
         {"/jobs", "/jobs/kept", "/activity", "/events", "/metrics", "/settings", "/ui/app.js"})
        requests.push_back({"GET", path, std::nullopt});
    for (const auto& [headers, reason] : foreign) {
        for (const auto& [method, path, body] : requests) {
            // Each on a connection of its own, which the refusal closes.
            RawHTTPClient client(port);
            auto reply = client.exchange(requestText(method, path, body, headers));
            ASSERT_TRUE(reply) << method << path << headers;
            EXPECT_EQ(reply->status, 403) << method << path << headers;
            EXPECT_EQ(reply->body, "") << "nothing reaches the page";
            EXPECT_EQ(reply->header("Connection"), "close");
            EXPECT_TRUE(client.waitForClose());
        }
        EXPECT_TRUE(log.contains("POST /restart " + reason)) << reason;
    }
    EXPECT_EQ(storedJobs(), std::vector<json>{before});
    EXPECT_EQ(this->jobs->calls(), std::vector<std::string>{"upload kept"});
    loop.runFor(restartDelay * 2);
    EXPECT_TRUE(exits().empty()) << "the restart was not scheduled";
}

TEST_F(WebRequestTest, AKeepAliveConnectionThatTurnsForeignIsClosed) {
    RawHTTPClient client(port);
    auto first = client.exchange("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);
    auto second = client.exchange("GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, 403);
    EXPECT_EQ(second->header("Connection"), "close");
    EXPECT_TRUE(client.waitForClose());
}

// ---- credentials

constexpr const char* kSecret = "pa55-SECRET";

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

// Whatever a PUT carries - a job, an invalid one, one the service fails, or a body cut inside
// the secret - its credentials reach no log line, no console line and no answer.
TEST_F(ControlAPITest, CredentialsAppearInNoLogLineConsoleLineOrAnswer) {
    json job = jobInput("secretive", "paused");
    job["credentials"] = kSecret;
    EXPECT_EQ(put("/jobs/secretive", job).status, 201);
    EXPECT_EQ(put("/jobs/secretive", job).status, 200);
    json invalid = job;
    invalid.erase("server_url");
    invalid["id"] = "invalid";
    EXPECT_EQ(put("/jobs/invalid", invalid).status, 406);
    json mismatched = job;
    mismatched["id"] = "other";
    EXPECT_EQ(put("/jobs/mismatched", mismatched).status, 406);
    json badType = job;
    badType["state"] = 7;
    EXPECT_EQ(put("/jobs/secretive", badType).status, 406);
    std::string cut = job.dump();
    EXPECT_EQ(send("PUT", "/jobs/secretive", cut.substr(0, cut.find(kSecret) + 8)).status, 406);
    jobs->failWith(VTRError::withDescription("Test", 1, "the service failed"));
    job["state"] = "running";
    EXPECT_EQ(put("/jobs/secretive", job).status, 500);

    std::vector<std::string> lines = log.texts();
    EXPECT_TRUE(anyContains(lines, "PUT /jobs/secretive (")) << "the job was logged";
    EXPECT_TRUE(anyContains(lines, "\"credentials\":\"********\""));
    EXPECT_TRUE(anyContains(console(), "Failed to parse job from request"));
    const std::string part = std::string(kSecret).substr(0, 8);
    EXPECT_FALSE(anyContains(lines, part));
    EXPECT_FALSE(anyContains(console(), part));
    EXPECT_EQ(send("GET", "/jobs/secretive").body.find(part), std::string::npos);
}

// ---- the daemon's own server and files

}  // namespace
}  // namespace vtr::test
