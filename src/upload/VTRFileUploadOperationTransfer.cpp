// VTRFileUploadOperation's chunk transfer: each chunk read into a reused buffer, sent through
// the retry controller and checked against the server's checksum of it. Worker thread only.
#include "upload/VTRFileUploadOperation.h"

#include <algorithm>

#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRLocalizedString.h"
#include "foundation/VTRNullAdditions.h"
#include "foundation/VTRStreamAdditions.h"
#include "logging/VTRLog.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRUploadOperationErrors.h"
#include "upload/VTRUploadService.h"

namespace vtr {

namespace {

constexpr const char* kUploadFileName = "VTRFileUploadOperation::uploadFile";

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
    std::string remote;
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

uint64_t VTRFileUploadOperation::uploadFile(const VTRFileInfo& file, uint64_t fromOffset,
                                            uint64_t size) {
    ChunkTransfer transfer;
    transfer.path = file.localPath;
    transfer.remote = file.remotePath;
    transfer.currentOffset = fromOffset;
    VTRLogInfo("{} entering", kUploadFileName);
    VTRLogInfo("Uploading file {} to session {}", transfer.path, sessionID_);

    const uint64_t chunkSize = chunkSize_.load();
    activity_->setPhase(VTRUploadPhase::Upload);
    activity_->setFile(transfer.remote);

    VTRFileInputStream stream(transfer.path);
    VTRError openError;
    if (!stream.open(&openError)) {
        VTRLogInfo("Failed to open file {} for reading", transfer.path);
        VTRLogInfo("Caught: {} ({})", openError.localizedDescription(),
                   detailsDescription(openError));
        report([this, path = transfer.path, error = streamOpenError(stream, openError)](
                   VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToInitializeUploadOfFile(*this, path, recordingId_, error);
        });
        VTRLogInfo("{} returning", kUploadFileName);
        return transfer.currentOffset;
    }

    while (transfer.currentOffset < size && !isCancelled() && !transfer.uploadError) {
        if (!readChunk(transfer, stream, size, chunkSize)) break;
        retryCall(
            VTRUploadPhase::Upload, "UploadChunk", maxUploadRetries_, transfer.attemptError,
            [&] { return uploadChunkAttempt(transfer); },
            [&](bool lastResult) { finishChunkCycle(transfer, lastResult); });
    }
    if (isCancelled()) VTRLogInfo("{} operation cancelled while uploading bytes", kUploadFileName);
    stream.close();
    VTRLogInfo("{} returning", kUploadFileName);
    return transfer.currentOffset;
}

bool VTRFileUploadOperation::readChunk(ChunkTransfer& transfer, VTRFileInputStream& stream,
                                       uint64_t size, uint64_t chunkSize) {
    if (stream.offset() != static_cast<int64_t>(transfer.currentOffset))
        stream.setOffset(transfer.currentOffset);
    // The previous chunk is let go first, so that its buffer serves again once no request
    // holds it. Buffers keep their capacity across chunks and files: no allocation per chunk.
    transfer.chunk.reset();
    std::shared_ptr<ChunkBuffer>& buffer = freeChunkBuffer();
    VTRBytes& bytes = buffer->bytes;
    // Never more than the bytes left of the size checked: a small file takes a small buffer,
    // and bytes appended while the file is read stay out of this upload.
    const size_t length = static_cast<size_t>(std::min(chunkSize, size - transfer.currentOffset));
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
    } else if (n == 0) {
        // The file is shorter than when the transfer began: nothing more can be sent.
        VTRLogError("File {} ended at offset {} before its expected size {}", transfer.path,
                    transfer.currentOffset, size);
        transfer.uploadError = VTRError(
            VTRErrorDomain, VTRErrorCodeFileReadFailed,
            {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorTitle()},
             {NSLocalizedFailureReasonErrorKey,
              fmt::format("File {} ended at offset {} before its expected size {}", transfer.path,
                          transfer.currentOffset, size)},
             {VTRFileNameKey, transfer.path},
             {VTRErrorStreamStatusKey, VTRValue(static_cast<int64_t>(VTRStreamStatus::AtEnd))}});
    }
    if (n <= 0) {
        report([this, offset = transfer.currentOffset, path = transfer.path,
                error = *transfer.uploadError](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToUploadBytesAtOffset(*this, offset, path, recordingId_, error);
        });
        return false;
    }
    bytes.resize(static_cast<size_t>(n));
    transfer.chunkLength = bytes.size();
    transfer.localHash = base64String(md5Digest(bytes.data(), bytes.size()));
    // From here on the bytes stay as they are until every request sending them is gone.
    transfer.chunk = lendChunk(buffer);
    transfer.serverHash.reset();
    transfer.chunkAbort = false;
    return true;
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

size_t VTRFileUploadOperation::bufferCapacity() const {
    size_t capacity = 0;
    for (const std::shared_ptr<ChunkBuffer>& buffer : buffers_)
        if (buffer) capacity += buffer->bytes.capacity();
    return capacity;
}

bool VTRFileUploadOperation::uploadChunkAttempt(ChunkTransfer& transfer) {
    if (isCancelled()) transfer.chunkAbort = true;
    if (transfer.chunkAbort) return true;
    const std::string& remote = transfer.remote;
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
            report([this, bytes = transfer.currentOffset,
                    path = transfer.path](VTRFileUploadOperationDelegate& delegate) {
                delegate.operationUploadedBytes(*this, bytes, path, recordingId_);
            });
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
        report([this, path = transfer.path, error](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationRestartedUploadOfFile(*this, path, recordingId_, error);
        });
        transfer.uploadError.reset();
        return true;
    }
    VTRLogError("Failing because we've already restarted");
    // The abort decides the outcome: end the cycle now rather than after a pointless pause.
    // The closing step still reports, as the abort is set.
    transfer.chunkAbort = true;
    return true;
}

void VTRFileUploadOperation::finishChunkCycle(ChunkTransfer& transfer, bool lastResult) {
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
    VTRError error(
        VTRErrorDomain, VTRErrorCodeChunkNotAccepted,
        {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileUploadFailedTitle()},
         {NSLocalizedFailureReasonErrorKey, reason},
         {VTRInnerErrorKey, transfer.uploadError ? VTRValue(*transfer.uploadError) : VTRValue()},
         {VTRFileNameKey, transfer.path},
         {VTRLocalHashKey, transfer.localHash},
         {VTRServerHashKey, serverHash},
         {VTRServerErrorCodeKey, code}});
    report([this, offset = transfer.currentOffset, path = transfer.path,
            error](VTRFileUploadOperationDelegate& delegate) {
        delegate.operationFailedToUploadBytesAtOffset(*this, offset, path, recordingId_, error);
    });
}

}  // namespace vtr
