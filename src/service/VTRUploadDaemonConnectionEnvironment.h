// VTRUploadDaemonConnectionEnvironment: what every control-API request reaches the job store and
// the job service through. The daemon makes one at start-up, before the server accepts
// connections, and hands it to the server's connection factory. It does not change afterwards,
// so any thread may read it and call newJobStore.
#pragma once

#include <memory>

namespace vtr {

class VTRMetrics;
class VTRSQLiteUploadJobStore;
class VTRStoreCoordinator;
class VTRUploadJobService;
class VTRUploadLimitSettings;

class VTRUploadDaemonConnectionEnvironment {
  public:
    // Any may be nullptr: requests that need it then answer as with no store, no service, no
    // counters or no limit settings.
    VTRUploadDaemonConnectionEnvironment(
        std::shared_ptr<VTRStoreCoordinator> coordinator,
        std::shared_ptr<VTRUploadJobService> uploadJobService,
        std::shared_ptr<VTRMetrics> metrics = nullptr,
        std::shared_ptr<VTRUploadLimitSettings> uploadLimit = nullptr);

    // A new store over the shared coordinator, owned by the caller and confined to its thread.
    // nullptr without a coordinator.
    std::unique_ptr<VTRSQLiteUploadJobStore> newJobStore() const;

    const std::shared_ptr<VTRStoreCoordinator>& persistentStoreCoordinator() const {
        return coordinator_;
    }
    const std::shared_ptr<VTRUploadJobService>& uploadJobService() const {
        return uploadJobService_;
    }

    const std::shared_ptr<VTRMetrics>& metrics() const { return metrics_; }
    const std::shared_ptr<VTRUploadLimitSettings>& uploadLimit() const { return uploadLimit_; }

  private:
    const std::shared_ptr<VTRStoreCoordinator> coordinator_;
    const std::shared_ptr<VTRUploadJobService> uploadJobService_;
    const std::shared_ptr<VTRMetrics> metrics_;
    const std::shared_ptr<VTRUploadLimitSettings> uploadLimit_;
};

}  // namespace vtr
