// The upload operation through the real SOAP client and HTTP transport against the
// fake-recording-service executable on loopback. (An https service whose authority is not
// trusted is the end-to-end trust tests' case.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "OperationHarness.h"
#include "foundation/VTRDataAdditions.h"
#include "support/FakeService.h"
#include "upload/VTRUploadServiceWithVerify.h"

namespace vtr::test {
namespace {

constexpr size_t kMiB = 1024 * 1024;

TEST(UploadIntegrationTest, FileArrivesIdenticalThroughErrorsDropsAndAnOutOfOrderAnswer) {
    const size_t size = 20 * kMiB;
    OperationHarness h;
    FakeService service(h.dir.file("service-data"), {"--chunk-size", std::to_string(kMiB)});
    ASSERT_TRUE(service.started());
    const std::string content = randomBytes(size, 21);
    // Short real pauses, without jitter, so injected faults cost little time.
    h.useRealPauses(0.01);
    h.retry->setRandomSource([] { return UINT32_MAX / 2; });
    h.maxUploadRetries = 5;
    auto operation =
        h.make({makeFileInfo(h.makeFile("recording.mov", content), "recording.mov", 0)},
               &h.delegate, std::make_unique<VTRUploadServiceWithVerify>(service.url()));
    nlohmann::json rules = nlohmann::json::array();
    auto rule = [&](size_t offset, const char* action, int count, nlohmann::json more = {}) {
        more.update(
            {{"method", "UploadChunk"}, {"offset", offset}, {"action", action}, {"count", count}});
        rules.push_back(more);
    };
    // Every chunk's first attempt meets a 500.
    for (size_t offset = 0; offset < size; offset += kMiB)
        rule(offset, "status", 1, {{"status", 500}});
    // Then the chunk at 5 MiB is refused as out of order, which restarts the whole file...
    rule(5 * kMiB, "status", 1, {{"status", 500}, {"error_code", "OutOfOrderUploadChunk"}});
    // ...and the one at 12 MiB loses its connection (twice: the transport resends once).
    rule(12 * kMiB, "drop", 2);
    ASSERT_TRUE(service.control("POST", "/control/faults", rules).is_object());

    ASSERT_TRUE(h.run(operation, std::chrono::seconds(180)));
    nlohmann::json files = service.control("GET", "/control/files");
    ASSERT_EQ(files["files"].size(), 1u);
    nlohmann::json stored = files["files"][0];
    EXPECT_EQ(stored["session"], "session-1");
    EXPECT_EQ(stored["file"], "recording.mov");
    EXPECT_EQ(stored["md5"], base64String(md5Digest(content)));
    EXPECT_EQ(stored["closed"], true);
    EXPECT_EQ(h.delegate.reportsOf("uploaded").back().bytes, size);
    EXPECT_EQ(h.delegate.kinds().end()[-2], "closed");
    std::vector<Report> restarts = h.delegate.reportsOf("restarted");
    ASSERT_EQ(restarts.size(), 1u);
    const VTRValue* code = find(restarts[0].error->userInfo(), "X-VTRErrorCode");
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->stringValue(), "OutOfOrderUploadChunk");

    nlohmann::json faults = service.control("GET", "/control/faults");
    ASSERT_TRUE(faults.is_object());
    for (const auto& rule : faults["faults"]) EXPECT_GE(rule["fired"].get<int>(), 1) << rule.dump();
}

}  // namespace
}  // namespace vtr::test
