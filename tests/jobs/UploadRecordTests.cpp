// The job and file records: state names, insertion defaults, creation and update from job input
// objects, the JSON form, the file-list merge, file sizes, and refusal of malformed input.
#include <algorithm>
#include <filesystem>
#include <map>

#include "jobs/StoreTestSupport.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRUploadDaemonConstants.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;
using C = VTRUploadDaemonConstants;

TEST(UploadDaemonConstants, StateNamesRoundTripAndAnythingElseIsUnknownOrNone) {
    const char* jobStates[] = {"paused", "retry", "restart", "running", "completed", "errored"};
    for (int code = 0; code <= 5; ++code) {
        EXPECT_EQ(C::stringForJobState(code), jobStates[code]);
        EXPECT_EQ(C::jobStateForString(jobStates[code]), code);
    }
    const char* errorStates[] = {"init", "upload", "close", "verify"};
    for (int code = 0; code <= 3; ++code) {
        EXPECT_EQ(C::stringForErrorState(code), errorStates[code]);
        EXPECT_EQ(C::errorStateForString(errorStates[code]), code);
    }
    EXPECT_EQ(C::stringForJobState(6), "unknown");
    EXPECT_EQ(C::stringForErrorState(-1), "none");
    EXPECT_EQ(C::stringForErrorState(4), "unknown");
    for (const char* other : {"unknown", "none", "", " running", "pause", " close"}) {
        EXPECT_EQ(C::jobStateForString(other), VTRUploadJobStateUnknown) << other;
        EXPECT_EQ(C::errorStateForString(other), VTRUploadErrorStateNone) << other;
    }
    EXPECT_EQ(C::jobStateForString(std::nullopt), VTRUploadJobStateUnknown);
    EXPECT_EQ(C::errorStateForString(std::nullopt), VTRUploadErrorStateNone);
    EXPECT_EQ(C::jobStateForString("PaUsEd"), VTRUploadJobStatePaused);  // any letter case
}

using UploadRecordTest = StoreTest;

TEST_F(UploadRecordTest, CreationShowsEveryKeyWithDefaultsAndReadsOnlyTheKeysItOwns) {
    json input = json::parse(R"({"id": "a", "server_url": "http://not a url", "state": "bogus",
        "restarting": true, "error": "client", "error_type": "close", "file_list": [
        {"local_path": "/x", "remote_path": "x", "bytes_uploaded": 77, "closed": true}]})");
    ASSERT_TRUE(newStore()->addJob(input));
    ASSERT_TRUE(newStore()->addJob({{"id", "b"}, {"server_url", "http://h/s"}}));
    auto reader = newStore();  // reads them back from the database
    ASSERT_TRUE(reader->jobWithID("a") && reader->jobWithID("b"));
    json form = reader->jobWithID("a")->dictionaryRepresentation();
    EXPECT_EQ(form["file_list"][0]["bytes_uploaded"], 0);
    EXPECT_EQ(form["file_list"][0]["closed"], false);
    form.erase("file_list");
    // Every key is there; "restarting" is a boolean (0 would not compare equal).
    EXPECT_EQ(form, json::parse(R"({"id": "a", "server_url": null, "session_id": null,
        "state": "unknown", "error": null, "error_type": "none", "restarting": false})"));
    json other = reader->jobWithID("b")->dictionaryRepresentation();
    EXPECT_EQ(other["server_url"], "http://h/s");
    EXPECT_EQ(other["file_list"], json::array());
}

