// The connection environment hands out a new job store over the one coordinator each time.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "support/TestSupport.h"

namespace vtr::test {
namespace {

TEST(ConnectionEnvironment, EachStoreIsNewAndSharesTheCoordinator) {
    TempDir directory;
    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(directory.file("UploadDaemon.sqlite"), &error);
    ASSERT_TRUE(coordinator) << error.description();
    EXPECT_EQ(VTRUploadDaemonConnectionEnvironment(nullptr, nullptr).newJobStore(), nullptr);
    VTRUploadDaemonConnectionEnvironment environment(coordinator, nullptr);

    auto first = environment.newJobStore();
    auto second = environment.newJobStore();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->storeCoordinator(), coordinator);
    EXPECT_EQ(second->storeCoordinator(), coordinator);
    ASSERT_TRUE(first->addJob(nlohmann::json{{"id", "shared"}, {"server_url", "http://h/s"}}));
    EXPECT_TRUE(second->jobWithID("shared"));
}

}  // namespace
}  // namespace vtr::test
