// The status page's files as the API serves them: their types, and the headers that keep other
// sites from framing or reinterpreting them. How the page behaves is the browser test's (tests/ui).
#include "ControlAPIFixture.h"

namespace vtr::test {
namespace {

TEST_F(ControlAPITest, StatusPageFilesAreServedToThePageItselfOnly) {
    // The page's own requests carry its loopback Origin. (Other sites get nothing: the
    // hardening tests.)
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

}  // namespace
}  // namespace vtr::test
