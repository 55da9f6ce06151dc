#include "upload/VTRFileUploadOperation.h"

#include <sys/stat.h>

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
#include "upload/VTRUploadOperationErrors.h"
#include "upload/VTRUploadService.h"

namespace vtr {

namespace {

// Qualified stage names for the "%s entering" / "%s returning" lines.
constexpr const char* kMainName = "VTRFileUploadOperation::main";
constexpr const char* kGetChunkSizeName = "VTRFileUploadOperation::getChunkSize";
constexpr const char* kVerifyFileName = "VTRFileUploadOperation::verifyFile";
constexpr const char* kCloseFileName = "VTRFileUploadOperation::closeFile";
constexpr const char* kCloseFileClosingName = "VTRFileUploadOperation::closeFile_block_invoke";
constexpr const char* kRescheduleName = "VTRFileUploadOperation::rescheduleForMainThread";

// The close results the server answers with.
constexpr const char* kUploading = "Uploading";
constexpr const char* kUploaded = "Uploaded";
constexpr const char* kNotUploaded = "NotUploaded";
constexpr const char* kServerException = "ServerException";

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(value > 0 ? value : 0));
}

VTRError closeError(const std::string& path, const std::string& reason) {
    return VTRError(
        VTRErrorDomain, VTRErrorCodeCloseFailed,
        {{NSLocalizedDescriptionKey, VTRLocalizedString::stringUploadEndFailureDescription()},
         {NSLocalizedFailureReasonErrorKey, reason},
         {VTRFileNameKey, path}});
}

std::string closeFailureReason(const std::string& path) {
    return VTRFormatLocalized(VTRLocalizedString::stringUploadEndFailureReason(), {path});
}

std::vector<VTRFileInfo> typedFileInfo(const std::vector<VTRDictionary>& fileInfo) {
    std::vector<VTRFileInfo> files;
    files.reserve(fileInfo.size());
    for (const VTRDictionary& entry : fileInfo) files.push_back(VTRFileInfo::fromDictionary(entry));
    return files;
}

}  // namespace

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
      files_(typedFileInfo(fileInfo)),
      maxUploadRetries_(maxUploadRetries),
      maxCloseRetries_(maxCloseRetries),
      pollingInterval_(pollingInterval),
      uploadService_(std::move(uploadService)),
      retryController_(std::move(retryController)),
      reader_(std::make_unique<VTRChunkReader>([this] { return isCancelled(); })),
      delegate_(delegate),
      deliveryLoop_(deliveryLoop ? deliveryLoop : &VTRRunLoop::main()) {}

VTRFileUploadOperation::~VTRFileUploadOperation() = default;

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
    auto completed = [this] {
        report([this](VTRFileUploadOperationDelegate& delegate) {
            delegate.fileUploadOperationCompleted(*this, recordingId_);
        });
    };
    for (const std::shared_ptr<VTROperation>& dependency : dependencies()) {
        if (dependency->isCancelled()) {
            VTRLogInfo("{} Dependency operation {} was cancelled.  Returning.", kMainName,
                       fmt::ptr(dependency.get()));
            completed();
            return;
        }
    }
    if (isCancelled()) {
        VTRLogInfo("{} Operation was cancelled before it started.  Returning.", kMainName);
        completed();
        return;
    }
    if (!validateParameters()) {
        completed();
        return;
    }
    VTRLogInfo("Uploading to session {}", sessionID_);
    if (!getChunkSize()) {
        completed();
        return;
    }

    bool verifyFailedOnce = false;
    size_t i = 0;
    while (i < files_.size() && !isCancelled()) {
        NextStep step = uploadOneFile(files_[i], verifyFailedOnce);
        if (step == NextStep::Stop) break;
        if (step == NextStep::RestartFile) {
            files_[i].bytesUploaded = 0;
            files_[i].closed = false;
            continue;
        }
        verifyFailedOnce = false;
        ++i;
    }
    VTRLogInfo("{} returning", kMainName);
    completed();
}

