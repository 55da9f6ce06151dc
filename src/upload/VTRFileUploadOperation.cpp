#include "upload/VTRFileUploadOperation.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRErrorAdditions.h"
#include "foundation/VTRLocalizedString.h"
#include "foundation/VTRNullAdditions.h"
#include "foundation/VTRRunLoop.h"
#include "foundation/VTRStreamAdditions.h"
#include "httpclient/HTTPRequestOperation.h"
#include "logging/VTRLog.h"
#include "logging/VTRPOSIXError.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRRetryController.h"
#include "upload/VTRUploadServiceWithVerify.h"

namespace vtr {

namespace {

// Qualified stage names for the "%s entering" / "%s returning" lines.
constexpr const char* kMainName = "VTRFileUploadOperation::main";
constexpr const char* kGetChunkSizeName = "VTRFileUploadOperation::getChunkSize";
constexpr const char* kUploadFileName = "VTRFileUploadOperation::uploadFile";
constexpr const char* kVerifyFileName = "VTRFileUploadOperation::verifyFile";
constexpr const char* kCloseFileName = "VTRFileUploadOperation::closeFile";
constexpr const char* kCloseFileClosingName = "VTRFileUploadOperation::closeFile_block_invoke";
constexpr const char* kRescheduleName = "VTRFileUploadOperation::rescheduleForMainThread";

constexpr const char* kUploading = "Uploading";
constexpr const char* kUploaded = "Uploaded";
constexpr const char* kNotUploaded = "NotUploaded";
constexpr const char* kServerException = "ServerException";

std::string stringFor(const VTRDictionary& entry, const char* key) {
    const VTRValue* value = find(entry, key);
    return value ? value->stringValue() : std::string();
}

// A filled error out-parameter has a domain; a fresh one has none.
bool isFilled(const VTRError& error) {
    return !error.domain().empty();
}

std::string detailsDescription(const VTRError& error) {
    return VTRValue(error.userInfo()).description();
}

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(value > 0 ? value : 0));
}

VTRError fileOpenError(const std::string& path, const VTRError& cause) {
    return VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                    {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorTitle()},
                     {NSLocalizedFailureReasonErrorKey,
                      VTRFormatLocalized(VTRLocalizedString::stringFileOpenFail(), {path})},
                     {VTRFileNameKey, path},
                     {VTRInnerExceptionKey, VTRValue(cause)}});
}

VTRError closeError(const std::string& path, const std::string& reason) {
    return VTRError(
        VTRErrorDomain, VTRErrorCodeCloseFailed,
        {{NSLocalizedDescriptionKey, VTRLocalizedString::stringUploadEndFailureDescription()},
         {NSLocalizedFailureReasonErrorKey, reason},
         {VTRFileNameKey, path}});
}

// A FIFO, device, socket or directory: nothing that could be uploaded, and reading one could
// block or never end.
VTRError notRegularFileError(const std::string& path) {
    return VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                    {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorTitle()},
                     {NSLocalizedFailureReasonErrorKey, "\"" + path + "\" is not a regular file"},
                     {VTRFileNameKey, path}});
}

VTRError streamOpenError(const VTRFileInputStream& stream, const VTRError& cause) {
    return stream.notRegularFile() ? notRegularFileError(stream.path())
                                   : fileOpenError(stream.path(), cause);
}

std::string closeFailureReason(const std::string& path) {
    return VTRFormatLocalized(VTRLocalizedString::stringUploadEndFailureReason(), {path});
}

}  // namespace

// A chunk buffer and whether the chunk in it is lent: set while anything outside the operation
// holds the shared chunk made by lendChunk(), cleared by the last holder letting go (release).
// The worker refills the bytes only after reading it clear (acquire), so no request ever sees
// the bytes it sends change.
struct VTRFileUploadOperation::ChunkBuffer {
    VTRBytes bytes;
    std::atomic<bool> lent{false};
};

// The state of one uploadFile() call, shared by its chunk cycles.
struct VTRFileUploadOperation::ChunkTransfer {
    std::string path;
    // The chunk being sent, lent from one of the operation's buffers.
    std::shared_ptr<const VTRBytes> chunk;
    uint64_t currentOffset = 0;
    size_t chunkLength = 0;
    std::string localHash;
    std::optional<VTRValue> serverHash;
    bool restarted = false;
    std::optional<VTRError> uploadError;
    // Why the last attempt failed, including answers that are no transport error.
    std::optional<VTRError> attemptError;
    bool chunkAbort = false;
};

