// VTRUploadJobStore: how the rest of the daemon reads and writes upload jobs. A store and every
// record it returns belong to the thread that made the store; make one per piece of work.
// Every operation takes a nullable error out-parameter. "Nothing without an error" means not
// found; "nothing with an error" means failure.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRError.h"
#include "jobs/VTRUploadDaemonConstants.h"

namespace vtr {

class VTRManagedUploadJob;

class VTRUploadJobStore {
  public:
    virtual ~VTRUploadJobStore() = default;

    // Every job (no order), or nullopt with the error.
    virtual std::optional<std::vector<VTRManagedUploadJob*>> allJobs(VTRError* error = nullptr) = 0;
    // The jobs whose stored state equals `state`, or nullopt with the error.
    virtual std::optional<std::vector<VTRManagedUploadJob*>> allJobsForState(
        VTRUploadJobState state, VTRError* error = nullptr) = 0;
    // Creates a job from a job input object and saves it. On failure nothing is stored, the
    // store's unsaved changes are discarded, and nullptr comes with the error (1570/1560 for
    // invalid input).
    virtual VTRManagedUploadJob* addJob(const nlohmann::json& dictionary,
                                        VTRError* error = nullptr) = 0;
    // Deletes the one job with that id and its files. False without an error: no such job (or
    // several). False with an error: the fetch or the save failed (unsaved changes discarded).
    virtual bool deleteJobWithID(const std::string& jobID, VTRError* error = nullptr) = 0;
    // Saves every pending change of the store, not only `job`'s. On failure the unsaved changes
    // are discarded and false comes with the error.
    virtual bool saveJob(VTRManagedUploadJob* job, VTRError* error = nullptr) = 0;
    // The one job with that id. nullptr without an error: none, or several. With: failure.
    virtual VTRManagedUploadJob* jobWithID(const std::string& jobID, VTRError* error = nullptr) = 0;
};

}  // namespace vtr
