// VTRUploadDaemonConnectionEnvironment: what every control-API request and job-service callback
// reaches the job store and the job service through. One shared instance, set on the main thread
// at start-up before the server accepts connections; any thread may read it and call newJobStore.
#pragma once

#include <memory>
#include <mutex>

namespace vtr {

class VTRSQLiteUploadJobStore;
class VTRStoreCoordinator;
class VTRUploadJobService;

class VTRUploadDaemonConnectionEnvironment {
  public:
    // The shared environment, or nullptr before start-up has set one.
    static std::shared_ptr<VTRUploadDaemonConnectionEnvironment> sharedInstance();
    static void setSharedInstance(std::shared_ptr<VTRUploadDaemonConnectionEnvironment> instance);

    VTRUploadDaemonConnectionEnvironment() = default;
    VTRUploadDaemonConnectionEnvironment(std::shared_ptr<VTRStoreCoordinator> coordinator,
                                         std::shared_ptr<VTRUploadJobService> uploadJobService);

    // A new store over the shared coordinator, owned by the caller and confined to its thread.
    // nullptr while no coordinator is set.
    std::unique_ptr<VTRSQLiteUploadJobStore> newJobStore() const;

    std::shared_ptr<VTRStoreCoordinator> persistentStoreCoordinator() const;
    void setPersistentStoreCoordinator(std::shared_ptr<VTRStoreCoordinator> coordinator);
    std::shared_ptr<VTRUploadJobService> uploadJobService() const;
    void setUploadJobService(std::shared_ptr<VTRUploadJobService> service);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<VTRStoreCoordinator> coordinator_;
    std::shared_ptr<VTRUploadJobService> uploadJobService_;
};

}  // namespace vtr
