// The daemon killed in the middle of an upload: the job resumes where it was and ends with
// identical bytes. This is also the end-to-end case of a whole upload (empty and one-byte files
// are the upload operation's tests'; a recording service that is gone for a while is the job
// service's test), and of malformed input: it is never answered as a server failure and changes
// no stored job. Which bodies, methods and paths the control API
// refuses, and how the server treats malformed lines, huge bodies and clients that trickle
// bytes, are the lower layers' tests.
#include <gtest/gtest.h>

#include <random>

#include "support/FakeService.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr::test {
namespace {

using namespace std::chrono_literals;

constexpr size_t MiB = 1024 * 1024;

// Sends `count` requests: random bytes, half of them ending like a header block, or headers cut
// off at a random point. Returns how many were answered as a server failure.
int sendMalformedRequests(uint16_t port, std::mt19937& random, int count) {
    const std::string put =
        "PUT /jobs/crash HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Length: 20\r\n\r\n{\"state\": \"running\"}";
    int serverErrors = 0;
    for (int i = 0; i < count; ++i) {
        std::string request = put.substr(0, random() % (put.size() - 30));
        // What gets no answer is closed on, or left behind after a short wait.
        std::chrono::milliseconds timeout = 20ms;
        if (i % 2 == 0) {
            request.resize(1 + random() % 3000);
            for (char& c : request) c = static_cast<char>(random());
            if (random() % 2 == 0) {
                request += "\r\n\r\n";
                timeout = 10s;
            }
        }
        RawHTTPClient client(port);
        client.send(request);  // the server may close before it has read everything
        serverErrors += client.readReply(false, timeout).value_or(RawReply{}).status >= 500;
    }
    return serverErrors;
}

TEST(EndToEndTest, SIGKILLAtFiveRandomMomentsLosesNothingAndResumesAboveZero) {
    const uint64_t size = 24 * MiB;
    TempDir root;
    FakeService service(root.file("service"));
    ASSERT_TRUE(service.started());
    UploadDaemon daemon(root.file("daemon"));
    ASSERT_TRUE(daemon.start()) << daemon.output();
    // Small, slow chunks, so that the daemon can be killed in the middle of the upload.
    ASSERT_TRUE(
        service.control("POST", "/control/config", {{"chunk_size", 256 * 1024}}).is_object());
    ASSERT_TRUE(
        service
            .control(
                "POST", "/control/faults",
                {{"method", "UploadChunk"}, {"action", "delay"}, {"delay_ms", 120}, {"count", 0}})
            .is_object());
    const uint32_t seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::string local = root.file("crash.mov");
    writeFile(local, randomBytes(size, 51));
    auto job = [&](const char* state) {
        return jobJSON("crash", service.url(), "s-crash", {{local, "crash.mov"}}, state);
    };
    // Stored paused, the job is left as it was by a thousand malformed requests.
    ASSERT_EQ(daemon.putJob(job("paused")), 201);
    const nlohmann::json paused = daemon.job("crash");
    EXPECT_EQ(sendMalformedRequests(daemon.port(), random, 1000), 0);
    EXPECT_EQ(daemon.job("crash"), paused);
    ASSERT_EQ(daemon.putJob(job("running")), 200);

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A random point within the next part of what is left, so five rounds fit in one upload.
        uint64_t now = bytesUploaded(daemon.job("crash"));
        uint64_t left = size - now;
        uint64_t target =
            now + 1 + std::uniform_int_distribution<uint64_t>(left / 20, left / 6)(random);
        uint64_t seen = 0;
        ASSERT_TRUE(waitUntil(
            [&] {
                seen = bytesUploaded(daemon.job("crash"));
                return seen >= target;
            },
            3min, 50ms))
            << "no progress to " << target << ", at " << seen;
        ASSERT_LT(seen, size) << "the upload finished before the crash";
        ASSERT_TRUE(daemon.stop().has_value());
        ASSERT_TRUE(service.control("DELETE", "/control/calls").is_object());
        ASSERT_TRUE(daemon.start()) << daemon.output();

        nlohmann::json job = daemon.job("crash");
        ASSERT_TRUE(job.is_object());
        EXPECT_NE(job.value("state", ""), "errored") << job.dump(2);
        EXPECT_GE(bytesUploaded(job), seen) << "stored progress went backwards";
        ASSERT_TRUE(waitUntil([&] { return !service.calls("UploadChunk").empty(); }, 3min, 50ms))
            << "the job was not queued again after the restart";
        auto first = service.calls("UploadChunk").front();
        ASSERT_TRUE(first["offset"].is_number());
        EXPECT_GE(first["offset"].get<uint64_t>(), seen) << "resumed below the stored offset";
        EXPECT_GT(first["offset"].get<uint64_t>(), 0u);
    }
    EXPECT_TRUE(waitUntil([&] { return daemon.job("crash").value("state", "") == "completed"; },
                          5min, 50ms))
        << daemon.job("crash").dump(2);
    EXPECT_TRUE(readFile(service.storedFilePath("s-crash", "crash.mov")) == readFile(local));
    EXPECT_TRUE(daemon.running());
}

}  // namespace
}  // namespace vtr::test
