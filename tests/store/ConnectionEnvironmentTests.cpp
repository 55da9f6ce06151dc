// The connection environment hands out a new job store over the one coordinator each time.
#include "jobs/VTRManagedUploadJob.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "store/StoreTestSupport.h"

namespace vtr::test {
namespace {

class ConnectionEnvironmentTest : public StoreTest {};

TEST_F(ConnectionEnvironmentTest, EachStoreIsNewAndSharesTheCoordinator) {
    EXPECT_EQ(VTRUploadDaemonConnectionEnvironment(nullptr, nullptr).newJobStore(), nullptr);
    VTRUploadDaemonConnectionEnvironment environment(coordinator, nullptr);

    auto first = environment.newJobStore();
    auto second = environment.newJobStore();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->storeCoordinator(), coordinator);
    EXPECT_EQ(second->storeCoordinator(), coordinator);
    ASSERT_TRUE(first->addJob(jobInput("shared")));
    EXPECT_TRUE(second->jobWithID("shared"));
}

}  // namespace
}  // namespace vtr::test
