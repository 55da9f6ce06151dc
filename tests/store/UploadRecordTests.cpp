// The job and file records: insertion defaults, creation and update from job input objects,
// the JSON form, the file-list merge, file sizes, and refusal of malformed input.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRObjectContext.h"
#include "store/StoreTestSupport.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.insert(it.key());
    return keys;
}

class UploadRecordTest : public StoreTest {
  protected:
    // The job as a fresh store reads it back from the database.
    json storedForm(const std::string& id) {
        auto store = newStore();
        VTRManagedUploadJob* job = store->jobWithID(id);
        return job ? job->dictionaryRepresentation() : json();
    }
};

TEST_F(UploadRecordTest, MinimalJobShowsEveryKeyWithDefaults) {
    auto store = newStore();
    VTRError error;
    ASSERT_TRUE(store->addJob({{"id", "a"}, {"server_url", "http://host/svc"}}, &error))
        << error.description();
    json form = storedForm("a");
    EXPECT_EQ(keysOf(form),
              (std::set<std::string>{"id", "server_url", "session_id", "state", "error",
                                     "error_type", "restarting", "file_list"}));
    EXPECT_EQ(form["id"], "a");
    EXPECT_EQ(form["server_url"], "http://host/svc");
    EXPECT_TRUE(form["session_id"].is_null());
    EXPECT_EQ(form["state"], "unknown");
    EXPECT_TRUE(form["error"].is_null());
    EXPECT_EQ(form["error_type"], "none");
    EXPECT_EQ(form["restarting"], false);  // a boolean: 0 would not compare equal
    EXPECT_EQ(form["file_list"], json::array());
}

