// Several threads, each with its own stores over one coordinator, saving changes to the same
// job as fast as they can: no crash, no committed change lost, states merged by priority.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <thread>

#include "jobs/StoreTestSupport.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"

namespace vtr::test {
namespace {

// Position in the priority order, higher winning: unknown 0 ... errored 6.
int rankOf(VTRUploadJobState state) {
    const auto& priority = VTRSQLiteUploadJobStore::statePriority();
    auto found = std::find(priority.begin(), priority.end(), state);
    return static_cast<int>(priority.end() - found) - 1;
}

VTRUploadJobState stateOfRank(int rank) {
    const auto& priority = VTRSQLiteUploadJobStore::statePriority();
    return priority[priority.size() - 1 - static_cast<size_t>(rank)];
}

class StoreConcurrencyTest : public StoreTest {};

TEST_F(StoreConcurrencyTest, FourThreadsSavingToOneJobLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kSaves = 1000;
    ASSERT_TRUE(newStore()->addJob(jobInput("job", "unknown", kThreads)));

    std::atomic<int> conflictsRetried{0};
    std::atomic<int> failures{0};
    // Every round all threads read the job before any of them saves, so that in each round
    // three of the four saves collide with the first one and go through conflict resolution.
    std::barrier round(kThreads);
    // Ends a thread's part, without holding up the others' rounds.
    auto fail = [&](const std::string& why) {
        ADD_FAILURE() << why;
        ++failures;
        round.arrive_and_drop();
    };
    auto worker = [&](int thread) {
        std::string path = "/data/job/" + std::to_string(thread) + ".mov";
        int committedRank = 0;
        for (int k = 0; k < kSaves; ++k) {
            // Each thread asks for a state that rises over time on its own schedule and never
            // below what it read, so colliding saves ask for different states, the stored state
            // may only ever rise, and it ends errored, which thread 0 asks for last.
            int scheduled = std::min(5, (k + 167 * thread) * 6 / kSaves);
            if (thread == 0 && k == kSaves - 1) scheduled = 6;
            for (bool firstTry = true;; firstTry = false) {
                auto store = newStore();
                VTRError error;
                VTRManagedUploadJob* job = store->jobWithID("job", &error);
                VTRManagedUploadFile* file = job ? job->fileWithLocalPath(path) : nullptr;
                if (!file) return fail("job not found: " + error.description());
                int readRank = rankOf(job->state());
                EXPECT_GE(readRank, committedRank) << "a stored state went down";
                EXPECT_EQ(file->bytesUploaded(), static_cast<uint64_t>(k)) << "lost progress";
                job->setState(stateOfRank(std::max(readRank, scheduled)));
                job->setError("thread " + std::to_string(thread));
                file->setBytesUploaded(static_cast<uint64_t>(k) + 1);
                if (firstTry) round.arrive_and_wait();
                if (store->saveJob(job, &error)) {
                    committedRank = rankOf(job->state());
                    break;
                }
                if (!VTRSQLiteUploadJobStore::isConflictError(error))
                    return fail("save failed: " + error.description());
                ++conflictsRetried;  // a second conflict in the re-save: try again afresh
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(failures, 0);

    auto store = newStore();
    VTRManagedUploadJob* job = store->jobWithID("job");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->state(), VTRUploadJobStateErrored);
    ASSERT_EQ(job->fileList().size(), static_cast<size_t>(kThreads));
    for (VTRManagedUploadFile* file : job->fileList())
        EXPECT_EQ(file->bytesUploaded(), static_cast<uint64_t>(kSaves)) << *file->localPath();
    RecordProperty("conflictsRetried", conflictsRetried.load());
}

}  // namespace
}  // namespace vtr::test
