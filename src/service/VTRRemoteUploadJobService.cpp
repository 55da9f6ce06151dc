#include "service/VTRRemoteUploadJobService.h"

#include <algorithm>
#include <chrono>

#include "foundation/VTRErrorAdditions.h"
#include "foundation/VTROperationQueue.h"
#include "foundation/VTRRunLoop.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "logging/VTRLog.h"
#include "metrics/VTRMetrics.h"
#include "service/VTRJobChangeObserver.h"
#include "upload/VTRFileUploadOperation.h"
#include "upload/VTRRetryController.h"
#include "upload/VTRUploadServiceWithVerify.h"

namespace vtr {

namespace {

// The Cocoa code for "a file to read does not exist".
constexpr int64_t NSFileReadNoSuchFileError = 260;

// What a log line shows for an operation.
std::string describe(const VTRFileUploadOperation& operation) {
    return fmt::format("<VTRFileUploadOperation: {}>", fmt::ptr(&operation));
}

// What a log line shows for an error slot that a look-up may have left empty ("nothing without
// an error").
std::string describeIfSet(const VTRError& error) {
    return error.domain().empty() ? "(null)" : error.description();
}

std::chrono::steady_clock::duration secondsDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

}  // namespace

VTRRemoteUploadJobService::VTRRemoteUploadJobService(
    std::shared_ptr<VTRStoreCoordinator> coordinator, VTRRunLoop& runLoop, Options options)
    : options_(std::move(options)),
      coordinator_(std::move(coordinator)),
      runLoop_(runLoop),
      retryController_(std::make_shared<VTRRetryController>(/*shouldSleep=*/true, /*quiet=*/true)),
      operationQueue_(
          std::make_unique<VTROperationQueue>("VTRRemoteUploadJobService", kMaxConcurrentUploads)) {
    if (!options_.uploadServiceFactory) {
        options_.uploadServiceFactory = [transport = VTRUploadService_impl::Transport{
                                             options_.additionalAuthorities,
                                             options_.uploadLimiter},
                                         metrics = options_.metrics](const std::string& serverURL) {
            auto service = std::make_unique<VTRUploadServiceWithVerify>(serverURL, transport);
            service->setMetrics(metrics);
            return service;
        };
    }
    retryController_->setMetrics(options_.metrics);
    // The controller is shared by every operation: configure it before the first one exists.
    if (options_.requeueDelay) retryController_->setSavedMaxDelay(*options_.requeueDelay);
    if (options_.firstRetryPause) retryController_->setFirstPause(*options_.firstRetryPause);
    if (options_.requeueAtConstruction) requeueRunningJobs();
}

VTRRemoteUploadJobService::~VTRRemoteUploadJobService() {
    operationQueue_->cancelAllOperations();
    operationQueue_->waitUntilAllOperationsAreFinished();
    // Reports still queued on the run loop read the delegate when they run; with it cleared they
    // are dropped instead of reaching this destroyed object.
    std::lock_guard lock(operationsMutex_);
    for (const auto& weak : madeOperations_)
        if (auto operation = weak.lock()) operation->setDelegate(nullptr);
}

double VTRRemoteUploadJobService::requeueDelay() const {
    return retryController_->maxDelay();
}

std::unique_ptr<VTRSQLiteUploadJobStore> VTRRemoteUploadJobService::newJobStore(
    VTRError* error) const {
    std::unique_ptr<VTRSQLiteUploadJobStore> store =
        coordinator_ ? std::make_unique<VTRSQLiteUploadJobStore>(coordinator_) : nullptr;
    if (!store) {
        setError(error, VTRError::withDescription(NSCocoaErrorDomain, NSPersistentStoreOpenError,
                                                  "The job store is not available."));
    }
    return store;
}

// MARK: - Control API

bool VTRRemoteUploadJobService::uploadJobWithID(const std::string& jobID, VTRError* error) {
    return uploadJob(jobID, Requirement::None, error);
}

// The job is fetched under the lock, not before it: a re-queue that raced with a pause would
// otherwise queue the job from the state it read before the pause was saved.
bool VTRRemoteUploadJobService::uploadJob(const std::string& jobID, Requirement requirement,
                                          VTRError* error) {
    std::lock_guard lock(operationsMutex_);
    auto store = newJobStore(error);
    if (!store) return false;
    VTRManagedUploadJob* job = store->jobWithID(jobID, error);
    if (!job) return false;
    if (operations_.count(jobID)) {
        VTRLogWarn("There is already an operation for job {}. No need to add another.", jobID);
        return true;
    }
    if (requirement == Requirement::StillRunning && job->state() != VTRUploadJobStateRunning)
        return true;
    auto operation = enqueueOperationForJob(*job, error, *store);
    if (!operation) return false;
    operations_[jobID] = std::move(operation);
    cancelledOperations_.erase(jobID);
    return true;
}

void VTRRemoteUploadJobService::cancelJobWithJobID(const std::string& jobID) {
    // Held throughout, so an upload being queued for this job right now is either seen and
    // cancelled here or queued after the client's change is stored.
    std::lock_guard lock(operationsMutex_);
    if (auto cancelled = cancelOperationLocked(jobID)) cancelledOperations_[jobID] = cancelled;
}

std::shared_ptr<VTRFileUploadOperation> VTRRemoteUploadJobService::cancelOperationLocked(
    const std::string& jobID) {
    auto entry = operations_.find(jobID);
    if (entry == operations_.end()) return nullptr;
    std::shared_ptr<VTRFileUploadOperation> operation = std::move(entry->second);
    operations_.erase(entry);
    // Also when it has already run through: the reports it queued must not be heard after this.
    operation->cancel();
    VTRLogVerbose("Canceled job with ID: {}", jobID);
    return operation;
}

bool VTRRemoteUploadJobService::restartUploadForJobWithJobID(const std::string& jobID,
                                                             VTRError* error) {
    auto store = newJobStore(error);
    if (!store) return false;
    VTRManagedUploadJob* job = store->jobWithID(jobID, error);
    if (!job) return false;
    {
        // Nothing of the cancelled operation may be stored past the reset below.
        std::lock_guard lock(operationsMutex_);
        cancelOperationLocked(jobID);
        cancelledOperations_.erase(jobID);
    }
    for (VTRManagedUploadFile* file : job->fileList()) {
        file->setBytesUploaded(0);
        file->setClosed(false);
    }
    if (!store->saveJob(job, error)) return false;
    return uploadJobWithID(jobID, error);
}

std::vector<VTRJobActivity> VTRRemoteUploadJobService::currentActivities() {
    std::vector<VTRJobActivity> activities;
    {
        std::lock_guard lock(operationsMutex_);
        activities.reserve(operations_.size());
        for (const auto& [jobID, operation] : operations_)
            activities.push_back({jobID, operation->activity()->snapshot()});
    }
    std::sort(activities.begin(), activities.end(),
              [](const auto& a, const auto& b) { return a.jobID < b.jobID; });
    return activities;
}

// MARK: - Queueing

void VTRRemoteUploadJobService::requeueRunningJobs() {
    VTRError error;
    auto store = newJobStore(&error);
    std::optional<std::vector<VTRManagedUploadJob*>> jobs;
    if (store) jobs = store->allJobsForState(VTRUploadJobStateRunning, &error);
    if (!jobs) {
        VTRLogWarn("{} Unable to fetch previosly-running jobs: {}",
                   "-[VTRRemoteUploadJobService requeueRunningJobs]", error.description());
        return;
    }
    for (VTRManagedUploadJob* job : *jobs) {
        std::string jobID = job->jobID().value_or("");
        VTRLogVerbose("Re-enqueing job {} for uploading", jobID);
        VTRError uploadError;
        bool failed = !uploadJob(jobID, Requirement::StillRunning, &uploadError);
        if (failed) {
            VTRLogWarn("Unable to re-enqueue job with ID ({}): {}", jobID,
                       describeIfSet(uploadError));
        }
    }
}

std::shared_ptr<VTRFileUploadOperation> VTRRemoteUploadJobService::enqueueOperationForJob(
    VTRManagedUploadJob& job, VTRError* error, VTRUploadJobStore& jobStore) {
    job.setError(std::nullopt);
    job.setErrorState(VTRUploadErrorStateNone);

    // Every file is closed again by the new operation; until it is, none is stored as closed,
    // or the first close would complete a job whose other files are still being sent.
    std::vector<VTRManagedUploadFile*> files = job.fileList();
    for (VTRManagedUploadFile* file : files) {
        file->updateFromLocalPath();
        file->setClosed(false);
    }
    // One save for the whole job: the API thread waits on it, and jobs have thousands of files.
    if (!jobStore.saveJob(&job, error)) return nullptr;
    std::vector<VTRDictionary> fileInfo;
    fileInfo.reserve(files.size());
    for (VTRManagedUploadFile* file : files) fileInfo.push_back(dictionaryForUploadFile(*file));

    auto operation = std::make_shared<VTRFileUploadOperation>(
        job.sessionID().value_or(""), job.jobID().value_or(""), std::move(fileInfo),
        options_.maxUploadRetries, options_.maxCloseRetries, options_.pollingInterval,
        options_.uploadServiceFactory(job.serverURL().value_or("")), retryController_, this,
        &runLoop_);
    if (std::shared_ptr<VTRJobChangeObserver> observer = options_.observer) {
        operation->activity()->setListener(
            [observer, jobID = job.jobID().value_or("")](const VTRUploadActivitySnapshot& now) {
                observer->activityChanged({jobID, now});
            });
    }
    // Callers hold operationsMutex_, which guards the list.
    std::erase_if(madeOperations_, [](const auto& weak) { return weak.expired(); });
    madeOperations_.push_back(operation);
    operationQueue_->addOperation(operation);
    return operation;
}

VTRDictionary VTRRemoteUploadJobService::dictionaryForUploadFile(const VTRManagedUploadFile& file) {
    return makeFileInfo(file.localPath().value_or(""), file.remotePath().value_or(""),
                        file.bytesUploaded(), /*closed=*/false);
}

// MARK: - Failures

void VTRRemoteUploadJobService::handleFailureForRecording(const VTRFileUploadOperation& operation,
                                                          const std::string& jobID,
                                                          VTRUploadErrorState newState,
                                                          const VTRError& error) {
    // A cancel ends the retry pause of a failing call, and the call then reports the error of its
    // last attempt, which says nothing of the cancel: only the operation knows.
    if (!isCurrentReporter(operation, jobID, "failure")) return;
    if (isCancelledOperationError(error) || isNetworkConnectivityError(error)) {
        VTRLogWarn(
            "We got a network connectivity error uploading job for recording {}. Waiting {} "
            "seconds before requeueing this job. {}",
            jobID, requeueDelay(), error.description());
        scheduleRequeue();
        return;
    }
    updateStoredJob(jobID, {VTRLogFlagError, "Unable to save updated job {}: {}"},
                    [&](VTRManagedUploadJob& job) {
                        job.setError(textForError(error));
                        job.setState(VTRUploadJobStateErrored);
                        job.setErrorState(newState);
                        return true;
                    });
}

void VTRRemoteUploadJobService::updateStoredJob(
    const std::string& jobID, UpdateLog log,
    const std::function<bool(VTRManagedUploadJob& job)>& change, bool progressOnly) {
    const bool sync = log.level == VTRLogFlagError;
    VTRError error;
    auto store = newJobStore(&error);
    // Reports name one file: the job's other files stay unread, however many there are.
    VTRManagedUploadJob* job = store ? store->jobWithIDFilesOnDemand(jobID, &error) : nullptr;
    if (!job) {
        VTR_LOG_AT(log.level, sync, "Unable to fetch job with ID: {}, {}", jobID,
                   describeIfSet(error));
        return;
    }
    VTRUploadJobState stateBefore = job->state();
    if (!change(*job)) return;
    if (!store->saveJob(job, &error)) {
        VTR_LOG_AT(log.level, sync, fmt::runtime(log.saveFailed), jobID, error.description());
        return;
    }
    if (!options_.observer) return;
    if (progressOnly && job->state() == stateBefore)
        options_.observer->jobProgressed(jobID);
    else
        options_.observer->jobChanged(jobID);
}

void VTRRemoteUploadJobService::scheduleRequeue() {
    std::weak_ptr<int> alive = lifetime_;
    runLoop_.postAfter(secondsDuration(requeueDelay()), [this, alive] {
        if (alive.lock()) requeueRunningJobs();
    });
}

std::string VTRRemoteUploadJobService::textForError(const VTRError& error) {
    if (error.domain() == NSCocoaErrorDomain && error.code() == NSFileReadNoSuchFileError)
        return "Cannot find upload file";
    if (error.domain() == VTRErrorDomain && error.code() == VTRErrorCodeFileMissing)
        return "Cannot find upload file";
    const VTRValue* reason = find(error.userInfo(), NSLocalizedFailureReasonErrorKey);
    if (reason && reason->isString()) return reason->stringValue();
    return error.localizedDescription();
}

// MARK: - Operation reports

VTRRemoteUploadJobService::Standing VTRRemoteUploadJobService::standingOf(
    const VTRFileUploadOperation& operation, const std::string& jobID) {
    std::lock_guard lock(operationsMutex_);
    auto current = operations_.find(jobID);
    if (!operation.isCancelled() && current != operations_.end() &&
        current->second.get() == &operation)
        return Standing::Current;
    auto cancelled = cancelledOperations_.find(jobID);
    if (cancelled != cancelledOperations_.end() && cancelled->second.lock().get() == &operation)
        return Standing::CancelledLast;
    return Standing::Stale;
}

bool VTRRemoteUploadJobService::isCurrentReporter(const VTRFileUploadOperation& operation,
                                                  const std::string& jobID, const char* report) {
    if (standingOf(operation, jobID) == Standing::Current) return true;
    logIgnoredReport(operation, jobID, report);
    return false;
}

void VTRRemoteUploadJobService::logIgnoredReport(const VTRFileUploadOperation& operation,
                                                 const std::string& jobID, const char* report) {
    VTRLogInfo("Ignoring the {} report of {} for job {}: it is not the job's current operation",
               report, describe(operation), jobID);
}

void VTRRemoteUploadJobService::operationUploadedBytes(VTRFileUploadOperation& operation,
                                                       uint64_t bytes, const std::string& file,
                                                       const std::string& recording) {
    VTRLogVerbose("operation: {} uploaded bytes: {} of file: {} recordingId: {}",
                  describe(operation), bytes, file, recording);
    Standing standing = standingOf(operation, recording);
    if (standing == Standing::Stale) {
        logIgnoredReport(operation, recording, "progress");
        return;
    }
    updateStoredJob(
        recording, {VTRLogFlagError, "Unable to save job {}, {}"},
        [&](VTRManagedUploadJob& job) {
            if (standing == Standing::CancelledLast && job.state() != VTRUploadJobStatePaused) {
                VTRLogInfo(
                    "Ignoring the progress report of cancelled {} for job {}: it is "
                    "not paused",
                    describe(operation), recording);
                return false;
            }
            VTRManagedUploadFile* uploadFile = job.fileWithLocalPath(file);
            // A path the job does not know changes nothing, not even the state.
            if (!uploadFile) return false;
            if (job.state() == VTRUploadJobStateRestart) job.setState(VTRUploadJobStateRunning);
            if (options_.metrics && bytes > uploadFile->bytesUploaded())
                options_.metrics->addUploadedBytes(bytes - uploadFile->bytesUploaded());
            uploadFile->setBytesUploaded(bytes);
            return true;
        },
        /*progressOnly=*/true);
}

void VTRRemoteUploadJobService::operationClosedFile(VTRFileUploadOperation& operation,
                                                    const std::string& file,
                                                    const std::string& recording) {
    VTRLogInfo("Closed file. operation: {} fileId: {} recordingId: {}", describe(operation), file,
               recording);
    if (!isCurrentReporter(operation, recording, "closed file")) return;
    updateStoredJob(recording, {VTRLogFlagWarning, "Unable to update job with ID: {}, {}"},
                    [&](VTRManagedUploadJob& job) {
                        for (VTRManagedUploadFile* uploadFile : job.filesWithLocalPath(file))
                            uploadFile->setClosed(true);
                        VTRError error;
                        std::optional<bool> otherFileOpen = job.hasOpenFileOtherThan(file, &error);
                        if (!otherFileOpen) {
                            VTRLogWarn("Unable to read the open files of job {}: {}", recording,
                                       error.description());
                        } else if (!*otherFileOpen) {
                            markCompleted(job, operation);
                        }
                        return true;
                    });
}

void VTRRemoteUploadJobService::operationRestartedUploadOfFile(VTRFileUploadOperation& operation,
                                                               const std::string& file,
                                                               const std::string& recording,
                                                               const VTRError& error) {
    VTRLogWarn("operation: {} restarted file: {} recordingId: {} error: {}", describe(operation),
               file, recording, error.description());
    if (!isCurrentReporter(operation, recording, "file restart")) return;
    updateStoredJob(recording, {VTRLogFlagError, "Unable to save updated job {}: {}"},
                    [&](VTRManagedUploadJob& job) {
                        // The operation sends the file again from its first byte.
                        job.setRestarting(true);
                        for (VTRManagedUploadFile* uploadFile : job.filesWithLocalPath(file)) {
                            uploadFile->setBytesUploaded(0);
                            uploadFile->setClosed(false);
                        }
                        return true;
                    });
}

void VTRRemoteUploadJobService::operationFailedToInitializeUploadOfFile(
    VTRFileUploadOperation& operation, const std::optional<std::string>& file,
    const std::string& recording, const VTRError& error) {
    VTRLogError("Failed to initialize upload. operation: {} fileId: {} recordingID: {} error: {}",
                describe(operation), file.value_or("(null)"), recording, error.description());
    handleFailureForRecording(operation, recording, VTRUploadErrorStateInit, error);
}

void VTRRemoteUploadJobService::operationFailedToUploadBytesAtOffset(
    VTRFileUploadOperation& operation, uint64_t offset, const std::string& /*file*/,
    const std::string& recording, const VTRError& error) {
    VTRLogError("Failed to upload bytes. operation: {} offset: {} recordingID: {} error: {}",
                describe(operation), offset, recording, error.description());
    handleFailureForRecording(operation, recording, VTRUploadErrorStateUpload, error);
}

void VTRRemoteUploadJobService::operationFailedToCloseFile(VTRFileUploadOperation& operation,
                                                           const std::string& file,
                                                           const std::string& recording,
                                                           const VTRError& error) {
    VTRLogError("Failed to close file. operation: {} fileId: {} recordingID: {} error: {}",
                describe(operation), file, recording, error.description());
    handleFailureForRecording(operation, recording, VTRUploadErrorStateClose, error);
}

void VTRRemoteUploadJobService::operationFailedToVerifyFile(VTRFileUploadOperation& operation,
                                                            const std::string& file,
                                                            const std::string& recording,
                                                            const VTRError& error) {
    VTRLogError("Failed to verify file. operation: {} file: {} recordingId: {} error: {}",
                describe(operation), file, recording, error.description());
    handleFailureForRecording(operation, recording, VTRUploadErrorStateVerify, error);
}

void VTRRemoteUploadJobService::markCompleted(VTRManagedUploadJob& job,
                                              VTRFileUploadOperation& operation) {
    VTRLogInfo("Completed upload operation. operation: {} recordingID: {}", describe(operation),
               job.jobID().value_or(""));
    job.setError(std::nullopt);
    job.setErrorState(VTRUploadErrorStateNone);
    job.setState(VTRUploadJobStateCompleted);
}

void VTRRemoteUploadJobService::fileUploadOperationCompleted(VTRFileUploadOperation& operation,
                                                             const std::string& recording) {
    bool current = standingOf(operation, recording) == Standing::Current;
    {
        std::lock_guard lock(operationsMutex_);
        // Only the reporting operation's own entries go: after a restart the entry already holds
        // the new operation, and dropping it would let a second upload of the same job start.
        // Every report of this operation came before this one.
        auto entry = operations_.find(recording);
        if (entry != operations_.end() && entry->second.get() == &operation)
            operations_.erase(entry);
        auto cancelled = cancelledOperations_.find(recording);
        if (cancelled != cancelledOperations_.end() && cancelled->second.lock().get() == &operation)
            cancelledOperations_.erase(cancelled);
    }
    // A job without files never hears of a closed file, the only other way to completion: once
    // its operation has run through (the chunk size obtained, nothing failed), it is done.
    if (!current) return;
    updateStoredJob(
        recording, {VTRLogFlagWarning, "Unable to update job with ID: {}, {}"},
        [&](VTRManagedUploadJob& job) {
            if (!job.fileList().empty()) return false;
            if (job.state() != VTRUploadJobStateRunning && job.state() != VTRUploadJobStateRestart)
                return false;
            markCompleted(job, operation);
            return true;
        });
}

}  // namespace vtr
