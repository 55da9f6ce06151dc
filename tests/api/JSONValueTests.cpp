// A job's form written straight as JSON text: the same bytes as its JSON tree dumped and as the
// generic response writer, for every kind of text a job can hold.
#include <gtest/gtest.h>

#include <cstdint>

#include <nlohmann/json.hpp>

#include "api/VTRJSONValue.h"
#include "foundation/VTRJSONTextWriter.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using json = nlohmann::json;

TEST(JobFormTextTest, EqualsTheTreeDumpedAndTheResponseWritersText) {
    test::TempDir directory;
    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(directory.path() + "/jobs.sqlite", &error);
    ASSERT_TRUE(coordinator) << error.description();
    VTRSQLiteUploadJobStore store(coordinator);
    VTRManagedUploadJob* job = VTRManagedUploadJob::newInstance(
        store.managedObjectContext(), json::parse(R"({"id":"j","state":"running","file_list":[
            {"local_path":"/r/a.mov","remote_path":"a.mov"},
            {"local_path":"/r/b.mov","remote_path":"b.mov"}]})"));
    VTRManagedUploadFile* file = job->fileList().front();
    file->setTotalBytes(UINT64_MAX);

    for (const char* text :
         {"quote \" back \\ slash / tab \t nl \n cr \r bs \b ff \f", "bell \x07 unit \x1f del \x7f",
          "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5", ""}) {
        SCOPED_TRACE(text);
        job->setSessionID(text);
        file->setLocalPath(text);
        VTRJSONTextWriter writer;
        job->writeForm(writer);
        ASSERT_TRUE(writer.ok());
        std::string written = writer.takeText();
        json tree = job->dictionaryRepresentation();
        EXPECT_EQ(written, tree.dump());
        EXPECT_EQ(written, VTRJSONResponse::JSONData(valueFromJSON(tree)));
    }
    // Text that is not UTF-8 has no JSON form in any of the writers.
    for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        job->setSessionID(bad);
        VTRJSONTextWriter writer;
        job->writeForm(writer);
        EXPECT_FALSE(writer.ok());
        json tree = job->dictionaryRepresentation();
        EXPECT_THROW(tree.dump(), json::type_error);
        EXPECT_FALSE(VTRJSONResponse::JSONData(valueFromJSON(tree)));
    }
}

}  // namespace
}  // namespace vtr