TEST_F(UploadRecordTest, UpdateAppliesOnlyNonEmptyValidValuesAndNeverIdOrCredentials) {
    auto store = newStore();
    VTRManagedUploadJob* job = store->addJob(jobInput("d", "paused"));
    ASSERT_TRUE(job);
    job->updateWithDictionary({{"state", " \n\t"}, {"session_id", ""}, {"server_url", nullptr}});
    EXPECT_EQ(job->state(), VTRUploadJobStatePaused);
    EXPECT_EQ(job->sessionID(), "session-d");
    EXPECT_EQ(job->serverURL(), "https://recordings.example/upload.svc");

    job->updateWithDictionary({{"id", "other"},
                               {"credentials", "stolen"},
                               {"state", "nonsense"},
                               {"session_id", "s2"},
                               {"server_url", "http://new/svc"},
                               {"restarting", 1}});
    ASSERT_TRUE(store->saveJob(job));
    auto reader = newStore();
    VTRManagedUploadJob* stored = reader->jobWithID("d");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->credentials(), "secret");
    EXPECT_EQ(stored->state(), VTRUploadJobStateUnknown);
    EXPECT_EQ(stored->sessionID(), "s2");
    EXPECT_EQ(stored->serverURL(), "http://new/svc");
    EXPECT_TRUE(stored->restarting());
    EXPECT_FALSE(reader->jobWithID("other"));
    stored->updateWithDictionary({{"restarting", false}});
    EXPECT_FALSE(stored->restarting());

    // A malformed update is refused without storing any part of it and rolled back; the store
    // stays usable, and a valid update then goes through.
    stored->updateWithDictionary({{"state", "running"}, {"restarting", "yes"}});
    VTRError error;
    EXPECT_FALSE(reader->saveJob(stored, &error));
    EXPECT_EQ(error.code(), NSValidationMissingMandatoryPropertyError);
    EXPECT_EQ(stored->state(), VTRUploadJobStateUnknown);
    EXPECT_EQ(newStore()->jobWithID("d")->state(), VTRUploadJobStateUnknown);
    stored->updateWithDictionary({{"state", "running"}, {"session_id", 12}, {"file_list", 5}});
    EXPECT_FALSE(reader->saveJob(stored, &error));
    EXPECT_EQ(error.code(), NSValidationMultipleErrorsError);
    EXPECT_EQ(find(error.userInfo(), NSDetailedErrorsKey)->arrayValue().size(), 2u);
    stored->updateWithDictionary({{"state", "paused"}});
    EXPECT_TRUE(reader->saveJob(stored, &error)) << error.description();
    EXPECT_EQ(newStore()->jobWithID("d")->state(), VTRUploadJobStatePaused);
}

// A client resends the whole list, of thousands of segment files in a long recording, with each
// change: known files keep their progress and remote name, dropped ones go, new ones start at
// nothing, all in one transaction. Omitted or null keeps the files; an empty list removes them.
TEST_F(UploadRecordTest, ResentFileListIsMergedByLocalPathInOneSave) {
    const int count = 5000;
    auto store = newStore();
    VTRManagedUploadJob* job = store->addJob(jobInput("big", "running", count));
    ASSERT_TRUE(job);
    for (VTRManagedUploadFile* file : job->fileList())  // "n.mov" has n + 1 bytes uploaded
        file->setBytesUploaded(std::stoull(file->remotePath().value_or("0")) + 1);
    ASSERT_TRUE(store->saveJob(job));

    // The list again, last file first, without file 0, file 1 renamed, and one new file.
    json files = jobInput("big", "running", count)["file_list"];
    files.erase(files.begin());
    files[0]["remote_path"] = "renamed.mov";
    std::reverse(files.begin(), files.end());
    files.push_back({{"local_path", "/data/big/new.mov"}, {"remote_path", "new.mov"}});
    int commits = 0;
    auto countCommit = [](void* counter) { return ++*static_cast<int*>(counter), 0; };
    sqlite3_commit_hook(coordinator->connection(), countCommit, &commits);
    job->updateWithDictionary({{"file_list", files}});
    ASSERT_TRUE(store->saveJob(job));
    sqlite3_commit_hook(coordinator->connection(), nullptr, nullptr);
    EXPECT_EQ(commits, 1);

    auto reader = newStore();
    VTRManagedUploadJob* stored = reader->jobWithID("big");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->fileList().size(), static_cast<size_t>(count));
    std::map<std::string, uint64_t> progress;
    for (VTRManagedUploadFile* file : stored->fileList())
        progress[file->localPath().value_or("")] = file->bytesUploaded();
    EXPECT_EQ(progress.count("/data/big/0.mov"), 0u);
    for (int i = 1; i < count; ++i)
        EXPECT_EQ(progress["/data/big/" + std::to_string(i) + ".mov"], uint64_t(i) + 1) << i;
    EXPECT_EQ(progress.at("/data/big/new.mov"), 0u);
    EXPECT_EQ(stored->fileWithLocalPath("/data/big/1.mov")->remotePath(), "1.mov");
    EXPECT_EQ(countRows("UploadFile"), count);

    stored->updateWithDictionary({{"state", "paused"}});
    stored->updateWithDictionary({{"file_list", nullptr}});
    EXPECT_EQ(stored->fileList().size(), static_cast<size_t>(count));
    stored->updateWithDictionary({{"file_list", json::array()}});
    ASSERT_TRUE(reader->saveJob(stored));
    EXPECT_EQ(newStore()->jobWithID("big")->fileList().size(), 0u);
    EXPECT_EQ(countRows("UploadFile"), 0);
}

