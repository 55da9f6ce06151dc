// VTRFileUploadOperation's chunk transfer: each chunk taken from the read-ahead, sent through
// the retry controller and checked against the server's checksum of it; and the whole-file
// checksum for the verification. Worker thread only.
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
    transferDigest_.reset();
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
        if (!takeChunk(transfer, stream, size, chunkSize)) break;
        retryCall(
            VTRUploadPhase::Upload, "UploadChunk", maxUploadRetries_, transfer.attemptError,
            [&] { return uploadChunkAttempt(transfer); },
            [&](bool lastResult) { finishChunkCycle(transfer, lastResult); });
    }
    // Every chunk went: the reader ends once its running digest covers the whole file.
    if (transfer.currentOffset >= size && !isCancelled()) transferDigest_ = reader_->finish();
    reader_->stop();
    if (isCancelled()) VTRLogInfo("{} operation cancelled while uploading bytes", kUploadFileName);
    stream.close();
    VTRLogInfo("{} returning", kUploadFileName);
    return transfer.currentOffset;
}

bool VTRFileUploadOperation::takeChunk(ChunkTransfer& transfer, VTRFileInputStream& stream,
                                       uint64_t size, uint64_t chunkSize) {
    // The previous chunk is let go first, so that its buffer serves again once no request
    // holds it.
    transfer.chunk.reset();
    // No pass yet, or a restart of the file went back to offset 0: the read-ahead starts (over)
    // from the current offset.
    if (reader_->nextOffset() != transfer.currentOffset)
        reader_->start(stream, transfer.currentOffset, size, chunkSize);
    VTRChunkReader::Chunk chunk = reader_->next();
    if (chunk.status == VTRStreamStatus::Closed) return false;  // cancelled
    if (chunk.status == VTRStreamStatus::AtEnd) {
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
    } else if (!chunk.bytes) {
        int status = static_cast<int>(chunk.status);
        VTRLogError("Failed to read from uploadFileStream. Status: {}", status);
        transfer.uploadError =
            VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                     {{VTRErrorStreamStatusKey, VTRValue(static_cast<int64_t>(status))}});
    }
    if (!chunk.bytes) {
        report([this, offset = transfer.currentOffset, path = transfer.path,
                error = *transfer.uploadError](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToUploadBytesAtOffset(*this, offset, path, recordingId_, error);
        });
        return false;
    }
    transfer.chunkLength = chunk.bytes->size();
    transfer.localHash = std::move(chunk.md5);
    // The bytes stay as they are until every request sending them is gone.
    transfer.chunk = std::move(chunk.bytes);
    transfer.serverHash.reset();
    transfer.chunkAbort = false;
    return true;
}

size_t VTRFileUploadOperation::bufferCapacity() const {
    return reader_->bufferCapacity();
}

std::optional<VTRBytes> VTRFileUploadOperation::fileDigest(const std::string& path,
                                                           VTRError& failure) {
    std::optional<VTRChunkReader::FileDigest> computed = std::move(transferDigest_);
    transferDigest_.reset();
    // Same device, inode, size and modification time as when the transfer began reading: the
    // bytes hashed then are the file's bytes now.
    if (computed && computed->path == path && fileIdentity(path) == computed->identity) {
        VTRLogInfo("Using the checksum computed while uploading {}", path);
        return computed->md5;
    }
    if (computed) VTRLogInfo("File {} changed during its upload: reading it again", path);
    std::optional<VTRBytes> digest;
    VTRFileInputStream stream(path);
    // A cancel must not wait for the digest of a multi-gigabyte file.
    if (stream.open(&failure)) digest = md5Digest(stream, [this] { return isCancelled(); });
    if (!digest && !isFilled(failure) && stream.streamError()) failure = *stream.streamError();
    if (!digest && isFilled(failure)) failure = streamOpenError(stream, failure);
    return digest;
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
