// The daemon uploading to a recording service behind an https front whose certificate comes
// from a test authority: refused (and saying why) until "-c" names the authority, then
// completed; and through a tunnelling proxy named by https_proxy, unless no_proxy covers the
// host.
#include <signal.h>

#include <gtest/gtest.h>

#include "support/ConnectProxy.h"
#include "support/FakeService.h"
#include "support/TLSFront.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;

class TrustEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service_.started());
        writeFile(authority_, front_.authorityPEM());
        writeFile(root_.file("take.mov"), randomBytes(kSize));
    }

    // Adds job `id` for take.mov through the front and waits until it is completed with every
    // byte uploaded.
    void uploadThroughTheFront(const std::string& id) {
        ASSERT_EQ(daemon_.putJob(jobJSON(id, front_.url("/Service.svc"), "s-" + id,
                                         {{root_.file("take.mov"), "take.mov"}})),
                  201);
        expectCompleted(id);
    }
    void expectCompleted(const std::string& id) {
        EXPECT_TRUE(
            waitUntil([&] { return daemon_.job(id).value("state", "") == "completed"; }, 60s))
            << daemon_.job(id).dump() << daemon_.output();
        EXPECT_EQ(bytesUploaded(daemon_.job(id)), kSize);
    }

    static constexpr uint64_t kSize = 200 * 1024;
    TempDir root_;
    FakeService service_{root_.file("service")};
    TLSFront front_{service_.port()};
    std::string authority_ = root_.file("authority.pem");
    UploadDaemon daemon_{root_.file("daemon")};
};

TEST_F(TrustEndToEndTest, AnUnknownAuthorityIsRefusedWithItsReasonUntilMinusCNamesIt) {
    ASSERT_TRUE(daemon_.start()) << daemon_.output();
    ASSERT_EQ(daemon_.putJob(jobJSON("tls", front_.url("/Service.svc"), "s-tls",
                                     {{root_.file("take.mov"), "take.mov"}})),
              201);
    std::string activity;
    EXPECT_TRUE(waitUntil([&] {
        activity = daemon_.request("GET", "/activity").body;
        return activity.find("SSL certificate problem") != std::string::npos;
    })) << activity;
    EXPECT_TRUE(service_.calls().empty());
    EXPECT_EQ(daemon_.stop(SIGTERM), 15);

    ASSERT_TRUE(daemon_.start({"-c", authority_})) << daemon_.output();
    expectCompleted("tls");
}

TEST_F(TrustEndToEndTest, HttpsProxyCarriesTheUploadUnlessNoProxyCoversTheHost) {
    ConnectProxy proxy;
    daemon_.setEnvironment({"https_proxy=" + proxy.url()});
    ASSERT_TRUE(daemon_.start({"-c", authority_})) << daemon_.output();
    uploadThroughTheFront("proxied");
    const size_t tunnels = proxy.tunnels();
    EXPECT_GE(tunnels, 1u);

    daemon_.setEnvironment({"https_proxy=" + proxy.url(), "no_proxy=127.0.0.1"});
    ASSERT_TRUE(daemon_.start({"-c", authority_})) << daemon_.output();
    uploadThroughTheFront("direct");
    EXPECT_EQ(proxy.tunnels(), tunnels);
}

}  // namespace
}  // namespace vtr::test
