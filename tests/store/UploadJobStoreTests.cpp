// The job store: add, find, list, save and delete semantics, and the reconciliation of
// conflicting saves from two stores over one database.
#include <sys/wait.h>
#include <unistd.h>

#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "store/StoreTestSupport.h"

namespace vtr::test {
namespace {

using json = nlohmann::json;

class UploadJobStoreTest : public StoreTest {};

TEST_F(UploadJobStoreTest, FindsAndListsJobsSavedThroughAnotherStore) {
    auto writer = newStore();
    ASSERT_TRUE(writer->addJob(jobInput("j1", "running")));
    ASSERT_TRUE(writer->addJob(jobInput("j2", "paused")));
    ASSERT_TRUE(writer->addJob(jobInput("j3", "running")));

    auto reader = newStore();
    VTRError error;
    VTRManagedUploadJob* job = reader->jobWithID("j2", &error);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->fileList().size(), 2u);
    EXPECT_EQ(reader->jobWithID("j2"), job);  // one record per stored job in a store
    EXPECT_EQ(reader->allJobs(&error)->size(), 3u);
    auto running = reader->allJobsForState(VTRUploadJobStateRunning, &error);
    ASSERT_TRUE(running);
    std::set<std::string> ids;
    for (VTRManagedUploadJob* each : *running) ids.insert(*each->jobID());
    EXPECT_EQ(ids, (std::set<std::string>{"j1", "j3"}));
    EXPECT_EQ(reader->allJobsForState(VTRUploadJobStateErrored)->size(), 0u);
}

TEST_F(UploadJobStoreTest, NotFoundComesWithoutAnError) {
    auto store = newStore();
    ASSERT_TRUE(store->addJob(jobInput("dup")));
    ASSERT_TRUE(newStore()->addJob(jobInput("dup")));

    VTRError error;
    EXPECT_EQ(store->jobWithID("nope", &error), nullptr);
    EXPECT_EQ(store->jobWithID("dup", &error), nullptr);  // several count as none
    EXPECT_FALSE(store->deleteJobWithID("nope", &error));
    EXPECT_FALSE(store->deleteJobWithID("dup", &error));
    EXPECT_EQ(error, VTRError());
    EXPECT_EQ(countRows("UploadJob"), 2);
}

TEST_F(UploadJobStoreTest, UnknownStateListsJobsWithoutARecognisedState) {
    auto store = newStore();
    json noState = jobInput("a");
    noState.erase("state");
    ASSERT_TRUE(store->addJob(noState));
    ASSERT_TRUE(store->addJob(jobInput("b", "sideways")));
    ASSERT_TRUE(store->addJob(jobInput("c", "paused")));
    EXPECT_EQ(newStore()->allJobsForState(VTRUploadJobStateUnknown)->size(), 2u);
}

TEST_F(UploadJobStoreTest, FailedAddLeavesNothingBehindAndTheStoreUsable) {
    auto store = newStore();
    VTRManagedUploadJob* kept = store->addJob(jobInput("kept"));
    ASSERT_TRUE(kept);
    json bad = jobInput("bad");
    bad["file_list"].push_back({{"local_path", "/x"}});  // no remote path
    VTRError error;
    EXPECT_EQ(store->addJob(bad, &error), nullptr);
    EXPECT_EQ(error.code(), NSValidationMissingMandatoryPropertyError);

    auto jobs = store->allJobs();
    ASSERT_EQ(jobs->size(), 1u);
    EXPECT_EQ(jobs->front(), kept);
    EXPECT_EQ(store->jobWithID("bad"), nullptr);
    EXPECT_EQ(countRows("UploadJob"), 1);
    EXPECT_EQ(countRows("UploadFile"), 2);
    EXPECT_TRUE(store->addJob(jobInput("later")));
}

TEST_F(UploadJobStoreTest, DeleteRemovesTheJobAndItsFiles) {
    auto store = newStore();
    ASSERT_TRUE(store->addJob(jobInput("gone", "running", 3)));
    ASSERT_TRUE(store->addJob(jobInput("stays", "running", 1)));
    VTRError error;
    EXPECT_TRUE(newStore()->deleteJobWithID("gone", &error)) << error.description();
    EXPECT_EQ(newStore()->jobWithID("gone"), nullptr);
    EXPECT_EQ(countRows("UploadJob"), 1);
    EXPECT_EQ(countRows("UploadFile"), 1);
    EXPECT_EQ(newStore()->jobWithID("stays")->fileList().size(), 1u);
}

TEST_F(UploadJobStoreTest, SaveWritesEveryPendingChangeOfTheStore) {
    auto store = newStore();
    ASSERT_TRUE(store->addJob(jobInput("x")));
    ASSERT_TRUE(store->addJob(jobInput("y")));
    VTRManagedUploadJob* x = store->jobWithID("x");
    VTRManagedUploadJob* y = store->jobWithID("y");
    x->setState(VTRUploadJobStateCompleted);
    y->fileList().front()->setBytesUploaded(99);
    ASSERT_TRUE(store->saveJob(x));
    auto reader = newStore();
    EXPECT_EQ(reader->jobWithID("x")->state(), VTRUploadJobStateCompleted);
    EXPECT_EQ(reader->jobWithID("y")->fileWithLocalPath("/data/y/0.mov")->bytesUploaded(), 99u);
}

// Two stores read the same job, change it, and save one after the other.
class StoreConflictTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_TRUE(newStore()->addJob(jobInput("job", "restart")));
        first = newStore();
        second = newStore();
        mine = first->jobWithID("job");
        theirs = second->jobWithID("job");
        ASSERT_TRUE(mine && theirs);
    }
    VTRManagedUploadJob* stored() {
        reader = newStore();
        return reader->jobWithID("job");
    }
    // Saves `mineState` through the first store, then `theirsState` through the second; the
    // state stored in the end.
    VTRUploadJobState merged(VTRUploadJobState mineState, VTRUploadJobState theirsState) {
        mine->setState(mineState);
        EXPECT_TRUE(first->saveJob(mine));
        theirs->setState(theirsState);
        EXPECT_TRUE(second->saveJob(theirs));
        return stored()->state();
    }

    std::unique_ptr<VTRSQLiteUploadJobStore> first, second, reader;
    VTRManagedUploadJob* mine = nullptr;
    VTRManagedUploadJob* theirs = nullptr;
};