VTRFileUploadOperation::VTRFileUploadOperation(std::string sessionID, std::string recordingID,
                                               std::vector<VTRDictionary> fileInfo,
                                               uint32_t maxUploadRetries, uint32_t maxCloseRetries,
                                               double pollingInterval,
                                               std::unique_ptr<VTRUploadService> uploadService,
                                               std::shared_ptr<VTRRetryController> retryController,
                                               VTRFileUploadOperationDelegate* delegate,
                                               VTRRunLoop* deliveryLoop)
    : sessionID_(std::move(sessionID)),
      recordingId_(std::move(recordingID)),
      files_(std::move(fileInfo)),
      maxUploadRetries_(maxUploadRetries),
      maxCloseRetries_(maxCloseRetries),
      pollingInterval_(pollingInterval),
      uploadService_(std::move(uploadService)),
      retryController_(std::move(retryController)),
      delegate_(delegate),
      deliveryLoop_(deliveryLoop ? deliveryLoop : &VTRRunLoop::main()) {}

VTRFileUploadOperation::~VTRFileUploadOperation() = default;

std::shared_ptr<VTRFileUploadOperation> VTRFileUploadOperation::makeForServerURL(
    const std::string& serverURL, std::string sessionID, std::string recordingID,
    std::vector<VTRDictionary> fileInfo, std::shared_ptr<VTRRetryController> retryController,
    VTRFileUploadOperationDelegate* delegate, VTRRunLoop* deliveryLoop) {
    return std::make_shared<VTRFileUploadOperation>(
        std::move(sessionID), std::move(recordingID), std::move(fileInfo), kDefaultMaxUploadRetries,
        kDefaultMaxCloseRetries, kDefaultPollingInterval,
        std::make_unique<VTRUploadServiceWithVerify>(serverURL), std::move(retryController),
        delegate, deliveryLoop);
}

void VTRFileUploadOperation::cancel() {
    // The mark goes first: a worker between two requests then sees it before starting the next
    // one, instead of starting a request that this cancel would miss.
    VTROperation::cancel();
    if (std::shared_ptr<HTTPRequestOperation> request = uploadService_->currentOperation())
        request->cancel();
}

// MARK: main

void VTRFileUploadOperation::main() {
    VTRLogInfo("{} entering", kMainName);
    for (const std::shared_ptr<VTROperation>& dependency : dependencies()) {
        if (dependency->isCancelled()) {
            VTRLogInfo("{} Dependency operation {} was cancelled.  Returning.", kMainName,
                       fmt::ptr(dependency.get()));
            completedOperation();
            return;
        }
    }
    if (isCancelled()) {
        VTRLogInfo("{} Operation was cancelled before it started.  Returning.", kMainName);
        completedOperation();
        return;
    }
    if (!validateParameters()) {
        completedOperation();
        return;
    }
    VTRLogInfo("Uploading to session {}", sessionID_);
    if (!getChunkSize()) {
        completedOperation();
        return;
    }

    bool stop = false;
    bool verifyFailedOnce = false;
    size_t i = 0;
    while (i < files_.size()) {
        if (isCancelled() || stop) break;
        const VTRDictionary entry = files_[i];
        const std::string path = stringFor(entry, VTRFileLocalPathKey);
        bool advance = true;

        struct stat attributes;
        if (::stat(path.c_str(), &attributes) != 0) {
            int errorNumber = errno;
            VTRLogInfo("Failed to get attributes for file {}", path);
            VTRError error = posixError(errorNumber, path);
            error.mutableUserInfo()[VTRFileNameKey] = path;
            failedToInitializeUploadOfFile(path, error);
            stop = true;
        } else if (!S_ISREG(attributes.st_mode)) {
            VTRLogError("{} is not a regular file", path);
            failedToInitializeUploadOfFile(path, notRegularFileError(path));
            stop = true;
        } else {
            uint64_t size = static_cast<uint64_t>(attributes.st_size);
            const VTRValue* fromValue = find(entry, VTRFileBytesUploadedKey);
            uint64_t from = fromValue ? fromValue->uint64Value() : 0;
            if (uploadFile(entry, from, size) < size) {
                stop = true;
            } else {
                int result = verifyFile(entry);
                if (isCancelled()) {
                    stop = true;
                } else if (result == VerifyNotConfirmed) {
                    VTRError error =
                        VTRError::withDescription(VTRErrorDomain, VTRErrorCodeChecksumNotConfirmed,
                                                  "Transmission error during upload");
                    if (verifyFailedOnce) {
                        VTRLogError(
                            "Second failure to verify the file's checksum therefore failing and "
                            "reporting upload as failed");
                        failedToVerifyFile(path, error);
                        stop = true;
                    } else {
                        VTRLogError(
                            "Failed to verify uploaded file's checksum restarting the file");
                        files_[i] = restartFileInformation(entry);
                        restartedUploadFile(stringFor(files_[i], VTRFileLocalPathKey), error);
                        verifyFailedOnce = true;
                        advance = false;
                    }
                } else if (result != VerifyConfirmed) {
                    stop = true;
                } else {
                    std::optional<std::string> close = closeFile(entry);
                    if (!close || *close == kServerException) {
                        stop = true;
                    } else if (*close == kNotUploaded) {
                        // The close stage has reported the restart already.
                        files_[i] = restartFileInformation(entry);
                        advance = false;
                    }
                }
            }
        }
        if (advance) {
            verifyFailedOnce = false;
            ++i;
        }
    }
    VTRLogInfo("{} returning", kMainName);
    completedOperation();
}