TEST_F(UploadRecordTest, UpdateFromLocalPathReadsExactSizesBeyondFourGiB) {
    std::string path = directory.file("big.mov");
    writeFile(path, "");
    std::filesystem::resize_file(path, (uint64_t{5} << 30) + 3);  // sparse: no disk space used

    auto store = newStore();
    json input = jobInput("f", "running", 0);
    input["file_list"] = {{{"local_path", path}, {"remote_path", "big.mov"}},
                          {{"local_path", directory.file("missing.mov")}, {"remote_path", "m"}}};
    VTRManagedUploadJob* job = store->addJob(input);
    ASSERT_TRUE(job);
    VTRManagedUploadFile* big = job->fileWithLocalPath(path);
    VTRManagedUploadFile* missing = job->fileWithLocalPath(directory.file("missing.mov"));
    missing->setTotalBytes(42);
    EXPECT_TRUE(big->updateFromLocalPath());
    EXPECT_TRUE(missing->updateFromLocalPath());
    EXPECT_EQ(big->totalBytes(), 5'368'709'123ULL);
    EXPECT_EQ(missing->totalBytes(), 42u);
    ASSERT_TRUE(store->saveJob(job));
    EXPECT_EQ(newStore()->jobWithID("f")->fileWithLocalPath(path)->totalBytes(), 5'368'709'123ULL);
}

// Each malformed input is refused as a validation failure, with one code for one fault and
// another for several; nothing of it is stored, what was stored before stays, and the store
// remains usable. (The control API's tests send the other malformed inputs.)
TEST_F(UploadRecordTest, MalformedCreationInputIsRefused) {
    auto store = newStore();
    VTRManagedUploadJob* kept = store->addJob(jobInput("kept"));
    ASSERT_TRUE(kept);
    json minimal = {{"id", "g"}, {"server_url", "http://h/s"}};
    auto with = [&](const char* key, json value) {
        json input = minimal;
        input[key] = std::move(value);
        return input;
    };
    json goodFile = {{"local_path", "/y"}, {"remote_path", "y"}};
    const int64_t one = NSValidationMissingMandatoryPropertyError;
    const int64_t several = NSValidationMultipleErrorsError;
    struct Case {
        const char* name;
        json input;
        int64_t code;
    };
    std::vector<Case> cases = {
        {"not an object", json::array({1, 2}), one},
        {"no id, no url", json::object(), several},
        {"url not a string", {{"id", "g"}, {"server_url", 1}}, one},
        {"numeric state", with("state", 3), one},
        {"null credentials", with("credentials", nullptr), one},
        {"second file without remote path",
         with("file_list", json::array({goodFile, json{{"local_path", "/x"}}})), one},
        {"file entry not an object", with("file_list", json::array({"x", 1})), several},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VTRError error;
        EXPECT_FALSE(store->addJob(c.input, &error));
        EXPECT_EQ(error.domain(), NSCocoaErrorDomain);
        EXPECT_EQ(error.code(), c.code) << error.description();
        auto jobs = store->allJobs();
        ASSERT_EQ(jobs->size(), 1u);
        EXPECT_EQ(jobs->front(), kept);
    }
    EXPECT_EQ(countRows("UploadJob"), 1);
    EXPECT_EQ(countRows("UploadFile"), 2);
    EXPECT_TRUE(store->addJob(jobInput("later")));
}

}  // namespace
}  // namespace vtr::test
