// VTRSQLiteUploadJobStore: the job store over the shared SQLite coordinator. Each store has its
// own working context, so two stores may hold different unsaved versions of one job; saves that
// collide are reconciled once by a fixed rule (the job state merged by priority). Confined to the
// thread that uses it; make a new one per request or callback.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "foundation/VTRValue.h"
#include "jobs/VTRManagedObject.h"
#include "jobs/VTRObjectContext.h"
#include "jobs/VTRUploadJobStore.h"

namespace vtr {

class VTRStoreCoordinator;

class VTRSQLiteUploadJobStore : public VTRUploadJobStore {
  public:
    explicit VTRSQLiteUploadJobStore(std::shared_ptr<VTRStoreCoordinator> coordinator);
    ~VTRSQLiteUploadJobStore() override;

    std::optional<std::vector<VTRManagedUploadJob*>> allJobs(VTRError* error = nullptr) override;
    std::optional<std::vector<VTRManagedUploadJob*>> allJobsForState(
        VTRUploadJobState state, VTRError* error = nullptr) override;
    VTRManagedUploadJob* addJob(const nlohmann::json& dictionary,
                                VTRError* error = nullptr) override;
    bool deleteJobWithID(const std::string& jobID, VTRError* error = nullptr) override;
    bool saveJob(VTRManagedUploadJob* job, VTRError* error = nullptr) override;
    VTRManagedUploadJob* jobWithID(const std::string& jobID, VTRError* error = nullptr) override;

    // As jobWithID, but the job's files are read only when used: all of them by fileList(),
    // those with one path by filesWithLocalPath(). A report on one file of a job of thousands
    // reads and writes that file alone.
    VTRManagedUploadJob* jobWithIDFilesOnDemand(const std::string& jobID,
                                                VTRError* error = nullptr);
    // The number of stored jobs in each state from paused to errored, zeros included; one
    // query, no records.
    std::optional<std::map<VTRUploadJobState, int64_t>> jobCountsByState(
        VTRError* error = nullptr) const;

    const std::shared_ptr<VTRStoreCoordinator>& storeCoordinator() const { return coordinator_; }
    // Replacing the coordinator drops the current context and every record fetched through it.
    void setStoreCoordinator(std::shared_ptr<VTRStoreCoordinator> coordinator);
    VTRObjectContext& managedObjectContext();
    // A request for every "UploadJob": no predicate, no order, no limit.
    static VTRFetchRequest fetchRequestForUploadJob();

    // Saves; on a merge conflict resolves it and saves exactly once more. Does not roll back.
    bool saveAndResolve(VTRError* error = nullptr);
    // saveAndResolve(); on failure discards every unsaved change.
    bool saveOrRollBack(VTRError* error);
    static bool isConflictError(const VTRError& error);
    void resolveConflictError(const VTRError& error);
    // `theirVersion` is nullptr when the record was deleted from the store meanwhile.
    void resolveConflictWithBaseVersion(const VTRDictionary& baseVersion,
                                        const VTRDictionary* theirVersion,
                                        VTRManagedObject* object);
    // Job states, highest priority first: errored, completed, paused, running, restart, retry,
    // unknown.
    static const std::vector<VTRUploadJobState>& statePriority();

  private:
    std::optional<std::vector<VTRManagedUploadJob*>> fetchJobs(const std::string& attribute,
                                                               VTRAttributeValue value,
                                                               VTRError* error,
                                                               bool includesFiles = true);

    std::shared_ptr<VTRStoreCoordinator> coordinator_;
    std::unique_ptr<VTRObjectContext> context_;
};

}  // namespace vtr