TEST_F(StoreConflictTest, ErroredBeatsALaterRunningAndTheOtherChangeIsKept) {
    mine->setState(VTRUploadJobStateErrored);
    mine->setError("verification failed");
    ASSERT_TRUE(first->saveJob(mine));

    theirs->setState(VTRUploadJobStateRunning);
    theirs->setRestarting(true);
    VTRError error;
    ASSERT_TRUE(second->saveJob(theirs, &error)) << error.description();
    EXPECT_EQ(theirs->state(), VTRUploadJobStateErrored);
    EXPECT_EQ(stored()->state(), VTRUploadJobStateErrored);
    EXPECT_TRUE(stored()->restarting());
    EXPECT_EQ(stored()->error(), "verification failed");
}

TEST_F(StoreConflictTest, CompletedBeatsPausedWhenSavedFirst) {
    EXPECT_EQ(merged(VTRUploadJobStateCompleted, VTRUploadJobStatePaused),
              VTRUploadJobStateCompleted);
}

TEST_F(StoreConflictTest, CompletedBeatsPausedWhenSavedSecond) {
    EXPECT_EQ(merged(VTRUploadJobStatePaused, VTRUploadJobStateCompleted),
              VTRUploadJobStateCompleted);
}

TEST_F(StoreConflictTest, ChangesOfDifferentAttributesAreBothKept) {
    mine->setSessionID("new-session");
    mine->setErrorState(VTRUploadErrorStateClose);
    ASSERT_TRUE(first->saveJob(mine));
    theirs->setState(VTRUploadJobStatePaused);
    ASSERT_TRUE(second->saveJob(theirs));
    VTRManagedUploadJob* job = stored();
    EXPECT_EQ(job->state(), VTRUploadJobStatePaused);
    EXPECT_EQ(job->sessionID(), "new-session");
    EXPECT_EQ(job->errorState(), VTRUploadErrorStateClose);
}

TEST_F(StoreConflictTest, ProgressOfOneFileAndProgressOfAnotherAreBothKept) {
    mine->fileWithLocalPath("/data/job/0.mov")->setBytesUploaded(100);
    mine->fileWithLocalPath("/data/job/1.mov")->setClosed(true);
    ASSERT_TRUE(first->saveJob(mine));
    theirs->fileWithLocalPath("/data/job/0.mov")->setTotalBytes(500);
    theirs->fileWithLocalPath("/data/job/1.mov")->setBytesUploaded(7);
    ASSERT_TRUE(second->saveJob(theirs));
    VTRManagedUploadJob* job = stored();
    EXPECT_EQ(job->fileWithLocalPath("/data/job/0.mov")->bytesUploaded(), 100u);
    EXPECT_EQ(job->fileWithLocalPath("/data/job/0.mov")->totalBytes(), 500u);
    EXPECT_TRUE(job->fileWithLocalPath("/data/job/1.mov")->closed());
    EXPECT_EQ(job->fileWithLocalPath("/data/job/1.mov")->bytesUploaded(), 7u);
}