VTRFileUploadOperation::NextStep VTRFileUploadOperation::uploadOneFile(const VTRFileInfo& file,
                                                                       bool& verifyFailedOnce) {
    const std::string path = file.localPath;
    struct stat attributes;
    std::optional<VTRError> unusable;
    if (::stat(path.c_str(), &attributes) != 0) {
        int errorNumber = errno;
        VTRLogInfo("Failed to get attributes for file {}", path);
        unusable = posixError(errorNumber, path);
        unusable->mutableUserInfo()[VTRFileNameKey] = path;
    } else if (!S_ISREG(attributes.st_mode)) {
        VTRLogError("{} is not a regular file", path);
        unusable = notRegularFileError(path);
    }
    if (unusable) {
        report([this, path, error = *unusable](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToInitializeUploadOfFile(*this, path, recordingId_, error);
        });
        return NextStep::Stop;
    }
    const uint64_t size = static_cast<uint64_t>(attributes.st_size);
    if (uploadFile(file, file.bytesUploaded, size) < size) return NextStep::Stop;

    VerifyResult verified = verifyFile(file);
    if (isCancelled() || verified == VerifyResult::Error) return NextStep::Stop;
    if (verified == VerifyResult::NotConfirmed) {
        VTRError error = VTRError::withDescription(VTRErrorDomain, VTRErrorCodeChecksumNotConfirmed,
                                                   "Transmission error during upload");
        if (verifyFailedOnce) {
            VTRLogError(
                "Second failure to verify the file's checksum therefore failing and reporting "
                "upload as failed");
            report([this, path, error](VTRFileUploadOperationDelegate& delegate) {
                delegate.operationFailedToVerifyFile(*this, path, recordingId_, error);
            });
            return NextStep::Stop;
        }
        VTRLogError("Failed to verify uploaded file's checksum restarting the file");
        report([this, path, error](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationRestartedUploadOfFile(*this, path, recordingId_, error);
        });
        verifyFailedOnce = true;
        return NextStep::RestartFile;
    }
    switch (closeFile(file)) {
        case CloseResult::Failed:
            return NextStep::Stop;
        // The close stage has reported the restart already.
        case CloseResult::RestartFile:
            return NextStep::RestartFile;
        case CloseResult::Closed:
        case CloseResult::Unsettled:
            return NextStep::NextFile;
    }
    return NextStep::Stop;
}

bool VTRFileUploadOperation::validateParameters() {
    for (const VTRFileInfo& file : files_) {
        const std::string& path = file.localPath;
        struct stat attributes;
        if (!path.empty() && ::stat(path.c_str(), &attributes) == 0) continue;
        std::string message = VTRFormatLocalized(VTRLocalizedString::stringFileDNE(), {path});
        VTRLogInfo("Error: {}", message);
        VTRError error(
            VTRErrorDomain, VTRErrorCodeFileMissing,
            {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorDescription()},
             {NSLocalizedFailureReasonErrorKey, message},
             {VTRFileNameKey, path}});
        report([this, path, error](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToInitializeUploadOfFile(*this, path, recordingId_, error);
        });
        return false;
    }
    return true;
}

// MARK: chunk size

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
        VTRError error(VTRErrorDomain, VTRErrorCodeChunkSizeUnavailable,
                       {{NSLocalizedDescriptionKey, VTRLocalizedString::stringUploadFailedStart()},
                        {NSLocalizedFailureReasonErrorKey, reason},
                        {VTRInnerErrorKey, lastError ? VTRValue(*lastError) : VTRValue()},
                        {VTRSessionIDKey, sessionID_}});
        report([this, error](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToInitializeUploadOfFile(*this, std::nullopt, recordingId_,
                                                             error);
        });
    }
    VTRLogInfo("{} returning", kGetChunkSizeName);
    return succeeded;
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

VTRFileUploadOperation::VerifyResult VTRFileUploadOperation::verifyFile(const VTRFileInfo& file) {
    const std::string& path = file.localPath;
    const std::string& remote = file.remotePath;
    VTRLogInfo("{} entering", kVerifyFileName);
    activity_->setPhase(VTRUploadPhase::Verify);
    activity_->setFile(remote);

    VTRError failure;
    std::optional<VTRBytes> digest = fileDigest(path, failure);
    if (!digest && isCancelled()) {
        VTRLogInfo("{} operation cancelled while reading the file", kVerifyFileName);
        return VerifyResult::Error;
    }
    if (!digest) {
        // Without a checksum there is nothing the server could confirm.
        VTRLogError("Failed to open file {} for reading", path);
        report([this, path, failure](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToVerifyFile(*this, path, recordingId_, failure);
        });
        VTRLogInfo("{} returning {}", kVerifyFileName, static_cast<int>(VerifyResult::Error));
        return VerifyResult::Error;
    }
    const std::string checksum = base64String(*digest);
    VTRLogInfo("Verifying checksum {} for file {} of session {}", checksum, path, sessionID_);

    VerifyResult result = VerifyResult::NotConfirmed;
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
                result = VerifyResult::Confirmed;
                settled = true;
                lastError.reset();
                return true;
            }
            lastError = isFilled(error) ? std::optional<VTRError>(error) : std::nullopt;
            VTRLogInfo("Error {} verifying file", lastError ? lastError->description() : "(null)");
            if (soapHeaderErrorCodeFromError(lastError ? &*lastError : nullptr) ==
                std::optional<std::string>("MalformedChecksum")) {
                result = VerifyResult::Error;
                settled = true;
            } else if (lastError && lastError->domain() == NSURLErrorDomain &&
                       lastError->code() == NSURLErrorTimedOut) {
                waitFor(seconds(pollingInterval_));
                result = VerifyResult::Error;
            } else {
                result = VerifyResult::NotConfirmed;
                settled = true;
            }
            return settled;
        },
        [&](bool) {
            if (result != VerifyResult::Error) return;
            report([this, path, error = lastError.value_or(VTRError())](
                       VTRFileUploadOperationDelegate& delegate) {
                delegate.operationFailedToVerifyFile(*this, path, recordingId_, error);
            });
        });
    VTRLogInfo("{} returning {}", kVerifyFileName, static_cast<int>(result));
    return result;
}

