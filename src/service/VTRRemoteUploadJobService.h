// VTRRemoteUploadJobService: turns stored upload jobs into queued upload operations (at most five
// run at once) and writes the reports of those operations back into the job store. The control
// API calls the VTRUploadJobService members from its connection queue; the delegate reports and
// the delayed re-queues run on the run loop's thread. Create it after the shared connection
// environment is set; destroy it on the run loop's thread (or while that loop is not running).
//
// Which reports reach the store: only those of the operation the service currently holds for
// the job. A cancelled operation (the job paused, deleted or restarted, or the service shutting
// down) changes nothing, whatever it reports, failures included; so does an operation a restart
// replaced, whose queued reports would otherwise undo the restart's reset or complete the job
// under the new upload. One exception: a chunk the server accepted is still stored for a paused
// job when it comes from the operation the pause cancelled and nothing has replaced it since.
// That progress is real, and without it the resume would send the chunk again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/VTRError.h"
#include "foundation/VTRValue.h"
#include "jobs/VTRUploadDaemonConstants.h"
#include "logging/VTRLog.h"
#include "service/VTRUploadJobService.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRUploadService.h"

namespace vtr {

class HTTPBandwidthLimiter;
class VTRFileUploadOperation;
class VTRJobChangeObserver;
class VTRManagedUploadFile;
class VTRManagedUploadJob;
class VTRMetrics;
class VTROperationQueue;
class VTRRetryController;
class HTTPCertificateAuthorities;
class VTRRunLoop;
class VTRSQLiteUploadJobStore;
class VTRStoreCoordinator;
class VTRUploadJobStore;

class VTRRemoteUploadJobService : public VTRUploadJobService,
                                  public VTRFileUploadOperationDelegate {
  public:
    static constexpr size_t kMaxConcurrentUploads = 5;

    // Makes the upload service of one operation, bound to the job's server URL.
    using UploadServiceFactory =
        std::function<std::unique_ptr<VTRUploadService>(const std::string& serverURL)>;

    // Everything defaults to what the daemon uses; tests shorten the waits and script the
    // remote side.
    struct Options {
        // Empty: a VTRUploadServiceWithVerify talking SOAP to the job's server.
        UploadServiceFactory uploadServiceFactory;
        // Trusted for https servers besides the system's store by that default factory.
        std::shared_ptr<const HTTPCertificateAuthorities> additionalAuthorities;
        uint32_t maxUploadRetries = 50000;
        uint32_t maxCloseRetries = 50000;
        double pollingInterval = 60.0;
        // The wait before running jobs are re-queued after a cancellation or network failure.
        // Unset: the retry controller's own maximum delay (70.2 s).
        std::optional<double> requeueDelay;
        // The retry controller's first pause between attempts (4 s).
        std::optional<double> firstRetryPause;
        // Re-queue the jobs stored as running while constructing. The daemon turns this off and
        // calls requeueRunningJobs() once it knows no other daemon serves the same store.
        bool requeueAtConstruction = true;
        // The one bucket every upload's requests take their bytes from (the default upload
        // service only); nullptr: unlimited.
        std::shared_ptr<HTTPBandwidthLimiter> uploadLimiter;
        // Where accepted bytes, SOAP calls and retries are counted; nullptr: nowhere.
        std::shared_ptr<VTRMetrics> metrics;
        // Hears of the changes the operations' reports make and of their activity.
        std::shared_ptr<VTRJobChangeObserver> observer;
    };

    // Every store it opens is a new one over `coordinator`; reports are delivered and re-queues
    // scheduled on `runLoop`, which must outlive the service. Re-queues every job stored as
    // running before returning, unless the options say not to.
    VTRRemoteUploadJobService(std::shared_ptr<VTRStoreCoordinator> coordinator, VTRRunLoop& runLoop,
                              Options options);
    // Cancels every operation and waits for them to end.
    ~VTRRemoteUploadJobService() override;
    VTRRemoteUploadJobService(const VTRRemoteUploadJobService&) = delete;
    VTRRemoteUploadJobService& operator=(const VTRRemoteUploadJobService&) = delete;

    // True when the job has an upload operation afterwards, new or already there. False without
    // an error: no such job.
    bool uploadJobWithID(const std::string& jobID, VTRError* error = nullptr) override;
    // Cancels the job's operation; the stored job is not touched.
    void cancelJobWithJobID(const std::string& jobID) override;
    // Cancels the job's operation, resets every file to offset 0 and not closed, saves, and
    // queues a new operation. The job's state is left as the client set it.
    bool restartUploadForJobWithJobID(const std::string& jobID, VTRError* error = nullptr) override;
    // Taken under the operations lock, so no entry is of an operation already replaced.
    std::vector<VTRJobActivity> currentActivities() override;

    // Queues an upload for every job stored as running that has no operation yet.
    void requeueRunningJobs();

    // Clears the job's error, refreshes and saves every file's size through `jobStore`, and
    // queues a new operation for the job. nullptr with the save's error when a save fails.
    std::shared_ptr<VTRFileUploadOperation> enqueueOperationForJob(VTRManagedUploadJob& job,
                                                                   VTRError* error,
                                                                   VTRUploadJobStore& jobStore);
    // The fileInfo entry an operation gets for `file`: resumes at its stored byte count and is
    // always closed again on the server.
    static VTRDictionary dictionaryForUploadFile(const VTRManagedUploadFile& file);
    // A failure of an operation that is not the job's current one changes nothing. Otherwise
    // network failures and cancellations leave the job as it is and re-queue running jobs after
    // the delay; any other failure marks the job errored with `newState` and the error's text.
    void handleFailureForRecording(const VTRFileUploadOperation& operation,
                                   const std::string& jobID, VTRUploadErrorState newState,
                                   const VTRError& error);
    // The text stored as a failed job's error.
    static std::string textForError(const VTRError& error);

    const std::shared_ptr<VTRRetryController>& retryController() const { return retryController_; }
    // The re-queue wait in seconds.
    double requeueDelay() const;

    // VTRFileUploadOperationDelegate, on the run loop's thread.
    void operationUploadedBytes(VTRFileUploadOperation& operation, uint64_t bytes,
                                const std::string& file, const std::string& recording) override;
    void operationFailedToUploadBytesAtOffset(VTRFileUploadOperation& operation, uint64_t offset,
                                              const std::string& file, const std::string& recording,
                                              const VTRError& error) override;
    void operationClosedFile(VTRFileUploadOperation& operation, const std::string& file,
                             const std::string& recording) override;
    void operationFailedToCloseFile(VTRFileUploadOperation& operation, const std::string& file,
                                    const std::string& recording, const VTRError& error) override;
    void operationFailedToInitializeUploadOfFile(VTRFileUploadOperation& operation,
                                                 const std::optional<std::string>& file,
                                                 const std::string& recording,
                                                 const VTRError& error) override;
    void fileUploadOperationCompleted(VTRFileUploadOperation& operation,
                                      const std::string& recording) override;
    void operationRestartedUploadOfFile(VTRFileUploadOperation& operation, const std::string& file,
                                        const std::string& recording,
                                        const VTRError& error) override;
    void operationFailedToVerifyFile(VTRFileUploadOperation& operation, const std::string& file,
                                     const std::string& recording, const VTRError& error) override;

  private:
    // How a reporting operation stands to the job it reports on.
    enum class Standing {
        // The job's operation now: its reports apply.
        Current,
        // Cancelled by a pause (or a delete) and not replaced: only accepted chunks apply.
        CancelledLast,
        // Cancelled otherwise, replaced, or never the job's: nothing applies.
        Stale,
    };
    Standing standingOf(const VTRFileUploadOperation& operation, const std::string& jobID);
    // True when the operation is the job's current one; else logs that `report` is dropped.
    static void logIgnoredReport(const VTRFileUploadOperation& operation, const std::string& jobID,
                                 const char* report);
    bool isCurrentReporter(const VTRFileUploadOperation& operation, const std::string& jobID,
                           const char* report);

    // What uploadJob() demands of the stored job besides existing.
    enum class Requirement { None, StillRunning };

    bool uploadJob(const std::string& jobID, Requirement requirement, VTRError* error);
    // Cancels the job's operation (waiting, running or already run through) and forgets it as
    // current; returns it, if there was one. Needs operationsMutex_.
    std::shared_ptr<VTRFileUploadOperation> cancelOperationLocked(const std::string& jobID);
    std::unique_ptr<VTRSQLiteUploadJobStore> newJobStore(VTRError* error) const;
    // How a report's update of its job logs a failure: at which level, and the text for a failed
    // save (the job id, then the error). A failed fetch says "Unable to fetch job with ID: ...".
    struct UpdateLog {
        VTRLogFlag level;
        const char* saveFailed;
    };
    // Fetches the job in a store of its own, lets `change` alter it and saves it, unless `change`
    // returns false. A job that cannot be fetched is left alone. A saved change is told to the
    // observer, as progress when `progressOnly`.
    void updateStoredJob(const std::string& jobID, UpdateLog log,
                         const std::function<bool(VTRManagedUploadJob& job)>& change,
                         bool progressOnly = false);
    // Logs the completion and sets the job completed with no error; the caller saves.
    static void markCompleted(VTRManagedUploadJob& job, VTRFileUploadOperation& operation);
    void scheduleRequeue();

    Options options_;
    const std::shared_ptr<VTRStoreCoordinator> coordinator_;
    VTRRunLoop& runLoop_;
    std::shared_ptr<VTRRetryController> retryController_;
    std::unique_ptr<VTROperationQueue> operationQueue_;

    // Held across look-up, enqueue and insertion so that one job never gets two operations.
    std::mutex operationsMutex_;
    std::unordered_map<std::string, std::shared_ptr<VTRFileUploadOperation>> operations_;
    // The operation a cancel took out of operations_, until a new operation or a restart
    // replaces it or it ends. Guarded by operationsMutex_.
    std::unordered_map<std::string, std::weak_ptr<VTRFileUploadOperation>> cancelledOperations_;
    // Every operation made that may still have reports queued on the run loop: the destructor
    // detaches them so that no report reaches a destroyed service. Guarded by operationsMutex_.
    std::vector<std::weak_ptr<VTRFileUploadOperation>> madeOperations_;
    // Delayed re-queues hold a weak reference: a re-queue due after destruction does nothing.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace vtr
