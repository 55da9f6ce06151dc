// VTRJobChangeObserver: hears of every change to a stored job and to what its upload is doing,
// for the control API's event stream. The job service calls it on the run loop's thread (job
// changes) and on upload workers (activity); the control API on its connection queue. An
// implementation takes calls from all of them at once and returns quickly.
#pragma once

#include <string>

#include "service/VTRUploadJobService.h"

namespace vtr {

class VTRJobChangeObserver {
  public:
    virtual ~VTRJobChangeObserver() = default;

    // The stored job changed: its state, error, restarting flag or file list.
    virtual void jobChanged(const std::string& jobID) = 0;
    // Only the bytes uploaded of one of its files changed.
    virtual void jobProgressed(const std::string& jobID) = 0;
    virtual void jobRemoved(const std::string& jobID) = 0;
    // The phase or retry of the job's upload changed.
    virtual void activityChanged(const VTRJobActivity& activity) = 0;
};

}  // namespace vtr
