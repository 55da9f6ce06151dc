// The control API against requests from elsewhere: the Host and Origin values a local client
// sends against those of a web page, and a connection that refuses the latter over real
// sockets; the status page's files, served with the headers that keep other sites from framing
// or reinterpreting them (how the page behaves is the browser test's, tests/ui); and a job's
// credentials kept out of every log line, console line and answer. The limits and peer check of
// the daemon's own server are DaemonStartTests'.

#include "ControlAPIFixture.h"
#include "api/VTRJobLogForm.h"
#include "api/VTRWebRequestPolicy.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

// ---- Host and Origin

using Policy = VTRWebRequestPolicy;
using Field = std::optional<std::string>;

TEST(WebRequestPolicyTest, LoopbackHostsWithOrWithoutAPortOnly) {
    for (std::string_view host : {"localhost", "LocalHost:8080", "127.0.0.1", "127.0.0.1:65535",
                                  "127.8.9.10:80", "[::1]", "[::1]:8080", "[0:0:0:0:0:0:0:1]:1"}) {
        EXPECT_TRUE(Policy::isLoopbackHost(host)) << host;
    }
    for (std::string_view host :
         {"evil.example", "evil.example:8080", "localhost.evil.example", "127.0.0.1.evil.example",
          "128.0.0.1:80", "[::2]:80", "[::1", "[::1]x", "localhost:http", "localhost:99999",
          "localhost:65536", "0x7f000001", "",
          // Two Host fields, as the server joins them.
          "localhost, evil.example"}) {
        EXPECT_FALSE(Policy::isLoopbackHost(host)) << host;
    }
}

TEST(WebRequestPolicyTest, OriginsOfLoopbackPagesOnly) {
    for (std::string_view origin : {"http://127.0.0.1:8080", "http://localhost:8080",
                                    "https://[::1]:8080", "HTTP://LOCALHOST"}) {
        EXPECT_TRUE(Policy::isLocalOrigin(origin)) << origin;
    }
    for (std::string_view origin : {"http://evil.example", "http://evil.example:8080",
                                    "https://127.0.0.1.evil.example", "file://", "ftp://127.0.0.1",
                                    "http://127.0.0.1:8080/path", "http://", "null", "NULL", ""}) {
        EXPECT_FALSE(Policy::isLocalOrigin(origin)) << origin;
    }
}

TEST(WebRequestPolicyTest, RefusalReasonNamesTheFirstForeignFieldEscaped) {
    struct Case {
        Field host;
        Field origin;
        Field reason;
    };
    const std::vector<Case> cases = {
        // Tools that speak HTTP/1.0 send no Host at all; local clients send no Origin.
        {std::nullopt, std::nullopt, std::nullopt},
        {"127.0.0.1:8080", std::nullopt, std::nullopt},
        {"localhost", "http://localhost:8080", std::nullopt},
        {"evil.example", std::nullopt,
         "the Host header \"evil.example\" names no loopback address"},
        {"evil.example", "http://evil.example",
         "the Host header \"evil.example\" names no loopback address"},
        {"127.0.0.1", "http://evil.example",
         "the request comes from the web page \"http://evil.example\""},
        // A sandboxed frame of any site sends "null".
        {std::nullopt, "null", "the request comes from the web page \"null\""},
        // A tab and bytes beyond ASCII reach the log only escaped.
        {"evil\t\xc3\xa9.example", std::nullopt,
         "the Host header \"evil\\t\\xc3\\xa9.example\" names no loopback address"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Policy::refusalReason(c.host, c.origin), c.reason)
            << c.host.value_or("(none)") << " " << c.origin.value_or("(none)");
    }
}

using WebRequestTest = ControlAPITest;

// A page that reaches the daemon under another name (DNS rebinding), or sends its own Origin
// with a loopback Host, can neither read, change nor restart anything, even on a connection
// that a local client used before.
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
            // Each on a keep-alive connection of its own that served a local request first;
            // the refusal closes it.
            RawHTTPClient client(port);
            auto served = client.exchange(requestText("GET", "/"));
            ASSERT_TRUE(served && served->status == 200);
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
    EXPECT_EQ(limiter->rate(), 0u) << "the upload limit is unchanged";
    EXPECT_EQ(this->jobs->calls(), std::vector<std::string>{"upload kept"});
    loop.runFor(restartDelay * 2);
    EXPECT_TRUE(exits().empty()) << "the restart was not scheduled";
}