bool VTRFileUploadOperation::validateParameters() {
    for (const VTRDictionary& entry : files_) {
        std::string path = stringFor(entry, VTRFileLocalPathKey);
        struct stat attributes;
        if (!path.empty() && ::stat(path.c_str(), &attributes) == 0) continue;
        std::string message = VTRFormatLocalized(VTRLocalizedString::stringFileDNE(), {path});
        VTRLogInfo("Error: {}", message);
        failedToInitializeUploadOfFile(
            path,
            VTRError(VTRErrorDomain, VTRErrorCodeFileMissing,
                     {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorDescription()},
                      {NSLocalizedFailureReasonErrorKey, message},
                      {VTRFileNameKey, path}}));
        return false;
    }
    return true;
}

VTRDictionary VTRFileUploadOperation::restartFileInformation(const VTRDictionary& entry) {
    VTRDictionary restarted = entry;
    restarted[VTRFileBytesUploadedKey] = VTRValue(uint64_t{0});
    restarted[VTRFileClosedKey] = VTRValue(false);
    return restarted;
}

// MARK: chunk size and transfer

bool VTRFileUploadOperation::getChunkSize() {
    VTRLogInfo("{} entering", kGetChunkSizeName);
    bool succeeded = false;
    std::optional<VTRError> lastError;
    int32_t answer = 0;
    activity_->setFile(std::nullopt);
    retryCall(
        VTRUploadPhase::ChunkSize, "ChunkSize", maxUploadRetries_, lastError,
        [&] {
            VTRError error;
            answer = uploadService_->chunkSizeError(&error);
            chunkSize_.store(static_cast<uint64_t>(static_cast<int64_t>(answer)));
            succeeded = !isFilled(error);
            lastError = succeeded ? std::nullopt : std::optional<VTRError>(error);
            if (!succeeded) {
                VTRLogInfo("failed to get chunk size");
                VTRLogInfo("Error: {} {}", error.localizedDescription(), detailsDescription(error));
            }
            return succeeded || isCancelled();
        },
        [](bool) {});
    if (isCancelled()) {
        VTRLogInfo("{} Operation has been cancelled while getting chunksize.", kGetChunkSizeName);
        return false;
    }
    std::string reason;
    if (!succeeded) {
        VTRLogInfo("Exceeded max retries reporting chunksize error");
        reason = lastError ? lastError->localizedDescription()
                           : VTRLocalizedString::stringChunkSizeFailed();
    } else if (answer <= 0) {
        // No chunk of that size can carry a byte: the transfer could never progress.
        VTRLogInfo("The server reported an unusable chunk size {}", answer);
        reason = fmt::format("The server reported an unusable chunk size of {} bytes", answer);
        succeeded = false;
    } else if (static_cast<uint64_t>(answer) > kMaxChunkSize) {
        VTRLogError("The server's chunk size {} exceeds the maximum of {}", answer, kMaxChunkSize);
        reason = fmt::format("The server's chunk size of {} bytes exceeds the maximum of {}",
                             answer, kMaxChunkSize);
        succeeded = false;
    }
    if (!succeeded) {
        failedToInitializeUploadOfFile(
            std::nullopt,
            VTRError(VTRErrorDomain, VTRErrorCodeChunkSizeUnavailable,
                     {{NSLocalizedDescriptionKey, VTRLocalizedString::stringUploadFailedStart()},
                      {NSLocalizedFailureReasonErrorKey, reason},
                      {VTRInnerErrorKey, lastError ? VTRValue(*lastError) : VTRValue()},
                      {VTRSessionIDKey, sessionID_}}));
    }
    VTRLogInfo("{} returning", kGetChunkSizeName);
    return succeeded;
}

