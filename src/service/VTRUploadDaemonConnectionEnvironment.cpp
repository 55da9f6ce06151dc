#include "service/VTRUploadDaemonConnectionEnvironment.h"

#include "jobs/VTRSQLiteUploadJobStore.h"

namespace vtr {

VTRUploadDaemonConnectionEnvironment::VTRUploadDaemonConnectionEnvironment(
    std::shared_ptr<VTRStoreCoordinator> coordinator,
    std::shared_ptr<VTRUploadJobService> uploadJobService, std::shared_ptr<VTRMetrics> metrics,
    std::shared_ptr<VTRUploadLimitSettings> uploadLimit)
    : coordinator_(std::move(coordinator)),
      uploadJobService_(std::move(uploadJobService)),
      metrics_(std::move(metrics)),
      uploadLimit_(std::move(uploadLimit)) {}

std::unique_ptr<VTRSQLiteUploadJobStore> VTRUploadDaemonConnectionEnvironment::newJobStore() const {
    if (!coordinator_) return nullptr;
    return std::make_unique<VTRSQLiteUploadJobStore>(coordinator_);
}

}  // namespace vtr
