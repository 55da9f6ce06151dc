// The Host and Origin values a local client sends against those of a web page, and the reason
// the log gives for a refusal. The API's hardening tests prove that the connection applies it.
#include <gtest/gtest.h>

#include "api/VTRWebRequestPolicy.h"

namespace vtr::test {
namespace {

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

}  // namespace
}  // namespace vtr::test