uint64_t VTRFileUploadOperation::uploadFile(const VTRDictionary& entry, uint64_t fromOffset,
                                            uint64_t size) {
    ChunkTransfer transfer;
    transfer.path = stringFor(entry, VTRFileLocalPathKey);
    transfer.currentOffset = fromOffset;
    VTRLogInfo("{} entering", kUploadFileName);
    VTRLogInfo("Uploading file {} to session {}", transfer.path, sessionID_);

    const uint64_t chunkSize = chunkSize_.load();
    activity_->setPhase(VTRUploadPhase::Upload);
    activity_->setFile(stringFor(entry, VTRFileRemotePathKey));

    VTRFileInputStream stream(transfer.path);
    VTRError openError;
    if (!stream.open(&openError)) {
        VTRLogInfo("Failed to open file {} for reading", transfer.path);
        VTRLogInfo("Caught: {} ({})", openError.localizedDescription(),
                   detailsDescription(openError));
        failedToInitializeUploadOfFile(transfer.path, streamOpenError(stream, openError));
        VTRLogInfo("{} returning", kUploadFileName);
        return transfer.currentOffset;
    }

    while (transfer.currentOffset < size && !isCancelled() && !transfer.uploadError) {
        if (stream.offset() != static_cast<int64_t>(transfer.currentOffset))
            stream.setOffset(transfer.currentOffset);
        // The previous chunk is let go first, so that its buffer serves again once no request
        // holds it. Buffers keep their capacity across chunks and files: no allocation per chunk.
        transfer.chunk.reset();
        std::shared_ptr<ChunkBuffer>& buffer = freeChunkBuffer();
        VTRBytes& bytes = buffer->bytes;
        // Never more than the bytes left of the size checked: a small file takes a small buffer,
        // and bytes appended while the file is read stay out of this upload.
        const size_t length =
            static_cast<size_t>(std::min(chunkSize, size - transfer.currentOffset));
        if (bytes.capacity() < length) bytes.reserve(length);
        bytes.resize(length);
        int64_t n = 0;
        while (static_cast<size_t>(n) < length) {
            int64_t got = stream.read(bytes.data() + n, length - static_cast<size_t>(n));
            if (got <= 0) {
                if (got < 0) n = -1;
                break;
            }
            n += got;
        }
        if (n < 0) {
            int status = static_cast<int>(stream.status());
            VTRLogError("Failed to read from uploadFileStream. Status: {}", status);
            transfer.uploadError =
                VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                         {{VTRErrorStreamStatusKey, VTRValue(static_cast<int64_t>(status))}});
            failedToUploadBytesAtOffset(transfer.currentOffset, transfer.path,
                                        *transfer.uploadError);
            break;
        }
        if (n == 0) {
            // The file is shorter than when the transfer began: nothing more can be sent.
            VTRLogError("File {} ended at offset {} before its expected size {}", transfer.path,
                        transfer.currentOffset, size);
            transfer.uploadError =
                VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                         {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorTitle()},
                          {NSLocalizedFailureReasonErrorKey,
                           fmt::format("File {} ended at offset {} before its expected size {}",
                                       transfer.path, transfer.currentOffset, size)},
                          {VTRFileNameKey, transfer.path},
                          {VTRErrorStreamStatusKey,
                           VTRValue(static_cast<int64_t>(VTRStreamStatus::AtEnd))}});
            failedToUploadBytesAtOffset(transfer.currentOffset, transfer.path,
                                        *transfer.uploadError);
            break;
        }
        bytes.resize(static_cast<size_t>(n));
        transfer.chunkLength = bytes.size();
        transfer.localHash = base64String(md5Digest(bytes.data(), bytes.size()));
        // From here on the bytes stay as they are until every request sending them is gone.
        transfer.chunk = lendChunk(buffer);
        transfer.serverHash.reset();
        transfer.chunkAbort = false;
        retryCall(
            VTRUploadPhase::Upload, "UploadChunk", maxUploadRetries_, transfer.attemptError,
            [&] { return uploadChunkAttempt(transfer, entry); },
            [&](bool lastResult) { finishChunkCycle(transfer, entry, lastResult); });
    }
    if (isCancelled()) VTRLogInfo("{} operation cancelled while uploading bytes", kUploadFileName);
    stream.close();
    VTRLogInfo("{} returning", kUploadFileName);
    return transfer.currentOffset;
}

