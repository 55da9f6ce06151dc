// VTRFileUploadOperation: uploads every file of one upload job: per file, the bytes not yet sent
// in MD5-checked chunks, then a whole-file verification and a close polled until the server is
// done. main() runs on a worker thread of the job service's operation queue and blocks it in
// remote calls and waits; cancel() may be called from any thread. Reports go to the delegate on
// the delivery run loop. Must be owned by a std::shared_ptr (queued reports keep it alive).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/VTRError.h"
#include "foundation/VTROperation.h"
#include "foundation/VTRValue.h"
#include "upload/VTRChunkReader.h"
#include "upload/VTRFileInfo.h"
#include "upload/VTRRetryController.h"
#include "upload/VTRUploadActivity.h"

namespace vtr {

class VTRFileUploadOperationDelegate;
class VTRRunLoop;
class VTRUploadService;

class VTRFileUploadOperation : public VTROperation {
  public:
    // What the job service gives every operation.
    static constexpr uint32_t kDefaultMaxUploadRetries = 50000;
    static constexpr uint32_t kDefaultMaxCloseRetries = 50000;
    static constexpr double kDefaultPollingInterval = 60.0;
    // The largest chunk size accepted from the server, 16 MiB. The chunk size decides how much
    // memory each operation holds for chunk data, so an answer beyond this fails the operation
    // (error 80) rather than letting a server make the daemon allocate gigabytes.
    static constexpr uint64_t kMaxChunkSize = uint64_t{16} * 1024 * 1024;

    // How verifyFile() ended: the server confirmed the file's checksum, or found it different
    // (the file may be sent once more), or the check could not be made (already reported).
    enum class VerifyResult { NotConfirmed = 0, Confirmed = 1, Error = 2 };
    // How closeFile() ended: the file is closed; the server wants it sent again (restart already
    // reported); the close failed (already reported); or nothing settled: cancelled, or an
    // answer the operation does not know.
    enum class CloseResult { Closed, RestartFile, Failed, Unsettled };

    // `fileInfo` is in the dictionary form of VTRFileInfo.h. `delegate` is not owned: it must
    // outlive every report of this operation, or be cleared with setDelegate(nullptr) on the
    // delivery loop's thread first (a queued report reads the delegate again when it runs).
    // `deliveryLoop` defaults to VTRRunLoop::main() and must outlive the operation.
    VTRFileUploadOperation(std::string sessionID, std::string recordingID,
                           std::vector<VTRDictionary> fileInfo, uint32_t maxUploadRetries,
                           uint32_t maxCloseRetries, double pollingInterval,
                           std::unique_ptr<VTRUploadService> uploadService,
                           std::shared_ptr<VTRRetryController> retryController,
                           VTRFileUploadOperationDelegate* delegate = nullptr,
                           VTRRunLoop* deliveryLoop = nullptr);
    ~VTRFileUploadOperation() override;

    // Marks the operation cancelled and interrupts the request in flight; waits and pauses of
    // the running main() end at once.
    void cancel() override;

    const std::string& sessionID() const { return sessionID_; }
    const std::string& recordingId() const { return recordingId_; }
    // Changed by the worker thread when a file restarts: read it only while main() is not running.
    const std::vector<VTRFileInfo>& files() const { return files_; }
    uint32_t maxUploadRetries() const { return maxUploadRetries_; }
    uint32_t maxCloseRetries() const { return maxCloseRetries_; }
    double pollingInterval() const { return pollingInterval_; }
    VTRUploadService& uploadService() const { return *uploadService_; }
    const std::shared_ptr<VTRRetryController>& retryController() const { return retryController_; }
    uint64_t chunkSize() const { return chunkSize_.load(); }
    // Bytes held for chunk data (0 before the first transfer). Read it only while main() is not
    // running.
    size_t bufferCapacity() const;

    // What the operation is doing now; any thread may read it.
    const std::shared_ptr<VTRUploadActivity>& activity() const { return activity_; }

    VTRFileUploadOperationDelegate* delegate() const { return delegate_.load(); }
    void setDelegate(VTRFileUploadOperationDelegate* delegate) { delegate_.store(delegate); }