VTRFileUploadOperation::CloseResult VTRFileUploadOperation::closeFile(const VTRFileInfo& file) {
    const std::string& path = file.localPath;
    const std::string& remote = file.remotePath;
    VTRLogInfo("{} entering", kCloseFileName);
    VTRLogInfo("Closing file {} of session {}", path, sessionID_);
    activity_->setPhase(VTRUploadPhase::Close);
    activity_->setFile(remote);
    if (file.closed) {
        reportCloseAnswer(path, kUploaded, std::nullopt);
        VTRLogInfo("{} returning", kCloseFileName);
        return CloseResult::Closed;
    }

    // The server's last answer; nothing when the close failed.
    std::optional<std::string> answer = kUploading;
    std::optional<VTRError> lastError;
    retryCall(
        VTRUploadPhase::Close, "CloseFile", maxCloseRetries_, lastError,
        [&] {
            // A terminal answer needs no further call: end the cycle at once.
            if (answer == kServerException || answer == kNotUploaded) return true;
            answer = kUploading;
            do {
                lastError.reset();
                VTRError error;
                answer = uploadService_->tryCloseFile(remote, sessionID_, &error);
                if (isFilled(error)) {
                    lastError = error;
                    answer.reset();
                    VTRLogInfo("Failed to close file {} for session {}", remote, sessionID_);
                    VTRLogInfo("Error: {} ({})", error.localizedDescription(),
                               detailsDescription(error));
                } else if (answer == kUploading && !waitFor(seconds(pollingInterval_))) {
                    break;  // cancelled: stop polling
                }
            } while (answer == kUploading);
            return answer == kUploaded || answer == kServerException || answer == kNotUploaded;
        },
        [&](bool) {
            if (lastError) answer.reset();
            reportCloseAnswer(path, answer, lastError);
        });
    VTRLogInfo("{} returning", kCloseFileName);
    if (!answer || answer == kServerException) return CloseResult::Failed;
    if (answer == kNotUploaded) return CloseResult::RestartFile;
    return answer == kUploaded ? CloseResult::Closed : CloseResult::Unsettled;
}

void VTRFileUploadOperation::reportCloseAnswer(const std::string& path,
                                               const std::optional<std::string>& answer,
                                               const std::optional<VTRError>& lastError) {
    auto failed = [this, path](const VTRError& error) {
        report([this, path, error](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationFailedToCloseFile(*this, path, recordingId_, error);
        });
    };
    if (lastError) {
        VTRLogInfo("Exceeded max retries, reporting closefile error.");
        VTRError error = closeError(path, lastError->localizedDescription());
        error.mutableUserInfo()[VTRInnerErrorKey] = VTRValue(*lastError);
        failed(error);
    } else if (answer == kUploaded) {
        report([this, path](VTRFileUploadOperationDelegate& delegate) {
            delegate.operationClosedFile(*this, path, recordingId_);
        });
    } else if (answer == kNotUploaded || answer == kServerException) {
        VTRLogInfo("Server reported an error {}, reporting closefile error.", *answer);
        VTRError error = closeError(path, closeFailureReason(path));
        error.mutableUserInfo()[VTRCloseFileResultKey] = VTRValue(*answer);
        if (answer == kNotUploaded) {
            report([this, path, error](VTRFileUploadOperationDelegate& delegate) {
                delegate.operationRestartedUploadOfFile(*this, path, recordingId_, error);
            });
        } else {
            failed(error);
        }
    } else if (!answer) {
        // Empty answers to the end: the file's state on the server is unknown, which must not
        // pass for a closed file nor go unreported.
        VTRLogInfo("Server gave no close result, reporting closefile error.");
        failed(closeError(path, closeFailureReason(path)));
    } else if (isCancelled()) {
        VTRLogInfo("{} operation cancelled while closing file", kCloseFileClosingName);
    }
}

// MARK: delegate messages

void VTRFileUploadOperation::report(std::function<void(VTRFileUploadOperationDelegate&)> message) {
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