// ---- the status page

TEST_F(ControlAPITest, StatusPageFilesAreServedToThePageItselfOnly) {
    // The page's own requests carry its loopback Origin. (Other sites get nothing: above.)
    std::string page = fmt::format("Host: 127.0.0.1:{0}\r\nOrigin: http://127.0.0.1:{0}\r\n", port);
    const std::vector<std::tuple<std::string, std::string, std::string>> files = {
        {"/ui", "text/html; charset=utf-8", R"(<script src="/ui/app.js" defer></script>)"},
        {"/ui/", "text/html; charset=utf-8", "<!DOCTYPE html>"},
        {"/ui/app.js", "text/javascript; charset=utf-8", "new EventSource('/events')"},
        {"/ui/app.css", "text/css; charset=utf-8", "prefers-color-scheme: dark"}};
    for (const auto& [path, type, part] : files) {
        SCOPED_TRACE(path);
        RawReply reply = send("GET", path, std::nullopt, page);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("Content-Type"), type);
        EXPECT_NE(reply.body.find(part), std::string::npos);
        EXPECT_EQ(reply.header("Content-Security-Policy"),
                  "default-src 'self'; frame-ancestors 'none'");
        EXPECT_EQ(reply.header("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(reply.header("Referrer-Policy"), "no-referrer");
    }
    EXPECT_EQ(send("PUT", "/jobs/j", jobInput("j", "paused").dump(), page).status, 201);
    EXPECT_EQ(send("GET", "/ui/index.html").status, 405);
}

// ---- credentials

constexpr std::string_view kSecret = "pa55-SECRET";

// The log form of bodies that are not jobs: the credentials they carry are masked however the
// text is broken, and the parser's message does not quote them.
TEST(JobLogFormTest, CredentialsInABodyThatDoesNotParseAreMasked) {
    const std::string s(kSecret);
    const std::vector<std::string> bodies = {
        R"({"id":"a","credentials":")" + s + R"(","file_list":[)",  // cut short
        R"([{"id":"a","credentials":")" + s + R"("}])",             // an array
        R"({"credentials" :  ")" + s + R"(\"-and-more"})" + "}",    // escaped quote, extra brace
        R"({"id":"a","credentials":")" + s,                         // unterminated string
        R"({"id":"a","credentials": )" + s + R"(, "x": 1})",        // a bare word
        R"("credentials")",                                         // only the name
    };
    for (const std::string& body : bodies) {
        std::string shown = describeUnparsedBody(body);
        EXPECT_EQ(shown.find(s), std::string::npos) << shown;
        EXPECT_EQ(shown.find("-and-more"), std::string::npos) << shown;
        try {
            EXPECT_FALSE(nlohmann::json::parse(body).is_object()) << "not a job: " << body;
        } catch (const nlohmann::json::exception& exception) {
            std::string message = parserMessageWithoutInput(exception.what());
            EXPECT_EQ(message.find(s.substr(0, 4)), std::string::npos) << message;
        }
    }
    EXPECT_EQ(describeUnparsedBody(bodies[0]),
              R"({"id":"a","credentials":"********","file_list":[)")
        << "the rest of the body is still shown";
    EXPECT_EQ(describeUnparsedBody(bodies[5]), R"("credentials")");
}

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

    EXPECT_TRUE(log.containsPart("PUT /jobs/secretive (")) << "the job was logged";
    EXPECT_TRUE(log.containsPart("\"credentials\":\"********\""));
    EXPECT_TRUE(anyContains(console(), "Failed to parse job from request"));
    const std::string part = std::string(kSecret).substr(0, 8);
    EXPECT_FALSE(log.containsPart(part));
    EXPECT_FALSE(anyContains(console(), part));
    EXPECT_EQ(send("GET", "/jobs/secretive").body.find(part), std::string::npos);
}

}  // namespace
}  // namespace vtr::test