// The deleter keeps the buffer alive, so a request may outlive the operation.
std::shared_ptr<const VTRBytes> VTRFileUploadOperation::lendChunk(
    const std::shared_ptr<ChunkBuffer>& buffer) {
    buffer->lent.store(true, std::memory_order_relaxed);
    return std::shared_ptr<const VTRBytes>(&buffer->bytes, [buffer](const VTRBytes*) {
        buffer->lent.store(false, std::memory_order_release);
    });
}

std::shared_ptr<VTRFileUploadOperation::ChunkBuffer>& VTRFileUploadOperation::freeChunkBuffer() {
    for (std::shared_ptr<ChunkBuffer>& buffer : buffers_) {
        if (!buffer) buffer = std::make_shared<ChunkBuffer>();
        if (!buffer->lent.load(std::memory_order_acquire)) return buffer;
    }
    // Both still held, one by a request left running after its wait timed out: that buffer
    // stays with its request, which frees it when done.
    buffers_[0] = std::make_shared<ChunkBuffer>();
    return buffers_[0];
}

VTRRetryController::CallObserver VTRFileUploadOperation::retryObserver(
    const std::optional<VTRError>& lastError) {
    return {[&lastError] { return lastError; },
            [this](const VTRRetryController::FailedAttempt& failed) {
                bool network = failed.error && isNetworkConnectivityError(*failed.error);
                activity_->setRetry(
                    network ? VTRUploadPhase::WaitingForNetwork : VTRUploadPhase::WaitingToRetry,
                    failed.method, failed.number, failed.pauseSeconds, failed.reason);
            }};
}

void VTRFileUploadOperation::retryCall(VTRUploadPhase phase, const std::string& name,
                                       uint64_t maxRetries,
                                       const std::optional<VTRError>& lastError,
                                       const VTRRetryController::Action& action,
                                       const VTRRetryController::Finally& finally) {
    activity_->setPhase(phase);
    retryController_->retryCallNamed(name, maxRetries, action, finally, retryObserver(lastError));
    activity_->clearRetry();
}

size_t VTRFileUploadOperation::bufferCapacity() const {
    size_t capacity = 0;
    for (const std::shared_ptr<ChunkBuffer>& buffer : buffers_)
        if (buffer) capacity += buffer->bytes.capacity();
    return capacity;
}

