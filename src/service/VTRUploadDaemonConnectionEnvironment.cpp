#include "service/VTRUploadDaemonConnectionEnvironment.h"

#include "jobs/VTRSQLiteUploadJobStore.h"

namespace vtr {

namespace {
std::mutex sharedMutex;
std::shared_ptr<VTRUploadDaemonConnectionEnvironment> sharedEnvironment;
}  // namespace

std::shared_ptr<VTRUploadDaemonConnectionEnvironment>
VTRUploadDaemonConnectionEnvironment::sharedInstance() {
    std::lock_guard lock(sharedMutex);
    return sharedEnvironment;
}

void VTRUploadDaemonConnectionEnvironment::setSharedInstance(
    std::shared_ptr<VTRUploadDaemonConnectionEnvironment> instance) {
    std::lock_guard lock(sharedMutex);
    sharedEnvironment = std::move(instance);
}

VTRUploadDaemonConnectionEnvironment::VTRUploadDaemonConnectionEnvironment(
    std::shared_ptr<VTRStoreCoordinator> coordinator,
    std::shared_ptr<VTRUploadJobService> uploadJobService)
    : coordinator_(std::move(coordinator)), uploadJobService_(std::move(uploadJobService)) {}

std::unique_ptr<VTRSQLiteUploadJobStore> VTRUploadDaemonConnectionEnvironment::newJobStore() const {
    std::shared_ptr<VTRStoreCoordinator> coordinator = persistentStoreCoordinator();
    if (!coordinator) return nullptr;
    return std::make_unique<VTRSQLiteUploadJobStore>(std::move(coordinator));
}

std::shared_ptr<VTRStoreCoordinator>
VTRUploadDaemonConnectionEnvironment::persistentStoreCoordinator() const {
    std::lock_guard lock(mutex_);
    return coordinator_;
}

void VTRUploadDaemonConnectionEnvironment::setPersistentStoreCoordinator(
    std::shared_ptr<VTRStoreCoordinator> coordinator) {
    std::lock_guard lock(mutex_);
    coordinator_ = std::move(coordinator);
}

std::shared_ptr<VTRUploadJobService> VTRUploadDaemonConnectionEnvironment::uploadJobService()
    const {
    std::lock_guard lock(mutex_);
    return uploadJobService_;
}

void VTRUploadDaemonConnectionEnvironment::setUploadJobService(
    std::shared_ptr<VTRUploadJobService> service) {
    std::lock_guard lock(mutex_);
    uploadJobService_ = std::move(service);
}

}  // namespace vtr
