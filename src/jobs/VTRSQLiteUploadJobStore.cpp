#include "jobs/VTRSQLiteUploadJobStore.h"

#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteStatement.h"
#include "jobs/VTRStoreCoordinator.h"

namespace vtr {

namespace {

constexpr const char* kStateAttribute = "stateValue";

std::optional<int64_t> integerOf(const VTRValue* value) {
    if (!value || !value->isInteger()) return std::nullopt;
    return value->int64Value();
}

std::optional<int64_t> integerOf(const VTRAttributeValue& value) {
    if (const auto* number = std::get_if<int64_t>(&value)) return *number;
    return std::nullopt;
}

}  // namespace

VTRSQLiteUploadJobStore::VTRSQLiteUploadJobStore(std::shared_ptr<VTRStoreCoordinator> coordinator)
    : coordinator_(std::move(coordinator)),
      context_(std::make_unique<VTRObjectContext>(coordinator_)) {}

VTRSQLiteUploadJobStore::~VTRSQLiteUploadJobStore() = default;

void VTRSQLiteUploadJobStore::setStoreCoordinator(
    std::shared_ptr<VTRStoreCoordinator> coordinator) {
    if (coordinator == coordinator_) return;
    coordinator_ = std::move(coordinator);
    context_ = std::make_unique<VTRObjectContext>(coordinator_);
}

VTRObjectContext& VTRSQLiteUploadJobStore::managedObjectContext() {
    return *context_;
}

VTRFetchRequest VTRSQLiteUploadJobStore::fetchRequestForUploadJob() {
    VTRFetchRequest request;
    request.entity = &VTRManagedUploadJob::entity();
    return request;
}

std::optional<std::vector<VTRManagedUploadJob*>> VTRSQLiteUploadJobStore::fetchJobs(
    const std::string& attribute, VTRAttributeValue value, VTRError* error, bool includesFiles) {
    VTRFetchRequest request = fetchRequestForUploadJob();
    request.includesChildren = includesFiles;
    request.attribute = attribute;
    request.value = std::move(value);
    auto objects = context_->execute(request, error);
    if (!objects) return std::nullopt;
    std::vector<VTRManagedUploadJob*> jobs;
    jobs.reserve(objects->size());
    for (VTRManagedObject* object : *objects)
        jobs.push_back(static_cast<VTRManagedUploadJob*>(object));
    return jobs;
}

std::optional<std::vector<VTRManagedUploadJob*>> VTRSQLiteUploadJobStore::allJobs(VTRError* error) {
    return fetchJobs({}, {}, error);
}

std::optional<std::vector<VTRManagedUploadJob*>> VTRSQLiteUploadJobStore::allJobsForState(
    VTRUploadJobState state, VTRError* error) {
    return fetchJobs(kStateAttribute, int64_t{state}, error);
}

VTRManagedUploadJob* VTRSQLiteUploadJobStore::addJob(const nlohmann::json& dictionary,
                                                     VTRError* error) {
    VTRManagedUploadJob* job = VTRManagedUploadJob::newInstance(*context_, dictionary);
    return saveOrRollBack(error) ? job : nullptr;
}

bool VTRSQLiteUploadJobStore::deleteJobWithID(const std::string& jobID, VTRError* error) {
    VTRFetchRequest request = fetchRequestForUploadJob();
    request.attribute = "jobID";
    request.value = jobID;
    request.propertiesToFetch = {"jobID"};
    auto matches = context_->execute(request, error);
    if (!matches) return false;
    if (matches->size() != 1) return false;
    context_->deleteObject(matches->front());
    return saveOrRollBack(error);
}

bool VTRSQLiteUploadJobStore::saveJob(VTRManagedUploadJob*, VTRError* error) {
    return saveOrRollBack(error);
}

bool VTRSQLiteUploadJobStore::saveOrRollBack(VTRError* error) {
    VTRError saveError;
    if (!saveAndResolve(&saveError)) {
        context_->rollback();
        setError(error, std::move(saveError));
        return false;
    }
    return true;
}

VTRManagedUploadJob* VTRSQLiteUploadJobStore::jobWithID(const std::string& jobID, VTRError* error) {
    auto jobs = fetchJobs("jobID", jobID, error);
    if (!jobs || jobs->size() != 1) return nullptr;
    return jobs->front();
}

VTRManagedUploadJob* VTRSQLiteUploadJobStore::jobWithIDFilesOnDemand(const std::string& jobID,
                                                                     VTRError* error) {
    auto jobs = fetchJobs("jobID", jobID, error, /*includesFiles=*/false);
    if (!jobs || jobs->size() != 1) return nullptr;
    return jobs->front();
}

bool VTRSQLiteUploadJobStore::saveAndResolve(VTRError* error) {
    VTRError saveError;
    if (context_->save(&saveError)) {
        setError(error, VTRError());
        return true;
    }
    if (!isConflictError(saveError)) {
        setError(error, std::move(saveError));
        return false;
    }
    resolveConflictError(saveError);
    VTRError secondError;
    bool saved = context_->save(&secondError);
    setError(error, saved ? VTRError() : std::move(secondError));
    return saved;
}

bool VTRSQLiteUploadJobStore::isConflictError(const VTRError& error) {
    return error.domain() == NSCocoaErrorDomain && error.code() == NSManagedObjectMergeError;
}

void VTRSQLiteUploadJobStore::resolveConflictError(const VTRError& error) {
    const VTRValue* list = find(error.userInfo(), VTRConflictListKey);
    if (!list) return;
    for (const VTRValue& entry : list->arrayValue()) {
        const VTRValue* entityName = entry.find(VTRConflictEntityKey);
        const VTRValue* objectID = entry.find(VTRConflictObjectKey);
        const VTRValue* base = entry.find(VTRConflictSnapshotKey);
        const VTRValue* theirs = entry.find(VTRConflictCachedRowKey);
        if (!entityName || !objectID || !base) continue;
        const VTREntity& entity = entityName->stringValue() == VTRManagedUploadJob::entity().name()
                                      ? VTRManagedUploadJob::entity()
                                      : VTRManagedUploadFile::entity();
        VTRManagedObject* object = context_->registeredObject(entity, objectID->int64Value());
        if (!object) continue;
        resolveConflictWithBaseVersion(
            base->dictionaryValue(),
            theirs && theirs->isDictionary() ? &theirs->dictionaryValue() : nullptr, object);
    }
}

void VTRSQLiteUploadJobStore::resolveConflictWithBaseVersion(const VTRDictionary& baseVersion,
                                                             const VTRDictionary* theirVersion,
                                                             VTRManagedObject* object) {
    bool isJob = &object->entity() == &VTRManagedUploadJob::entity();
    std::optional<int64_t> base = integerOf(find(baseVersion, kStateAttribute));
    std::optional<int64_t> ours = integerOf(object->valueForKey(kStateAttribute));
    // Attributes changed only in the store take the stored value; ours keep ours. The stored row
    // is read afresh here rather than taken from the conflict, because another save may have
    // landed since; deciding against an older row would let this save undo that one.
    context_->refreshObject(object, true, nullptr);
    if (!theirVersion || !isJob || object->isGone() || ours == base) return;
    std::optional<int64_t> theirs = integerOf(object->committedValueForKey(kStateAttribute));
    if (theirs == base) return;
    // Both sides changed the state: the one that matters more wins.
    for (VTRUploadJobState state : statePriority()) {
        if (theirs == state || ours == state) {
            object->setValueForKey(kStateAttribute, theirs == state ? *theirs : *ours);
            return;
        }
    }
}

const std::vector<VTRUploadJobState>& VTRSQLiteUploadJobStore::statePriority() {
    static const std::vector<VTRUploadJobState> priority{
        VTRUploadJobStateErrored, VTRUploadJobStateCompleted, VTRUploadJobStatePaused,
        VTRUploadJobStateRunning, VTRUploadJobStateRestart,   VTRUploadJobStateRetry,
        VTRUploadJobStateUnknown};
    return priority;
}

std::optional<std::map<VTRUploadJobState, int64_t>> VTRSQLiteUploadJobStore::jobCountsByState(
    VTRError* error) const {
    std::map<VTRUploadJobState, int64_t> counts;
    for (VTRUploadJobState state = VTRUploadJobStatePaused; state <= VTRUploadJobStateErrored;
         ++state)
        counts[state] = 0;
    auto lock = coordinator_->lock();
    sqlite3_stmt* statement = coordinator_->statement(
        R"(SELECT "stateValue", COUNT(*) FROM "UploadJob" GROUP BY "stateValue")", error);
    if (!statement) return std::nullopt;
    VTRStatementScope scope(statement);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        auto state = static_cast<VTRUploadJobState>(sqlite3_column_int64(statement, 0));
        if (counts.count(state)) counts[state] = sqlite3_column_int64(statement, 1);
    }
    if (rc != SQLITE_DONE) {
        setError(error, coordinator_->lastError(NSSQLiteError));
        return std::nullopt;
    }
    return counts;
}

}  // namespace vtr
