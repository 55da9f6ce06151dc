// VTRUploadJobService: the job service as the control API drives it. The implementation states
// which threads may call it.
#pragma once

#include <string>

#include "foundation/VTRError.h"

namespace vtr {

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
};

}  // namespace vtr
