// The status page's files as the API serves them: their types and the headers that keep other
// sites from framing or reinterpreting them, and the page's own requests next to a foreign
// site's. How the page behaves is the browser test's (tests/ui).
#include "ControlAPIFixture.h"

namespace vtr::test {
namespace {

TEST_F(ControlAPITest, StatusPageFilesCarryTheirTypeAndProtectiveHeaders) {
    const std::vector<std::tuple<std::string, std::string, std::string>> files = {
        {"/ui", "text/html; charset=utf-8", R"(<script src="/ui/app.js" defer></script>)"},
        {"/ui/", "text/html; charset=utf-8", "<!DOCTYPE html>"},
        {"/ui/app.js", "text/javascript; charset=utf-8", "new EventSource('/events')"},
        {"/ui/app.css", "text/css; charset=utf-8", "prefers-color-scheme: dark"}};
    for (const auto& [path, type, part] : files) {
        SCOPED_TRACE(path);
        RawReply reply = send("GET", path);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("Content-Type"), type);
        EXPECT_NE(reply.body.find(part), std::string::npos);
        EXPECT_EQ(reply.header("Content-Security-Policy"),
                  "default-src 'self'; frame-ancestors 'none'");
        EXPECT_EQ(reply.header("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(reply.header("Referrer-Policy"), "no-referrer");
    }
    EXPECT_EQ(send("GET", "/ui/index.html").status, 405);
    EXPECT_EQ(send("POST", "/ui", "").status, 405);
}

// The page sends its own loopback address as the Origin of its changes; a page of another
// site, or one that reached the daemon under another name, gets nothing.
TEST_F(ControlAPITest, ThePageServesItsOwnOriginOnlyAndUnderALoopbackHostOnly) {
    std::string page = fmt::format("Host: 127.0.0.1:{0}\r\nOrigin: http://127.0.0.1:{0}\r\n", port);
    std::string otherSite = kLoopbackHost + "Origin: http://evil.example\r\n";
    std::string rebound = "Host: evil.example:" + std::to_string(port) + "\r\n";
    const std::vector<std::tuple<std::string, std::string, std::string, int>> cases = {
        {page, "GET", "/ui", 200},           {page, "PUT", "/jobs/j", 201},
        {page, "PUT", "/jobs/j", 200},       {page, "DELETE", "/jobs/j", 200},
        {otherSite, "PUT", "/jobs/k", 403},  {otherSite, "GET", "/ui/app.js", 403},
        {rebound, "GET", "/ui", 403},        {rebound, "GET", "/ui/app.js", 403},
        {rebound, "GET", "/ui/app.css", 403}};
    for (const auto& [headers, method, path, status] : cases) {
        SCOPED_TRACE(method + " " + path + " with " + headers);
        std::optional<std::string> body;
        if (method == "PUT") body = jobInput(path.substr(6), "paused").dump();
        RawReply reply = send(method, path, body, headers);
        EXPECT_EQ(reply.status, status);
        if (status == 403) {
            EXPECT_EQ(reply.body, "");
        }
    }
    EXPECT_TRUE(storedJobs().empty());
}

}  // namespace
}  // namespace vtr::test
