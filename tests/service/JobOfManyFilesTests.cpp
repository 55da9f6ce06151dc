// A job of thousands of files uploaded by the job service to the built fake-recording-service,
// every report going through the job store.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/VTRRunLoop.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "service/VTRRemoteUploadJobService.h"
#include "support/FakeService.h"
#include "support/TestSupport.h"

namespace vtr::test {
namespace {

TEST(JobOfManyFilesTest, FiveThousandFilesCompleteAndArriveIdentical) {
    constexpr size_t kFiles = 5000;
    TempDir dir;
    FakeService service(dir.file("service-data"));
    ASSERT_TRUE(service.started());
    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(dir.file("UploadDaemon.sqlite"), &error);
    ASSERT_TRUE(coordinator) << error.description();

    // Sizes from empty to a little over 2 KiB, so that some files end in a short chunk.
    std::vector<std::string> contents;
    nlohmann::json files = nlohmann::json::array();
    for (size_t i = 0; i < kFiles; ++i) {
        contents.push_back(randomBytes((i * 37) % 2100, static_cast<uint32_t>(i + 1)));
        std::string name = "segment-" + std::to_string(i) + ".ts";
        writeFile(dir.file(name), contents.back());
        files.push_back({{"local_path", dir.file(name)}, {"remote_path", name}});
    }
    ASSERT_TRUE(VTRSQLiteUploadJobStore(coordinator)
                    .addJob({{"id", "many"},
                             {"session_id", "session-many"},
                             {"server_url", service.url()},
                             {"state", "running"},
                             {"credentials", "secret"},
                             {"file_list", files}},
                            &error))
        << error.description();

    VTRRunLoop loop;
    VTRRemoteUploadJobService jobs(coordinator, loop, {});
    auto state = [&] {
        VTRSQLiteUploadJobStore store(coordinator);
        VTRManagedUploadJob* job = store.jobWithIDFilesOnDemand("many");
        return job ? job->state() : VTRUploadJobStateUnknown;
    };
    ASSERT_TRUE(loop.runUntil([&] { return state() != VTRUploadJobStateRunning; },
                              std::chrono::minutes(8)));
    EXPECT_EQ(state(), VTRUploadJobStateCompleted);

    VTRSQLiteUploadJobStore store(coordinator);
    VTRManagedUploadJob* job = store.jobWithID("many");
    ASSERT_TRUE(job);
    ASSERT_EQ(job->fileList().size(), kFiles);
    std::map<std::string, VTRManagedUploadFile*> byName;
    for (VTRManagedUploadFile* file : job->fileList()) byName[*file->remotePath()] = file;
    size_t identical = 0, closed = 0;
    for (size_t i = 0; i < kFiles; ++i) {
        std::string name = "segment-" + std::to_string(i) + ".ts";
        if (readFile(service.storedFilePath("session-many", name)) == contents[i]) ++identical;
        VTRManagedUploadFile* file = byName[name];
        if (file && file->closed() && file->bytesUploaded() == contents[i].size()) ++closed;
    }
    EXPECT_EQ(identical, kFiles);
    EXPECT_EQ(closed, kFiles);
}

}  // namespace
}  // namespace vtr::test
