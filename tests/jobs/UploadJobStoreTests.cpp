// The job store: add, find, list, save and delete semantics, and the reconciliation of
// conflicting saves from two stores over one database.
#include "jobs/StoreTestSupport.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRUploadDaemonConstants.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

class UploadJobStoreTest : public StoreTest {};

TEST_F(UploadJobStoreTest, FindsAndListsJobsSavedThroughAnotherStore) {
    auto writer = newStore();
    json noState = jobInput("j4");
    noState.erase("state");
    for (const json& input : {jobInput("j1", "running"), jobInput("j2", "paused"),
                              jobInput("j3", "running"), noState, jobInput("j5", "sideways")})
        ASSERT_TRUE(writer->addJob(input));

    auto reader = newStore();
    VTRError error;
    VTRManagedUploadJob* job = reader->jobWithID("j2", &error);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->fileList().size(), 2u);
    EXPECT_EQ(reader->jobWithID("j2"), job);  // one record per stored job in a store
    EXPECT_EQ(reader->allJobs(&error)->size(), 5u);
    auto running = reader->allJobsForState(VTRUploadJobStateRunning, &error);
    ASSERT_TRUE(running);
    std::set<std::string> ids;
    for (VTRManagedUploadJob* each : *running) ids.insert(*each->jobID());
    EXPECT_EQ(ids, (std::set<std::string>{"j1", "j3"}));
    EXPECT_EQ(reader->allJobsForState(VTRUploadJobStateErrored)->size(), 0u);
    // Unknown lists the jobs without a recognised state.
    EXPECT_EQ(reader->allJobsForState(VTRUploadJobStateUnknown)->size(), 2u);

    // Not found, or found twice, is nothing found and no error.
    ASSERT_TRUE(writer->addJob(jobInput("j1")));
    EXPECT_EQ(reader->jobWithID("nope", &error), nullptr);
    EXPECT_EQ(reader->jobWithID("j1", &error), nullptr);
    EXPECT_FALSE(reader->deleteJobWithID("nope", &error));
    EXPECT_FALSE(reader->deleteJobWithID("j1", &error));
    EXPECT_EQ(error, VTRError());
    EXPECT_EQ(countRows("UploadJob"), 6);

    // A save writes every pending change of its store, not only those of the job saved.
    VTRManagedUploadJob* j2 = writer->jobWithID("j2");
    VTRManagedUploadJob* j3 = writer->jobWithID("j3");
    ASSERT_TRUE(j2 && j3);
    j2->setState(VTRUploadJobStateCompleted);
    j3->fileList().front()->setBytesUploaded(99);
    ASSERT_TRUE(writer->saveJob(j2));
    auto later = newStore();
    EXPECT_EQ(later->jobWithID("j2")->state(), VTRUploadJobStateCompleted);
    EXPECT_EQ(later->jobWithID("j3")->fileWithLocalPath("/data/j3/0.mov")->bytesUploaded(), 99u);
}

// Two stores read the same job and both change its state; the second save conflicts and the
// state that matters more is stored, whichever of them was saved first.
TEST_F(UploadJobStoreTest, ConflictingStatesAreMergedByPriority) {
    const std::vector<VTRUploadJobState> order = {
        // the one that matters most first
        VTRUploadJobStateErrored, VTRUploadJobStateCompleted, VTRUploadJobStatePaused,
        VTRUploadJobStateRunning, VTRUploadJobStateRestart,   VTRUploadJobStateRetry,
        VTRUploadJobStateUnknown};
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        for (bool higherFirst : {true, false}) {
            std::string id = fmt::format("{}-{}", i, higherFirst);
            SCOPED_TRACE(id);
            // The job starts in a third state, so that both saves change it.
            auto base = VTRUploadDaemonConstants::stringForJobState(order[(i + 2) % order.size()]);
            ASSERT_TRUE(newStore()->addJob(jobInput(id, base)));
            auto first = newStore(), second = newStore();
            VTRManagedUploadJob* mine = first->jobWithID(id);
            VTRManagedUploadJob* theirs = second->jobWithID(id);
            ASSERT_TRUE(mine && theirs);
            mine->setState(order[higherFirst ? i : i + 1]);
            ASSERT_TRUE(first->saveJob(mine));
            theirs->setState(order[higherFirst ? i + 1 : i]);
            VTRError error;
            ASSERT_TRUE(second->saveJob(theirs, &error)) << error.description();
            EXPECT_EQ(theirs->state(), order[i]);
            EXPECT_EQ(newStore()->jobWithID(id)->state(), order[i]);
        }
    }
}

