// VTRUploadJobService: the job service as the control API drives it. The implementation states
// which threads may call it.
#pragma once

#include <string>
#include <vector>

#include "foundation/VTRError.h"
#include "upload/VTRUploadActivity.h"

namespace vtr {

// What the upload operation of one job is doing at the moment it was asked.
struct VTRJobActivity {
    std::string jobID;
    VTRUploadActivitySnapshot activity;
};

class VTRUploadJobService {
  public:
    virtual ~VTRUploadJobService() = default;

    // Queues an upload of the stored job with that id.
    virtual bool uploadJobWithID(const std::string& jobID, VTRError* error = nullptr) = 0;
    // Cancels the job's upload operation, if it has one.
    virtual void cancelJobWithJobID(const std::string& jobID) = 0;
    // Starts the job's upload again from the beginning of every file.
    virtual bool restartUploadForJobWithJobID(const std::string& jobID,
                                              VTRError* error = nullptr) = 0;
    // One entry for each job that has an upload operation now, in order of job id.
    virtual std::vector<VTRJobActivity> currentActivities() = 0;
};

}  // namespace vtr