TEST_F(StoreConflictTest, ConflictErrorListsBaseAndStoredSnapshots) {
    mine->setState(VTRUploadJobStatePaused);
    ASSERT_TRUE(first->saveJob(mine));
    theirs->setState(VTRUploadJobStateRunning);
    VTRError error;
    ASSERT_FALSE(second->managedObjectContext().save(&error));
    ASSERT_TRUE(VTRSQLiteUploadJobStore::isConflictError(error));
    const VTRArray& conflicts = find(error.userInfo(), VTRConflictListKey)->arrayValue();
    ASSERT_EQ(conflicts.size(), 1u);
    const VTRValue& conflict = conflicts.front();
    EXPECT_EQ(conflict.find(VTRConflictSnapshotKey)->find("stateValue")->int64Value(),
              VTRUploadJobStateRestart);
    EXPECT_EQ(conflict.find(VTRConflictCachedRowKey)->find("stateValue")->int64Value(),
              VTRUploadJobStatePaused);
    EXPECT_EQ(conflict.find(VTRConflictCachedRowKey)->find("jobID")->stringValue(), "job");
    // Resolution keeps the higher-priority paused, and the one re-save succeeds.
    EXPECT_TRUE(second->saveAndResolve(&error)) << error.description();
    EXPECT_EQ(stored()->state(), VTRUploadJobStatePaused);
}

TEST_F(StoreConflictTest, AJobDeletedElsewhereIsNotBroughtBack) {
    ASSERT_TRUE(first->deleteJobWithID("job"));
    theirs->fileWithLocalPath("/data/job/0.mov")->setBytesUploaded(10);
    theirs->setState(VTRUploadJobStateRunning);
    VTRError error;
    EXPECT_TRUE(second->saveJob(theirs, &error)) << error.description();
    EXPECT_EQ(stored(), nullptr);
    EXPECT_EQ(countRows("UploadJob"), 0);
    EXPECT_EQ(countRows("UploadFile"), 0);
}

// SQLite would give the next row the highest deleted id; a store still holding the deleted job
// would then save onto the later job's rows.
TEST_F(UploadJobStoreTest, AStoreHoldingADeletedJobNeverWritesOntoALaterJob) {
    auto holder = newStore();
    ASSERT_TRUE(holder->addJob(jobInput("older")));
    VTRManagedUploadJob* gone = holder->addJob(jobInput("gone", "running", 1));
    ASSERT_TRUE(gone);
    auto other = newStore();
    ASSERT_TRUE(other->deleteJobWithID("gone"));
    ASSERT_TRUE(other->addJob(jobInput("later", "paused", 1)));

    gone->setState(VTRUploadJobStateErrored);
    gone->setError("stale");
    gone->fileList().front()->setBytesUploaded(99);
    gone->fileList().front()->setClosed(true);
    holder->saveJob(gone);  // whatever it answers, the later job is not its to change

    auto reader = newStore();
    VTRManagedUploadJob* later = reader->jobWithID("later");
    ASSERT_TRUE(later);
    EXPECT_EQ(later->state(), VTRUploadJobStatePaused);
    EXPECT_EQ(later->error(), std::nullopt);
    ASSERT_EQ(later->fileList().size(), 1u);
    EXPECT_EQ(later->fileList().front()->localPath(), "/data/later/0.mov");
    EXPECT_EQ(later->fileList().front()->bytesUploaded(), 0u);
    EXPECT_FALSE(later->fileList().front()->closed());
    EXPECT_EQ(reader->jobWithID("gone"), nullptr);
}

TEST_F(UploadJobStoreTest, AJobWrittenByAnExitedChildProcessIsRead) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child opens the database on its own, as a second daemon process would.
        auto coordinator = VTRStoreCoordinator::open(databasePath(), nullptr);
        bool added =
            coordinator && VTRSQLiteUploadJobStore(coordinator).addJob(jobInput("from-child"));
        _exit(added ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto store = newStore();
    VTRManagedUploadJob* job = store->jobWithID("from-child");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->fileList().size(), 2u);
}

}  // namespace
}  // namespace vtr::test
