// The status page's files as the API serves them: their types, the headers that keep other
// sites from framing or reinterpreting them, and who may load them. How the page behaves is the
// browser test's (tests/ui).
#include "ControlAPIFixture.h"

namespace vtr::test {
namespace {

TEST_F(ControlAPITest, StatusPageFilesAreServedToThePageItselfOnly) {
    // The page's own requests carry its loopback Origin; a site that reached the daemon under
    // its own name (DNS rebinding), or a page of another site, gets nothing.
    std::string page = fmt::format("Host: 127.0.0.1:{0}\r\nOrigin: http://127.0.0.1:{0}\r\n", port);
    std::string rebound = fmt::format("Host: evil.example:{}\r\n", port);
    std::string otherSite = kLoopbackHost + "Origin: http://evil.example\r\n";
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
        for (const std::string& foreign : {rebound, otherSite}) {
            RawReply refused = send("GET", path, std::nullopt, foreign);
            EXPECT_EQ(refused.status, 403) << foreign;
            EXPECT_EQ(refused.body, "") << foreign;
        }
    }
    EXPECT_EQ(send("PUT", "/jobs/j", jobInput("j", "paused").dump(), page).status, 201);
    EXPECT_EQ(send("GET", "/ui/index.html").status, 405);
}

}  // namespace
}  // namespace vtr::test