TEST_F(UploadRecordTest, FullJobFormHasNoCredentialsAndTypedFileEntries) {
    auto store = newStore();
    VTRManagedUploadJob* job = store->addJob(jobInput("b", "Running", 1));
    ASSERT_TRUE(job);
    EXPECT_EQ(job->credentials(), "secret");
    EXPECT_EQ(job->state(), VTRUploadJobStateRunning);
    VTRManagedUploadFile* file = job->fileList().at(0);
    file->setBytesUploaded(5'000'000'123ULL);
    file->setTotalBytes(6'000'000'000ULL);
    file->setClosed(true);
    job->setRestarting(true);
    job->setError("disk on fire");
    job->setErrorState(VTRUploadErrorStateVerify);
    ASSERT_TRUE(store->saveJob(job));

    json form = storedForm("b");
    EXPECT_FALSE(form.contains("credentials"));
    EXPECT_EQ(form["state"], "running");
    EXPECT_EQ(form["session_id"], "session-b");
    EXPECT_EQ(form["error"], "disk on fire");
    EXPECT_EQ(form["error_type"], "verify");
    EXPECT_EQ(form["restarting"], true);
    ASSERT_EQ(form["file_list"].size(), 1u);
    const json& entry = form["file_list"][0];
    EXPECT_EQ(keysOf(entry), (std::set<std::string>{"local_path", "remote_path", "bytes_uploaded",
                                                    "total_bytes", "closed"}));
    EXPECT_EQ(entry["local_path"], "/data/b/0.mov");
    EXPECT_EQ(entry["remote_path"], "0.mov");
    EXPECT_EQ(entry["bytes_uploaded"].get<uint64_t>(), 5'000'000'123ULL);
    EXPECT_EQ(entry["total_bytes"].get<uint64_t>(), 6'000'000'000ULL);
    EXPECT_EQ(entry["closed"], true);
    // The serialised text carries integers, not floating-point numbers.
    EXPECT_NE(entry.dump().find("\"bytes_uploaded\":5000000123"), std::string::npos);
}

TEST_F(UploadRecordTest, CreationReadsOnlyTheKeysItOwns) {
    auto store = newStore();
    json input = jobInput("c", "bogus", 1);
    input["restarting"] = true;
    input["error"] = "client error";
    input["error_type"] = "close";
    input["file_list"][0]["bytes_uploaded"] = 77;
    input["file_list"][0]["closed"] = true;
    input["server_url"] = "http://not a url";
    ASSERT_TRUE(store->addJob(input));
    json form = storedForm("c");
    EXPECT_EQ(form["state"], "unknown");
    EXPECT_EQ(form["restarting"], false);  // a boolean: 0 would not compare equal
    EXPECT_TRUE(form["error"].is_null());
    EXPECT_EQ(form["error_type"], "none");
    EXPECT_TRUE(form["server_url"].is_null());
    EXPECT_EQ(form["file_list"][0]["bytes_uploaded"], 0);
    EXPECT_EQ(form["file_list"][0]["closed"], false);
}

TEST_F(UploadRecordTest, UpdateAppliesOnlyNonEmptyValuesAndNeverIdOrCredentials) {
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
}

TEST_F(UploadRecordTest, ResentFileListKeepsKnownFilesProgressAndDeletesDroppedOnes) {
    auto store = newStore();
    VTRManagedUploadJob* job = store->addJob(jobInput("e", "running", 2));
    ASSERT_TRUE(job);
    VTRManagedUploadFile* first = job->fileWithLocalPath("/data/e/0.mov");
    ASSERT_TRUE(first);
    first->setBytesUploaded(4096);
    ASSERT_TRUE(store->saveJob(job));

    // The first file again (under a new remote name), a new one; the second left out.
    job->updateWithDictionary(
        {{"file_list",
          {{{"local_path", "/data/e/0.mov"}, {"remote_path", "renamed.mov"}},
           {{"local_path", "/data/e/new.mov"}, {"remote_path", "new.mov"}}}}});
    ASSERT_TRUE(store->saveJob(job));

    auto reader = newStore();
    VTRManagedUploadJob* stored = reader->jobWithID("e");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->fileList().size(), 2u);
    VTRManagedUploadFile* kept = stored->fileWithLocalPath("/data/e/0.mov");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->remotePath(), "0.mov");
    EXPECT_EQ(kept->bytesUploaded(), 4096u);
    EXPECT_TRUE(stored->fileWithLocalPath("/data/e/new.mov"));
    EXPECT_FALSE(stored->fileWithLocalPath("/data/e/1.mov"));

    // Omitted or null keeps the files; an empty array removes them all.
    stored->updateWithDictionary({{"state", "paused"}});
    stored->updateWithDictionary({{"file_list", nullptr}});
    EXPECT_EQ(stored->fileList().size(), 2u);
    stored->updateWithDictionary({{"file_list", json::array()}});
    ASSERT_TRUE(reader->saveJob(stored));
    EXPECT_EQ(newStore()->jobWithID("e")->fileList().size(), 0u);
    EXPECT_EQ(countRows("UploadFile"), 0);
}

// A client resends the whole list of a job of thousands of segment files with each change:
// every file keeps its progress and the update is one transaction.
TEST_F(UploadRecordTest, ResendingALargeListKeepsEveryFilesProgressInOneSave) {
    const int count = 5000;
    auto store = newStore();
    VTRManagedUploadJob* job = store->addJob(jobInput("big", "running", count));
    ASSERT_TRUE(job);
    // File n ("n.mov") has n + 1 bytes uploaded.
    for (VTRManagedUploadFile* file : job->fileList())
        file->setBytesUploaded(std::stoull(file->remotePath().value_or("0")) + 1);
    ASSERT_TRUE(store->saveJob(job));

    // The list again, last file first, without file 0 and with one new file.
    json files = jobInput("big", "running", count)["file_list"];
    files.erase(files.begin());
    std::reverse(files.begin(), files.end());
    files.push_back({{"local_path", "/data/big/new.mov"}, {"remote_path", "new.mov"}});
    int commits = 0;
    sqlite3_commit_hook(
        coordinator->connection(),
        [](void* counter) {
            ++*static_cast<int*>(counter);
            return 0;
        },
        &commits);
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
    EXPECT_EQ(countRows("UploadFile"), count);
}

TEST_F(UploadRecordTest, ReplaceNewFilesPrefersTheLastExistingRecordWithThePath) {
    auto store = newStore();
    VTRObjectContext& context = store->managedObjectContext();
    auto file = [&](const char* path, uint64_t progress) {
        VTRManagedUploadFile* record = VTRManagedUploadFile::newInstance(context);
        record->setLocalPath(path);
        record->setBytesUploaded(progress);
        return record;
    };
    VTRManagedUploadFile* oldA1 = file("/a", 1);
    VTRManagedUploadFile* oldA2 = file("/a", 2);
    VTRManagedUploadFile* oldB = file("/b", 3);
    VTRManagedUploadFile* newA = file("/a", 0);
    VTRManagedUploadFile* newC = file("/c", 0);
    VTRManagedUploadFile* newC2 = file("/c", 0);
    VTRManagedUploadFile* caseA = file("/A", 0);
    auto result =
        VTRManagedUploadFile::replaceNewFiles({newA, newC, newC2, caseA}, {oldA1, oldA2, oldB});
    EXPECT_EQ(result, (std::vector<VTRManagedUploadFile*>{oldA2, newC, newC2, caseA}));
}

TEST_F(UploadRecordTest, UpdateFromLocalPathReadsExactSizesBeyondFourGiB) {
    std::string path = directory.file("big.mov");
    const off_t size = (off_t{5} << 30) + 3;  // sparse: no disk space used
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);

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

// Each malformed input is refused as a validation failure and nothing is stored.
TEST_F(UploadRecordTest, MalformedCreationInputIsRefused) {
    json minimal = {{"id", "g"}, {"server_url", "http://h/s"}};
    auto with = [&](const char* key, json value) {
        json input = minimal;
        input[key] = std::move(value);
        return input;
    };
    struct Case {
        const char* name;
        json input;
        int64_t code;
    };
    const int64_t one = NSValidationMissingMandatoryPropertyError;
    const int64_t several = NSValidationMultipleErrorsError;
    std::vector<Case> cases = {
        {"not an object", json::array({1, 2}), one},
        {"no id", {{"server_url", "http://h/s"}}, one},
        {"numeric id", {{"id", 7}, {"server_url", "http://h/s"}}, one},
        {"no id, no url", json::object(), several},
        {"url not a string", {{"id", "g"}, {"server_url", 1}}, one},
        {"null session", with("session_id", nullptr), one},
        {"numeric state", with("state", 3), one},
        {"null credentials", with("credentials", nullptr), one},
        {"file list an object", with("file_list", json{{"local_path", "/x"}}), one},
        {"file without remote path", with("file_list", json::array({json{{"local_path", "/x"}}})),
         one},
        {"file entry not an object", with("file_list", json::array({"x", 1})), several},
    };
    for (const Case& c : cases) {
        auto store = newStore();
        VTRError error;
        EXPECT_FALSE(store->addJob(c.input, &error)) << c.name;
        EXPECT_EQ(error.domain(), NSCocoaErrorDomain) << c.name;
        EXPECT_EQ(error.code(), c.code) << c.name << ": " << error.description();
        EXPECT_EQ(store->allJobs()->size(), 0u) << c.name;
    }
    EXPECT_EQ(countRows("UploadJob"), 0);
    EXPECT_EQ(countRows("UploadFile"), 0);
}

TEST_F(UploadRecordTest, MalformedUpdateIsRefusedWithoutStoringAnyPartOfIt) {
    auto store = newStore();
    VTRManagedUploadJob* job = store->addJob(jobInput("h", "paused"));
    ASSERT_TRUE(job);
    job->updateWithDictionary({{"state", "running"}, {"restarting", "yes"}});
    VTRError error;
    EXPECT_FALSE(store->saveJob(job, &error));
    EXPECT_EQ(error.code(), NSValidationMissingMandatoryPropertyError);
    EXPECT_EQ(job->state(), VTRUploadJobStatePaused);  // rolled back
    EXPECT_EQ(newStore()->jobWithID("h")->state(), VTRUploadJobStatePaused);

    // The store stays usable, and a valid update now goes through.
    job->updateWithDictionary({{"state", "running"}, {"session_id", 12}, {"file_list", 5}});
    EXPECT_FALSE(store->saveJob(job, &error));
    EXPECT_EQ(error.code(), NSValidationMultipleErrorsError);
    EXPECT_EQ(find(error.userInfo(), NSDetailedErrorsKey)->arrayValue().size(), 2u);
    job->updateWithDictionary({{"state", "running"}});
    EXPECT_TRUE(store->saveJob(job, &error)) << error.description();
    EXPECT_EQ(newStore()->jobWithID("h")->state(), VTRUploadJobStateRunning);
}

}  // namespace
}  // namespace vtr::test