bool VTRFileUploadOperation::uploadChunkAttempt(ChunkTransfer& transfer,
                                                const VTRDictionary& entry) {
    if (isCancelled()) transfer.chunkAbort = true;
    if (transfer.chunkAbort) return true;
    const std::string remote = stringFor(entry, VTRFileRemotePathKey);
    transfer.uploadError.reset();
    transfer.attemptError.reset();
    VTRError error;
    transfer.serverHash = uploadService_->uploadChunk(sessionID_, remote, transfer.chunk,
                                                      transfer.currentOffset, &error);
    if (!isFilled(error)) {
        const VTRValue* hash = transfer.serverHash ? &*transfer.serverHash : nullptr;
        if (isNullOrEmpty(hash)) {
            VTRLogInfo(
                "Server reported an error processing chunk at offset {} for file {} of "
                "session {}",
                transfer.currentOffset, remote, sessionID_);
            transfer.attemptError = VTRError::withDescription(
                VTRErrorDomain, VTRErrorCodeChunkNotAccepted,
                fmt::format("The server gave no checksum for the chunk at offset {}",
                            transfer.currentOffset));
            return false;
        }
        if (hash->isString() && hash->stringValue() == transfer.localHash) {
            transfer.currentOffset += transfer.chunkLength;
            activity_->addBytes(transfer.chunkLength);
            uploadedBytes(transfer.currentOffset, transfer.path);
            return true;
        }
        VTRLogInfo(
            "Invalid md5 hash.  Possible transmission error.  Local hash: {} server hash "
            "{} at offset {} for file {} of session {}",
            transfer.localHash, hash->description(), transfer.currentOffset, remote, sessionID_);
        transfer.attemptError = VTRError::withDescription(
            VTRErrorDomain, VTRErrorCodeChunkNotAccepted,
            fmt::format("The server's checksum of the chunk at offset {} does not match",
                        transfer.currentOffset));
        return false;
    }
    transfer.uploadError = error;
    transfer.attemptError = error;
    VTRLogError("Failed to upload at offset {} for file {} for session {}", transfer.currentOffset,
                remote, sessionID_);
    VTRLogError("Error: {} ({})", error.localizedDescription(), detailsDescription(error));
    if (!isOutOfOrderError(&error)) return false;
    VTRLogError("The server reported that we have skipped chunks that needed to be uploaded");
    if (!transfer.restarted) {
        VTRLogError("Restarting the file so we can upload the chunks that were missed");
        transfer.currentOffset = 0;
        transfer.restarted = true;
        restartedUploadFile(transfer.path, error);
        transfer.uploadError.reset();
        return true;
    }
    VTRLogError("Failing because we've already restarted");
    // The abort decides the outcome: end the cycle now rather than after a pointless pause.
    // The closing step still reports, as the abort is set.
    transfer.chunkAbort = true;
    return true;
}

void VTRFileUploadOperation::finishChunkCycle(ChunkTransfer& transfer, const VTRDictionary&,
                                              bool lastResult) {
    if (lastResult && !transfer.chunkAbort) return;
    VTRLogInfo("Exceeded max retries, reporting upload error.");
    std::string reason =
        transfer.uploadError
            ? transfer.uploadError->localizedDescription()
            : VTRFormatLocalized(VTRLocalizedString::stringFileUploadFailed(),
                                 {std::to_string(transfer.currentOffset), transfer.path});
    std::string serverHash = transfer.serverHash && transfer.serverHash->isString()
                                 ? transfer.serverHash->stringValue()
                                 : std::string();
    std::string code =
        soapHeaderErrorCodeFromError(transfer.uploadError ? &*transfer.uploadError : nullptr)
            .value_or("");
    failedToUploadBytesAtOffset(
        transfer.currentOffset, transfer.path,
        VTRError(VTRErrorDomain, VTRErrorCodeChunkNotAccepted,
                 {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileUploadFailedTitle()},
                  {NSLocalizedFailureReasonErrorKey, reason},
                  {VTRInnerErrorKey,
                   transfer.uploadError ? VTRValue(*transfer.uploadError) : VTRValue()},
                  {VTRFileNameKey, transfer.path},
                  {VTRLocalHashKey, transfer.localHash},
                  {VTRServerHashKey, serverHash},
                  {VTRServerErrorCodeKey, code}}));
}

std::optional<std::string> VTRFileUploadOperation::soapHeaderErrorCodeFromError(
    const VTRError* error) {
    if (!error) return std::nullopt;
    const VTRValue* code = find(error->userInfo(), VTRServerErrorCodeKey);
    if (isNull(code)) return std::nullopt;
    return code->isString() ? code->stringValue() : code->description();
}

bool VTRFileUploadOperation::isOutOfOrderError(const VTRError* error) {
    return soapHeaderErrorCodeFromError(error) ==
           std::optional<std::string>("OutOfOrderUploadChunk");
}

// MARK: verification and close

