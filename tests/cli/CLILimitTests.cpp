// The upload limit and the metrics against a real daemon and a real fake-recording-service:
// five uploads together keep to the limit, a change through `vantrel-upload limit` applies to
// them within a second and outlives a restart, and GET /metrics parses with the Prometheus
// project's own parser and counts a known upload exactly.
#include <gtest/gtest.h>

#include <chrono>

#include "support/FakeService.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

using namespace vtr::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

constexpr uint64_t MiB = 1 << 20;

CommandResult client(const UploadDaemon& daemon, const std::vector<std::string>& arguments) {
    return runCommand(clientCommand(daemon.locatorDirectory(), arguments), 60s);
}

int64_t unixMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Bytes per second of the chunks the service stored between `from` and `to` (Unix ms), once
// it has logged a chunk past `to`.
double chunkRate(const FakeService& service, int64_t from, int64_t to) {
    uint64_t bytes = 0;
    bool past = waitUntil(
        [&] {
            bytes = 0;
            bool later = false;
            for (const json& call : service.calls("UploadChunk")) {
                int64_t time = call.value("time_ms", int64_t{0});
                if (time >= from && time < to) bytes += call.value("length", uint64_t{0});
                later = later || time >= to;
            }
            return later;
        },
        std::chrono::milliseconds(to - unixMilliseconds()) + 30s, 200ms);
    EXPECT_TRUE(past) << "no chunk arrived after the window";
    return static_cast<double>(bytes) * 1000.0 / static_cast<double>(to - from);
}

TEST(UploadLimitTest, FiveUploadsShareTheLimitAChangeAppliesAtOnceAndOutlivesARestart) {
    TempDir root;
    // Small chunks, so that the chunks straddling a window's edges hardly move its rate.
    FakeService service(root.file("service"), {"--chunk-size", "65536"});
    ASSERT_TRUE(service.started());
    UploadDaemon daemon(root.file("daemon"));
    ASSERT_TRUE(daemon.start({"-b", "4M"})) << daemon.output();
    for (int i = 0; i < 5; ++i) {
        std::string name = "r" + std::to_string(i) + ".mov";
        writeFile(root.file(name), std::string(24 * MiB, static_cast<char>('a' + i)));
        ASSERT_EQ(daemon.putJob(jobJSON("job" + std::to_string(i), service.url(), "s",
                                        {{root.file(name), name}})),
                  201);
    }
    int64_t start = unixMilliseconds();
    double rate = chunkRate(service, start + 2000, start + 22000);
    EXPECT_NEAR(rate / MiB, 4.0, 0.4);

    CommandResult set = client(daemon, {"limit", "1M"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "upload limit: 1M/s (1048576 bytes per second)\n");
    int64_t changed = unixMilliseconds();
    EXPECT_NEAR(chunkRate(service, changed + 1000, changed + 7000) / MiB, 1.0, 0.15);

    daemon.stop(SIGTERM);
    ASSERT_TRUE(daemon.start()) << daemon.output();
    EXPECT_EQ(json::parse(daemon.request("GET", "/settings").body),
              (json{{"upload_limit", 1048576}}));
    CommandResult shown = client(daemon, {"limit"});
    EXPECT_EQ(shown.out, set.out);
}

TEST(MetricsTest, TheTextParsesAndCountsAKnownUploadExactly) {
    TempDir root;
    FakeService service(root.file("service"));
    ASSERT_TRUE(service.started());
    UploadDaemon daemon(root.file("daemon"));
    ASSERT_TRUE(daemon.start()) << daemon.output();
    std::string path = root.file("known.mov");
    const uint64_t size = 3 * MiB + 17;
    writeFile(path, randomBytes(size));
    ASSERT_EQ(daemon.putJob(jobJSON("known-job", service.url(), "s", {{path, "known.mov"}})), 201);
    ASSERT_TRUE(
        waitUntil([&] { return daemon.job("known-job").value("state", "") == "completed"; }, 60s));

    RawReply reply = daemon.request("GET", "/metrics");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    std::string text = root.file("metrics.txt");
    writeFile(text, reply.body);
    // Debian's python3-prometheus-client: every sample as [name, labels, value].
    CommandResult parsed = runCommand({"/usr/bin/python3", "-c",
                                       "import sys, json\n"
                                       "from prometheus_client.parser import "
                                       "text_string_to_metric_families as parse\n"
                                       "print(json.dumps([[s.name, s.labels, s.value] for f in "
                                       "parse(open(sys.argv[1]).read()) for s in f.samples]))",
                                       text});
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    std::map<std::string, std::vector<std::pair<json, double>>> samples;
    for (const json& sample : json::parse(parsed.out))
        samples[sample[0]].emplace_back(sample[1], sample[2].get<double>());

    ASSERT_EQ(samples["vantrel_uploaded_bytes_total"].size(), 1u);
    EXPECT_EQ(samples["vantrel_uploaded_bytes_total"][0].second, static_cast<double>(size));
    EXPECT_EQ(samples["vantrel_jobs"].size(), 6u) << "one series per state, zeros included";
    for (const auto& [labels, value] : samples["vantrel_jobs"])
        EXPECT_EQ(value, labels["state"] == "completed" ? 1.0 : 0.0) << labels;
    for (const char* name :
         {"vantrel_active_uploads", "vantrel_upload_limit_bytes_per_second",
          "process_resident_memory_bytes", "process_start_time_seconds", "vantrel_build_info"})
        EXPECT_EQ(samples[name].size(), 1u) << name;
    EXPECT_GT(samples["process_resident_memory_bytes"][0].second, 0);
    bool uploadChunkOK = false;
    for (const auto& [labels, value] : samples["vantrel_soap_calls_total"])
        uploadChunkOK |= labels == json{{"method", "UploadChunk"}, {"outcome", "ok"}} && value >= 4;
    EXPECT_TRUE(uploadChunkOK);
    // Requests count by route template: the job's id makes no series of its own.
    bool jobRoute = false;
    for (const auto& [labels, value] : samples["vantrel_http_requests_total"]) {
        EXPECT_EQ(labels.dump().find("known-job"), std::string::npos) << labels;
        jobRoute |= labels == json{{"route", "/jobs/:id"}, {"code", "201"}};
    }
    EXPECT_TRUE(jobRoute);
}

}  // namespace
