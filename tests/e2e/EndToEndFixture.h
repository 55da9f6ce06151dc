// The fixture of the end-to-end tests: a fake recording service and an upload daemon, both
// running, in one throw-away directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/FakeService.h"
#include "support/TestSupport.h"
#include "support/UploadDaemon.h"

namespace vtr::test {

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        service_ = std::make_unique<FakeService>(root_.file("service"));
        ASSERT_TRUE(service_->started()) << "fake-recording-service did not announce its port";
        daemon_ = std::make_unique<UploadDaemon>(root_.file("daemon"));
        ASSERT_TRUE(daemon_->start()) << "the daemon did not come up:\n" << daemon_->output();
    }

    // Declared first, so that the processes end while their directories still exist.
    TempDir root_;
    std::unique_ptr<FakeService> service_;
    std::unique_ptr<UploadDaemon> daemon_;
};

}  // namespace vtr::test