int VTRFileUploadOperation::verifyFile(const VTRDictionary& entry) {
    const std::string path = stringFor(entry, VTRFileLocalPathKey);
    const std::string remote = stringFor(entry, VTRFileRemotePathKey);
    VTRLogInfo("{} entering", kVerifyFileName);
    activity_->setPhase(VTRUploadPhase::Verify);
    activity_->setFile(remote);

    std::optional<VTRBytes> digest;
    VTRError failure;
    {
        VTRFileInputStream stream(path);
        // A cancel must not wait for the digest of a multi-gigabyte file.
        if (stream.open(&failure)) digest = md5Digest(stream, [this] { return isCancelled(); });
        if (!digest && !isFilled(failure) && stream.streamError()) failure = *stream.streamError();
        if (!digest && isFilled(failure)) failure = streamOpenError(stream, failure);
    }
    if (!digest && isCancelled()) {
        VTRLogInfo("{} operation cancelled while reading the file", kVerifyFileName);
        return VerifyError;
    }
    if (!digest) {
        // Without a checksum there is nothing the server could confirm.
        VTRLogError("Failed to open file {} for reading", path);
        failedToVerifyFile(path, failure);
        VTRLogInfo("{} returning {}", kVerifyFileName, static_cast<int>(VerifyError));
        return VerifyError;
    }
    const std::string checksum = base64String(*digest);
    VTRLogInfo("Verifying checksum {} for file {} of session {}", checksum, path, sessionID_);

    int result = VerifyNotConfirmed;
    bool settled = false;
    std::optional<VTRError> lastError;
    retryCall(
        VTRUploadPhase::Verify, "VerifyFile", maxCloseRetries_, lastError,
        [&] {
            // A settled outcome or a cancel ends the cycle at once, without the remaining
            // attempts and their pauses.
            if (settled || isCancelled()) return true;
            VTRError error;
            bool ok = uploadService_->verifyFile(remote, sessionID_, checksum, &error);
            if (ok) {
                result = VerifyConfirmed;
                settled = true;
                lastError.reset();
                return true;
            }
            lastError = isFilled(error) ? std::optional<VTRError>(error) : std::nullopt;
            VTRLogInfo("Error {} verifying file", lastError ? lastError->description() : "(null)");
            if (soapHeaderErrorCodeFromError(lastError ? &*lastError : nullptr) ==
                std::optional<std::string>("MalformedChecksum")) {
                result = VerifyError;
                settled = true;
            } else if (lastError && lastError->domain() == NSURLErrorDomain &&
                       lastError->code() == NSURLErrorTimedOut) {
                waitFor(seconds(pollingInterval_));
                result = VerifyError;
            } else {
                result = VerifyNotConfirmed;
                settled = true;
            }
            return settled;
        },
        [&](bool) {
            if (result == VerifyError)
                failedToVerifyFile(path, lastError ? *lastError : VTRError());
        });
    VTRLogInfo("{} returning {}", kVerifyFileName, result);
    return result;
}