    // The stages of main(), on the worker thread.
    // True when every file exists (and when there are none); else reports error 78.
    bool validateParameters();
    // Obtains the chunk size once; false (reported as error 80) when it cannot be had.
    bool getChunkSize();
    // Sends the bytes of `file` from `fromOffset` up to `size`; returns the offset reached.
    uint64_t uploadFile(const VTRFileInfo& file, uint64_t fromOffset, uint64_t size);
    VerifyResult verifyFile(const VTRFileInfo& file);
    CloseResult closeFile(const VTRFileInfo& file);

    // The server's error code that a failed call carried ("X-VTRErrorCode"), if any.
    static std::optional<std::string> soapHeaderErrorCodeFromError(const VTRError* error);
    static bool isOutOfOrderError(const VTRError* error);

  protected:
    void main() override;

  private:
    struct ChunkTransfer;
    enum class NextStep { NextFile, RestartFile, Stop };

    // Takes `file` through transfer, verification and close. `verifyFailedOnce` tells whether
    // this file's checksum was already found different once; a second time fails the file.
    NextStep uploadOneFile(const VTRFileInfo& file, bool& verifyFailedOnce);

    // Shows each failed attempt of a call, whose error the call keeps in `lastError`, as the
    // retry the activity waits on.
    VTRRetryController::CallObserver retryObserver(const std::optional<VTRError>& lastError);
    // Runs one remote call through the retry controller, showing it as `phase` of the activity.
    void retryCall(VTRUploadPhase phase, const std::string& name, uint64_t maxRetries,
                   const std::optional<VTRError>& lastError,
                   const VTRRetryController::Action& action,
                   const VTRRetryController::Finally& finally);

    // Reports how the close of `path` ended: `answer` is the server's last close result, or
    // nothing when there was none or the close failed with `lastError`.
    void reportCloseAnswer(const std::string& path, const std::optional<std::string>& answer,
                           const std::optional<VTRError>& lastError);
    // Takes the transfer's next chunk from the read-ahead, which starts over when the transfer
    // went back; false when the file cannot give it (already reported) or on a cancel.
    bool takeChunk(ChunkTransfer& transfer, VTRFileInputStream& stream, uint64_t size,
                   uint64_t chunkSize);
    // The whole-file MD5 of `path` for its verification: the one its upload computed if the
    // file is provably unchanged since, else one read from the file; nothing (with `failure`
    // filled unless cancelled) when it cannot be read.
    std::optional<VTRBytes> fileDigest(const std::string& path, VTRError& failure);
    bool uploadChunkAttempt(ChunkTransfer& transfer);
    void finishChunkCycle(ChunkTransfer& transfer, bool lastResult);

    // Sends a delegate message: `message` runs on the delivery loop (at once when called there)
    // with the delegate as it is then, and not at all when there is none by that time. It runs
    // after the worker has moved on, so it must hold copies of what it reports.
    void report(std::function<void(VTRFileUploadOperationDelegate&)> message);

    std::string sessionID_;
    std::string recordingId_;
    std::vector<VTRFileInfo> files_;
    uint32_t maxUploadRetries_;
    uint32_t maxCloseRetries_;
    double pollingInterval_;
    std::unique_ptr<VTRUploadService> uploadService_;
    std::shared_ptr<VTRRetryController> retryController_;
    std::atomic<uint64_t> chunkSize_{0};
    // Reads and hashes chunks ahead of the transfer. The service may keep the chunk it was given
    // until its next call (the SOAP client keeps the last request): the reader's two buffers
    // cover that and the chunk read ahead.
    std::unique_ptr<VTRChunkReader> reader_;
    // The whole-file MD5 of the last completed transfer, for its verification.
    std::optional<VTRChunkReader::FileDigest> transferDigest_;
    std::atomic<VTRFileUploadOperationDelegate*> delegate_;
    VTRRunLoop* deliveryLoop_;
    std::shared_ptr<VTRUploadActivity> activity_ = std::make_shared<VTRUploadActivity>();
};

}  // namespace vtr
