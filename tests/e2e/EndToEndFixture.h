// The fixture of the end-to-end tests: a fake recording service and an upload daemon, both
// running, in one throw-away directory; local recordings are written under files/.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/FakeService.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr::test {

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(root_.file("files"));
        service_ = std::make_unique<FakeService>(root_.file("service"));
        ASSERT_TRUE(service_->started()) << "fake-recording-service did not announce its port";
        daemon_ = std::make_unique<UploadDaemon>(root_.file("daemon"));
        ASSERT_TRUE(daemon_->start()) << "the daemon did not come up:\n" << daemon_->output();
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
        std::string stored = service_->storedFilePath(session, remote);
        ASSERT_TRUE(std::filesystem::exists(stored)) << remote << " never reached the service";
        EXPECT_TRUE(readFile(stored) == readFile(local)) << remote << " differs from " << local;
    }

    // Declared first, so that the processes end while their directories still exist.
    TempDir root_;
    std::unique_ptr<FakeService> service_;
    std::unique_ptr<UploadDaemon> daemon_;
};

}  // namespace vtr::test
