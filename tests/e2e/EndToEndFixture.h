// The fixture of the end-to-end tests: a fake recording service and an upload daemon, both
// running, in one throw-away directory; local recordings are written under files/.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>

#include "EndToEndEnvironment.h"
#include "support/TestSupport.h"

namespace vtr::test {

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::mkdir(root_.file("files").c_str(), 0700);
        service_ = std::make_unique<FakeService>(root_.file("service"));
        ASSERT_TRUE(service_->started()) << "fake-recording-service did not announce its port";
        daemon_ = std::make_unique<UploadDaemon>(root_.file("daemon"));
        ASSERT_TRUE(daemon_->start()) << "the daemon did not come up:\n" << daemon_->output();
    }
    void TearDown() override {
        // Processes first, while their directories still exist.
        if (daemon_) daemon_->kill();
        if (service_) service_->stop();
    }

    // A local recording of `size` seeded random bytes; returns its path.
    std::string recording(const std::string& name, size_t size, uint32_t seed = 7) {
        std::string path = root_.file("files/" + name);
        writeFile(path, randomBytes(size, seed));
        return path;
    }

    // Slows every chunk down so that a test can act in the middle of an upload.
    void slowChunks(size_t chunkSize, int delayMs) {
        ASSERT_TRUE(
            service_->control("POST", "/control/config", {{"chunk_size", chunkSize}}).is_object());
        ASSERT_TRUE(service_
                        ->control("POST", "/control/faults",
                                  {{"method", "UploadChunk"},
                                   {"action", "delay"},
                                   {"delay_ms", delayMs},
                                   {"count", 0}})
                        .is_object());
    }

    // Asserts that the service holds exactly the local file's bytes under `remote`.
    void expectStoredCopy(const std::string& session, const std::string& remote,
                          const std::string& local) {
        auto stored = fileContents(service_->storedFilePath(session, remote));
        auto original = fileContents(local);
        ASSERT_TRUE(stored.has_value()) << remote << " never reached the service";
        ASSERT_TRUE(original.has_value());
        EXPECT_EQ(stored->size(), original->size()) << remote;
        EXPECT_TRUE(*stored == *original) << remote << " differs from " << local;
    }

    TempDir root_;
    std::unique_ptr<FakeService> service_;
    std::unique_ptr<UploadDaemon> daemon_;
};

}  // namespace vtr::test
