// The daemon uploading to a recording service behind an https front whose certificate comes
// from a test authority: refused (and saying why) until "-c" names the authority, then
// completed through a tunnelling proxy named by https_proxy, and directly once no_proxy covers
// the host.
#include <gtest/gtest.h>

#include "support/ConnectProxy.h"
#include "support/FakeService.h"
#include "support/TLSFront.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;

TEST(TrustEndToEndTest, AnUnknownAuthorityIsRefusedUntilMinusCNamesItThenAProxyMayCarryTheUpload) {
    constexpr uint64_t kSize = 200 * 1024;
    TempDir root;
    FakeService service(root.file("service"));
    ASSERT_TRUE(service.started());
    TLSFront front(service.port());
    ConnectProxy proxy;
    const std::string authority = root.file("authority.pem");
    writeFile(authority, front.authorityPEM());
    writeFile(root.file("take.mov"), randomBytes(kSize));
    UploadDaemon daemon(root.file("daemon"));
    auto put = [&](const std::string& id) {
        return daemon.putJob(jobJSON(id, front.url("/Service.svc"), "s-" + id,
                                     {{root.file("take.mov"), "take.mov"}}));
    };
    auto completes = [&](const std::string& id) {
        return waitUntil([&] { return daemon.job(id).value("state", "") == "completed"; }, 60s) &&
               bytesUploaded(daemon.job(id)) == kSize;
    };

    ASSERT_TRUE(daemon.start()) << daemon.output();
    ASSERT_EQ(put("proxied"), 201);
    std::string activity;
    EXPECT_TRUE(waitUntil([&] {
        activity = daemon.request("GET", "/activity").body;
        return activity.find("SSL certificate problem") != std::string::npos;
    })) << activity;
    EXPECT_TRUE(service.calls().empty());

    // Started again, the job still running is queued again and now goes through the proxy.
    daemon.setEnvironment({"https_proxy=" + proxy.url()});
    ASSERT_TRUE(daemon.start({"-c", authority})) << daemon.output();
    EXPECT_TRUE(completes("proxied")) << daemon.job("proxied").dump() << daemon.output();
    const size_t tunnels = proxy.tunnels();
    EXPECT_GE(tunnels, 1u);

    daemon.setEnvironment({"https_proxy=" + proxy.url(), "no_proxy=127.0.0.1"});
    ASSERT_TRUE(daemon.start({"-c", authority})) << daemon.output();
    ASSERT_EQ(put("direct"), 201);
    EXPECT_TRUE(completes("direct")) << daemon.job("direct").dump() << daemon.output();
    EXPECT_EQ(proxy.tunnels(), tunnels);
}

}  // namespace
}  // namespace vtr::test