std::optional<std::string> VTRFileUploadOperation::closeFile(const VTRDictionary& entry) {
    const std::string path = stringFor(entry, VTRFileLocalPathKey);
    const std::string remote = stringFor(entry, VTRFileRemotePathKey);
    VTRLogInfo("{} entering", kCloseFileName);
    VTRLogInfo("Closing file {} of session {}", path, sessionID_);
    activity_->setPhase(VTRUploadPhase::Close);
    activity_->setFile(remote);

    std::optional<std::string> result = kUploading;
    const VTRValue* closed = find(entry, VTRFileClosedKey);
    if (closed && closed->boolValue()) {
        result = kUploaded;
        closedFile(path);
        VTRLogInfo("{} returning", kCloseFileName);
        return result;
    }

    std::optional<VTRError> lastError;
    retryCall(
        VTRUploadPhase::Close, "CloseFile", maxCloseRetries_, lastError,
        [&] {
            // A terminal answer needs no further call: end the cycle at once.
            if (result == kServerException || result == kNotUploaded) return true;
            result = kUploading;
            do {
                lastError.reset();
                VTRError error;
                result = uploadService_->tryCloseFile(remote, sessionID_, &error);
                if (isFilled(error)) {
                    lastError = error;
                    result.reset();
                    VTRLogInfo("Failed to close file {} for session {}", remote, sessionID_);
                    VTRLogInfo("Error: {} ({})", error.localizedDescription(),
                               detailsDescription(error));
                } else if (result == kUploading && !waitFor(seconds(pollingInterval_))) {
                    break;  // cancelled: stop polling
                }
            } while (result == kUploading);
            return result == kUploaded || result == kServerException || result == kNotUploaded;
        },
        [&](bool) {
            if (lastError) {
                VTRLogInfo("Exceeded max retries, reporting closefile error.");
                result.reset();
                VTRError error = closeError(path, lastError->localizedDescription());
                error.mutableUserInfo()[VTRInnerErrorKey] = VTRValue(*lastError);
                failedToCloseFile(path, error);
            } else if (result == kUploaded) {
                closedFile(path);
            } else if (result == kNotUploaded || result == kServerException) {
                VTRLogInfo("Server reported an error {}, reporting closefile error.", *result);
                VTRError error = closeError(path, closeFailureReason(path));
                error.mutableUserInfo()[VTRCloseFileResultKey] = VTRValue(*result);
                if (result == kNotUploaded)
                    restartedUploadFile(path, error);
                else
                    failedToCloseFile(path, error);
            } else if (!result) {
                // Empty answers to the end: the file's state on the server is unknown, which
                // must not pass for a closed file nor go unreported.
                VTRLogInfo("Server gave no close result, reporting closefile error.");
                failedToCloseFile(path, closeError(path, closeFailureReason(path)));
            } else if (isCancelled()) {
                VTRLogInfo("{} operation cancelled while closing file", kCloseFileClosingName);
            }
        });
    VTRLogInfo("{} returning", kCloseFileName);
    return result;
}

// MARK: delegate messages

void VTRFileUploadOperation::uploadedBytes(uint64_t bytes, const std::string& file) {
    rescheduleForMainThread([this, bytes, file](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationUploadedBytes(*this, bytes, file, recordingId_);
    });
}

void VTRFileUploadOperation::failedToUploadBytesAtOffset(uint64_t offset, const std::string& file,
                                                         const VTRError& error) {
    rescheduleForMainThread([this, offset, file, error](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationFailedToUploadBytesAtOffset(*this, offset, file, recordingId_, error);
    });
}

void VTRFileUploadOperation::closedFile(const std::string& file) {
    rescheduleForMainThread([this, file](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationClosedFile(*this, file, recordingId_);
    });
}

void VTRFileUploadOperation::failedToCloseFile(const std::string& file, const VTRError& error) {
    rescheduleForMainThread([this, file, error](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationFailedToCloseFile(*this, file, recordingId_, error);
    });
}

void VTRFileUploadOperation::failedToInitializeUploadOfFile(const std::optional<std::string>& file,
                                                            const VTRError& error) {
    rescheduleForMainThread([this, file, error](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationFailedToInitializeUploadOfFile(*this, file, recordingId_, error);
    });
}

void VTRFileUploadOperation::completedOperation() {
    rescheduleForMainThread([this](VTRFileUploadOperationDelegate& delegate) {
        delegate.fileUploadOperationCompleted(*this, recordingId_);
    });
}

void VTRFileUploadOperation::restartedUploadFile(const std::string& file, const VTRError& error) {
    rescheduleForMainThread([this, file, error](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationRestartedUploadOfFile(*this, file, recordingId_, error);
    });
}

void VTRFileUploadOperation::failedToVerifyFile(const std::string& file, const VTRError& error) {
    rescheduleForMainThread([this, file, error](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationFailedToVerifyFile(*this, file, recordingId_, error);
    });
}

void VTRFileUploadOperation::rescheduleForMainThread(
    std::function<void(VTRFileUploadOperationDelegate&)> message) {
    if (!delegate_.load()) {
        VTRLogInfo("No delegate to notify {}", kRescheduleName);
        return;
    }
    // The queued task keeps the operation alive until it has run.
    std::shared_ptr<VTROperation> self = weak_from_this().lock();
    auto task = [this, self, message = std::move(message)] {
        if (VTRFileUploadOperationDelegate* delegate = delegate_.load()) message(*delegate);
    };
    if (deliveryLoop_->isMainThread())
        task();
    else
        deliveryLoop_->post(std::move(task));
}

}  // namespace vtr