// Two stores read the same job, change different attributes and files, and save one after the
// other: every change is kept.
TEST_F(UploadJobStoreTest, ChangesOfDifferentAttributesAndFilesAreAllKept) {
    ASSERT_TRUE(newStore()->addJob(jobInput("job", "restart")));
    auto first = newStore(), second = newStore();
    VTRManagedUploadJob* mine = first->jobWithID("job");
    VTRManagedUploadJob* theirs = second->jobWithID("job");
    ASSERT_TRUE(mine && theirs);
    mine->setSessionID("new-session");
    mine->setError("verification failed");
    mine->setErrorState(VTRUploadErrorStateClose);
    mine->fileWithLocalPath("/data/job/0.mov")->setBytesUploaded(5'000'000'123ULL);
    mine->fileWithLocalPath("/data/job/1.mov")->setClosed(true);
    ASSERT_TRUE(first->saveJob(mine));
    theirs->setState(VTRUploadJobStatePaused);
    theirs->setRestarting(true);
    theirs->fileWithLocalPath("/data/job/0.mov")->setTotalBytes(6'000'000'000ULL);
    theirs->fileWithLocalPath("/data/job/1.mov")->setBytesUploaded(7);
    VTRError error;
    ASSERT_TRUE(second->saveJob(theirs, &error)) << error.description();
    // The whole form: no credentials, every key typed, sizes beyond 32 bits kept exactly.
    auto reader = newStore();
    ASSERT_TRUE(reader->jobWithID("job"));
    json form = reader->jobWithID("job")->dictionaryRepresentation();
    EXPECT_EQ(form, json::parse(R"({"id": "job",
        "server_url": "https://recordings.example/upload.svc", "session_id": "new-session",
        "state": "paused", "restarting": true, "error": "verification failed", "error_type": "close",
        "file_list": [{"local_path": "/data/job/0.mov", "remote_path": "0.mov",
          "bytes_uploaded": 5000000123, "total_bytes": 6000000000, "closed": false},
        {"local_path": "/data/job/1.mov", "remote_path": "1.mov", "bytes_uploaded": 7,
          "total_bytes": 0, "closed": true}]})"));
    // The serialised text carries integers, not floating-point numbers.
    EXPECT_NE(form.dump().find("\"bytes_uploaded\":5000000123,"), std::string::npos);
}

// A job deleted elsewhere is not brought back by a store that still holds it, nor written onto a
// later job's rows (SQLite would give the next row the highest deleted id).
TEST_F(UploadJobStoreTest, AJobDeletedElsewhereIsNeitherBroughtBackNorWrittenOntoALaterJob) {
    auto holder = newStore();
    ASSERT_TRUE(holder->addJob(jobInput("older")));
    VTRManagedUploadJob* gone = holder->addJob(jobInput("gone", "running", 1));
    ASSERT_TRUE(gone);
    auto other = newStore();
    ASSERT_TRUE(other->deleteJobWithID("gone"));
    VTRManagedUploadJob* later = other->addJob(jobInput("later", "paused", 1));
    ASSERT_TRUE(later);
    const json laterForm = later->dictionaryRepresentation();

    gone->setState(VTRUploadJobStateErrored);
    gone->setError("stale");
    gone->fileList().front()->setBytesUploaded(99);
    gone->fileList().front()->setClosed(true);
    holder->saveJob(gone);  // whatever it answers, the later job is not its to change

    auto reader = newStore();
    ASSERT_TRUE(reader->jobWithID("later"));
    EXPECT_EQ(reader->jobWithID("later")->dictionaryRepresentation(), laterForm);
    EXPECT_EQ(reader->jobWithID("gone"), nullptr);
    EXPECT_EQ(countRows("UploadJob"), 2);
    EXPECT_EQ(countRows("UploadFile"), 3);
}

// A report on one file of a job of many reads that file alone; the rest load on first use of the
// list, and changes made before that survive it.
TEST_F(UploadJobStoreTest, AJobFetchedWithoutItsFilesReadsOnlyTheFileAsked) {
    ASSERT_TRUE(newStore()->addJob(jobInput("big", "running", 40)));
    const std::string seventh = "/data/big/7.mov";
    {
        auto store = newStore();
        VTRManagedUploadJob* job = store->jobWithIDFilesOnDemand("big");
        ASSERT_TRUE(job);
        std::vector<VTRManagedUploadFile*> files = job->filesWithLocalPath(seventh);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(job->loadedChildren().size(), 1u);
        files[0]->setBytesUploaded(42);
        files[0]->setClosed(true);
        EXPECT_EQ(job->hasOpenFileOtherThan(seventh), true);  // never closed: NULL in the store
        job->setState(VTRUploadJobStatePaused);
        ASSERT_EQ(job->fileList().size(), 40u);
        EXPECT_EQ(job->fileWithLocalPath(seventh), files[0]);
        ASSERT_TRUE(store->saveJob(job));
    }
    auto reader = newStore();
    VTRManagedUploadJob* job = reader->jobWithID("big");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->state(), VTRUploadJobStatePaused);
    for (VTRManagedUploadFile* file : job->fileList()) {
        bool asked = file->localPath() == seventh;
        EXPECT_EQ(file->bytesUploaded(), asked ? 42u : 0u);
        EXPECT_EQ(file->closed(), asked);
    }

    // Whether another file is open, asked of the store, as every file but one gets closed.
    for (VTRManagedUploadFile* file : job->fileList())
        if (file->localPath() != "/data/big/0.mov") file->setClosed(true);
    ASSERT_TRUE(reader->saveJob(job));
    auto store = newStore();
    VTRManagedUploadJob* lazy = store->jobWithIDFilesOnDemand("big");
    ASSERT_TRUE(lazy);
    EXPECT_EQ(lazy->hasOpenFileOtherThan("/data/big/0.mov"), false);
    EXPECT_EQ(lazy->hasOpenFileOtherThan(seventh), true);
    EXPECT_TRUE(lazy->filesWithLocalPath("/data/big/unknown.mov").empty());
    EXPECT_EQ(lazy->loadedChildren().size(), 0u);
}

}  // namespace
}  // namespace vtr::test
