#include "jobs/VTRManagedUploadJob.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "service/VTRUploadJobService.h"
#include "store/StoreTestSupport.h"

namespace vtr::test {
namespace {

class NullJobService : public VTRUploadJobService {
  public:
    bool uploadJobWithID(const std::string&, VTRError*) override { return true; }
    void cancelJobWithJobID(const std::string&) override {}
    bool restartUploadForJobWithJobID(const std::string&, VTRError*) override { return true; }
};

using Environment = VTRUploadDaemonConnectionEnvironment;

class ConnectionEnvironmentTest : public StoreTest {};

TEST_F(ConnectionEnvironmentTest, EachStoreIsNewAndSharesTheCoordinator) {
    Environment environment;
    EXPECT_EQ(environment.newJobStore(), nullptr);  // nothing to make a store over yet
    auto service = std::make_shared<NullJobService>();
    environment.setPersistentStoreCoordinator(coordinator);
    environment.setUploadJobService(service);
    EXPECT_EQ(environment.uploadJobService(), service);

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
