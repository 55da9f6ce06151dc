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

    // Verification results of verifyFile().
    enum VerifyResult : int { VerifyNotConfirmed = 0, VerifyConfirmed = 1, VerifyError = 2 };

    // `delegate` is not owned: it must outlive every report of this operation, or be cleared
    // with setDelegate(nullptr) on the delivery loop's thread first (a queued report reads the
    // delegate again when it runs). `deliveryLoop` defaults to VTRRunLoop::main() and must
    // outlive the operation.
    VTRFileUploadOperation(std::string sessionID, std::string recordingID,
                           std::vector<VTRDictionary> fileInfo, uint32_t maxUploadRetries,
                           uint32_t maxCloseRetries, double pollingInterval,
                           std::unique_ptr<VTRUploadService> uploadService,
                           std::shared_ptr<VTRRetryController> retryController,
                           VTRFileUploadOperationDelegate* delegate = nullptr,
                           VTRRunLoop* deliveryLoop = nullptr);
    ~VTRFileUploadOperation() override;

    // The job service's operation: the default budgets and polling interval, and a
    // VTRUploadServiceWithVerify bound to `serverURL`.
    static std::shared_ptr<VTRFileUploadOperation> makeForServerURL(
        const std::string& serverURL, std::string sessionID, std::string recordingID,
        std::vector<VTRDictionary> fileInfo, std::shared_ptr<VTRRetryController> retryController,
        VTRFileUploadOperationDelegate* delegate, VTRRunLoop* deliveryLoop = nullptr);

    // Marks the operation cancelled and interrupts the request in flight; waits and pauses of
    // the running main() end at once.
    void cancel() override;

    const std::string& sessionID() const { return sessionID_; }
    const std::string& recordingId() const { return recordingId_; }
    // Changed by the worker thread when a file restarts: read it only while main() is not running.
    const std::vector<VTRDictionary>& files() const { return files_; }
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
    // `entry` with "FILE_BYTES_UPLOADED" 0 and "FILE_CLOSED" false.
    static VTRDictionary restartFileInformation(const VTRDictionary& entry);
    // Obtains the chunk size once; false (reported as error 80) when it cannot be had.
    bool getChunkSize();
    // Sends the bytes of `entry` from `fromOffset` up to `size`; returns the offset reached.
    uint64_t uploadFile(const VTRDictionary& entry, uint64_t fromOffset, uint64_t size);
    // One of VerifyResult.
    int verifyFile(const VTRDictionary& entry);
    // The final close result, or nothing when the close failed (already reported).
    std::optional<std::string> closeFile(const VTRDictionary& entry);

    // The server's error code that a failed call carried ("X-VTRErrorCode"), if any.
    static std::optional<std::string> soapHeaderErrorCodeFromError(const VTRError* error);
    static bool isOutOfOrderError(const VTRError* error);

  protected:
    void main() override;

  private:
    struct ChunkBuffer;
    struct ChunkTransfer;

    // A buffer no request holds, to read the next chunk into.
    std::shared_ptr<ChunkBuffer>& freeChunkBuffer();
    // The buffer's bytes as shared storage for the service; lent until the last holder lets go.
    static std::shared_ptr<const VTRBytes> lendChunk(const std::shared_ptr<ChunkBuffer>& buffer);

    // Shows each failed attempt of a call, whose error the call keeps in `lastError`, as the
    // retry the activity waits on.
    VTRRetryController::CallObserver retryObserver(const std::optional<VTRError>& lastError);
    // Runs one remote call through the retry controller, showing it as `phase` of the activity.
    void retryCall(VTRUploadPhase phase, const std::string& name, uint64_t maxRetries,
                   const std::optional<VTRError>& lastError,
                   const VTRRetryController::Action& action,
                   const VTRRetryController::Finally& finally);

    bool uploadChunkAttempt(ChunkTransfer& transfer, const VTRDictionary& entry);
    void finishChunkCycle(ChunkTransfer& transfer, const VTRDictionary& entry, bool lastResult);

    // Senders of the delegate messages.
    void uploadedBytes(uint64_t bytes, const std::string& file);
    void failedToUploadBytesAtOffset(uint64_t offset, const std::string& file,
                                     const VTRError& error);
    void closedFile(const std::string& file);
    void failedToCloseFile(const std::string& file, const VTRError& error);
    void failedToInitializeUploadOfFile(const std::optional<std::string>& file,
                                        const VTRError& error);
    void completedOperation();
    void restartedUploadFile(const std::string& file, const VTRError& error);
    void failedToVerifyFile(const std::string& file, const VTRError& error);
    void rescheduleForMainThread(std::function<void(VTRFileUploadOperationDelegate&)> message);

    std::string sessionID_;
    std::string recordingId_;
    std::vector<VTRDictionary> files_;
    uint32_t maxUploadRetries_;
    uint32_t maxCloseRetries_;
    double pollingInterval_;
    std::unique_ptr<VTRUploadService> uploadService_;
    std::shared_ptr<VTRRetryController> retryController_;
    std::atomic<uint64_t> chunkSize_{0};
    // Chunk buffers reused across chunks and files. The service may keep the chunk it was given
    // until its next call (the SOAP client keeps the last request), so the next chunk is read
    // into the other buffer: two at most, and only one with a service that keeps nothing.
    std::shared_ptr<ChunkBuffer> buffers_[2];
    std::atomic<VTRFileUploadOperationDelegate*> delegate_;
    VTRRunLoop* deliveryLoop_;
    std::shared_ptr<VTRUploadActivity> activity_ = std::make_shared<VTRUploadActivity>();
};

}  // namespace vtr
