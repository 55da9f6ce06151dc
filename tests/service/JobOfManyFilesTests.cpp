// A job of thousands of files uploaded by the job service to the built fake-recording-service,
// every report going through the job store.
#include "ServiceTestFixture.h"
#include "support/FakeService.h"

namespace vtr::test {
namespace {

TEST(JobOfManyFilesTest, FiveThousandFilesCompleteAndArriveIdentical) {
    constexpr size_t kFiles = 5000;
    JobDatabase db;
    FakeService service(db.dir.file("service-data"));
    ASSERT_TRUE(service.started());

    // Sizes from empty to a little over 2 KiB, so that some files end in a short chunk.
    std::map<std::string, std::string> contents;
    nlohmann::json files = nlohmann::json::array();
    for (size_t i = 0; i < kFiles; ++i) {
        std::string name = "segment-" + std::to_string(i) + ".ts";
        contents[name] = randomBytes((i * 37) % 2100, static_cast<uint32_t>(i + 1));
        writeFile(db.dir.file(name), contents[name]);
        files.push_back({{"local_path", db.dir.file(name)}, {"remote_path", name}});
    }
    VTRError error;
    nlohmann::json input = JobDatabase::jobInput("many", "running", files);
    input["server_url"] = service.url();
    ASSERT_TRUE(db.environment->newJobStore()->addJob(input, &error)) << error.description();

    VTRRunLoop loop;
    VTRRemoteUploadJobService jobs(db.coordinator, loop, {});
    auto state = [&] {
        auto store = db.environment->newJobStore();
        VTRManagedUploadJob* job = store->jobWithIDFilesOnDemand("many");
        return job ? job->state() : VTRUploadJobStateUnknown;
    };
    ASSERT_TRUE(loop.runUntil([&] { return state() != VTRUploadJobStateRunning; },
                              std::chrono::minutes(8)));
    nlohmann::json job = db.stored("many");
    EXPECT_EQ(job["state"], "completed");
    ASSERT_EQ(job["file_list"].size(), kFiles);
    size_t identical = 0, closed = 0;
    for (const nlohmann::json& file : job["file_list"]) {
        const std::string name = file["remote_path"];
        identical += readFile(service.storedFilePath("session-many", name)) == contents[name];
        closed += file["closed"] == true && file["bytes_uploaded"] == contents[name].size();
    }
    EXPECT_EQ(identical, kFiles);
    EXPECT_EQ(closed, kFiles);
}

}  // namespace
}  // namespace vtr::test
