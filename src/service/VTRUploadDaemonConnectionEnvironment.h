// VTRUploadDaemonConnectionEnvironment: what every control-API request reaches the job store and
// the job service through. The daemon makes one at start-up, before the server accepts
// connections, and hands it to the server's connection factory. It does not change afterwards,
// so any thread may read it and call newJobStore.
#pragma once

#include <memory>

namespace vtr {

class VTRSQLiteUploadJobStore;
class VTRStoreCoordinator;
class VTRUploadJobService;

class VTRUploadDaemonConnectionEnvironment {
  public:
    // Either may be nullptr: requests that need it then answer as with no store or no service.
    VTRUploadDaemonConnectionEnvironment(std::shared_ptr<VTRStoreCoordinator> coordinator,
                                         std::shared_ptr<VTRUploadJobService> uploadJobService);

    // A new store over the shared coordinator, owned by the caller and confined to its thread.
    // nullptr without a coordinator.
    std::unique_ptr<VTRSQLiteUploadJobStore> newJobStore() const;

    const std::shared_ptr<VTRStoreCoordinator>& persistentStoreCoordinator() const {
        return coordinator_;
    }
    const std::shared_ptr<VTRUploadJobService>& uploadJobService() const {
        return uploadJobService_;
    }

  private:
    const std::shared_ptr<VTRStoreCoordinator> coordinator_;
    const std::shared_ptr<VTRUploadJobService> uploadJobService_;
};

}  // namespace vtr
