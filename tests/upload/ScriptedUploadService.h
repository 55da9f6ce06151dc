// Test doubles for the upload engine: a VTRUploadService that plays the recording service from a
// script (a queue of answers per call, then a default behaviour that accepts everything and
// keeps the bytes it was given), and a delegate that records every report it receives.
// The script is shared with the test, so it stays readable after the operation is gone.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VTRError.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRUploadService.h"

namespace vtr::test {

struct ServiceCall {
    std::string method;
    std::string fileName;
    std::string sessionID;
    uint64_t offset = 0;
    size_t length = 0;
    std::string checksum;
};

class UploadScript {
  public:
    using ChunkSizeAnswer = std::function<int32_t(VTRError*)>;
    using ChunkAnswer =
        std::function<std::optional<VTRValue>(const VTRBytes& bytes, uint64_t offset, VTRError*)>;
    using CloseAnswer = std::function<std::optional<std::string>(VTRError*)>;
    using VerifyAnswer = std::function<bool(VTRError*)>;

    // Answers used in turn; when a queue is empty the default answer applies.
    void answerChunkSize(ChunkSizeAnswer answer);
    void answerChunk(ChunkAnswer answer);
    void answerClose(CloseAnswer answer);
    void answerVerify(VerifyAnswer answer);

    int32_t defaultChunkSize = 4;
    // How many of the latest chunks the service holds on to after answering, as a request kept
    // past its call holds its body. Set before the run.
    size_t chunksKept = 0;
    // Held chunks whose bytes changed while held (a fault: the request would send other bytes).
    size_t changedKeptChunks() const;

    std::vector<ServiceCall> calls() const;
    std::vector<ServiceCall> callsOf(const std::string& method) const;
    // The bytes the service accepted for `fileName`, written at the offsets they came with.
    std::string storedFile(const std::string& fileName) const;

    // Used by the service.
    int32_t chunkSize(VTRError* error);
    void keep(std::shared_ptr<const VTRBytes> chunk);
    std::optional<VTRValue> uploadChunk(const std::string& sessionID, const std::string& fileName,
                                        const VTRBytes& bytes, uint64_t offset, VTRError* error);
    std::optional<std::string> tryCloseFile(const std::string& fileName,
                                            const std::string& sessionID, VTRError* error);
    bool verifyFile(const std::string& fileName, const std::string& sessionID,
                    const std::string& checksum, VTRError* error);

  private:
    template <typename T>
    std::optional<T> next(std::deque<T>& queue);

    mutable std::mutex mutex_;
    std::vector<ServiceCall> calls_;
    std::map<std::string, std::string> stored_;
    // Each held chunk with the bytes it had when it arrived.
    std::deque<std::pair<std::shared_ptr<const VTRBytes>, VTRBytes>> kept_;
    size_t changedKeptChunks_ = 0;
    std::deque<ChunkSizeAnswer> chunkSizeAnswers_;
    std::deque<ChunkAnswer> chunkAnswers_;
    std::deque<CloseAnswer> closeAnswers_;
    std::deque<VerifyAnswer> verifyAnswers_;
};

// Ready-made answers.
VTRError urlError(int64_t code);
VTRError serverCodeError(const std::string& code);
// The Base64 MD5 of the bytes (what a healthy server answers to UploadChunk).
UploadScript::ChunkAnswer correctHash();
UploadScript::ChunkAnswer hashAnswer(VTRValue hash);
UploadScript::ChunkAnswer chunkError(VTRError error);
UploadScript::CloseAnswer closeAnswer(std::optional<std::string> result);
UploadScript::CloseAnswer closeError(VTRError error);
UploadScript::VerifyAnswer verifyAnswer(bool ok);
UploadScript::VerifyAnswer verifyError(VTRError error);

// Lets a test hold a call open until the operation cancels it: the call blocks, exposing a
// request operation through currentOperation(), and fails with -999 when that is cancelled.
class CancellableCall {
  public:
    // Blocks until cancelled or `limit` passes; the error -999 when cancelled, else -1001.
    VTRError block(std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool waitUntilBlocked(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::shared_ptr<HTTPRequestOperation> operation() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<HTTPRequestOperation> operation_;
    bool blocked_ = false;
    bool cancelled_ = false;
};

class ScriptedUploadService : public VTRUploadService {
  public:
    ScriptedUploadService(std::shared_ptr<UploadScript> script,
                          std::shared_ptr<CancellableCall> cancellable = nullptr)
        : script_(std::move(script)), cancellable_(std::move(cancellable)) {}

    int32_t chunkSizeError(VTRError* error) override { return script_->chunkSize(error); }
    std::optional<VTRValue> uploadChunk(const std::string& sessionID, const std::string& fileName,
                                        std::shared_ptr<const VTRBytes> bytes, uint64_t offset,
                                        VTRError* error) override {
        script_->keep(bytes);
        return script_->uploadChunk(sessionID, fileName, *bytes, offset, error);
    }
    std::optional<std::string> tryCloseFile(const std::string& fileName,
                                            const std::string& sessionID,
                                            VTRError* error) override {
        return script_->tryCloseFile(fileName, sessionID, error);
    }
    bool verifyFile(const std::string& fileName, const std::string& sessionID,
                    const std::string& checksum, VTRError* error) override {
        return script_->verifyFile(fileName, sessionID, checksum, error);
    }
    std::shared_ptr<HTTPRequestOperation> currentOperation() override {
        return cancellable_ ? cancellable_->operation() : nullptr;
    }

  private:
    std::shared_ptr<UploadScript> script_;
    std::shared_ptr<CancellableCall> cancellable_;
};

// One delegate report as received.
struct Report {
    std::string kind;  // "uploaded", "failedUpload", "closed", "failedClose", "failedInit",
                       // "completed", "restarted", "failedVerify"
    std::optional<std::string> file;
    std::string recording;
    uint64_t bytes = 0;  // total for "uploaded", offset for "failedUpload"
    std::optional<VTRError> error;
    std::thread::id thread;
};

class RecordingDelegate : public VTRFileUploadOperationDelegate {
  public:
    void operationUploadedBytes(VTRFileUploadOperation&, uint64_t bytes, const std::string& file,
                                const std::string& recording) override;
    void operationFailedToUploadBytesAtOffset(VTRFileUploadOperation&, uint64_t offset,
                                              const std::string& file, const std::string& recording,
                                              const VTRError& error) override;
    void operationClosedFile(VTRFileUploadOperation&, const std::string& file,
                             const std::string& recording) override;
    void operationFailedToCloseFile(VTRFileUploadOperation&, const std::string& file,
                                    const std::string& recording, const VTRError& error) override;
    void operationFailedToInitializeUploadOfFile(VTRFileUploadOperation&,
                                                 const std::optional<std::string>& file,
                                                 const std::string& recording,
                                                 const VTRError& error) override;
    void fileUploadOperationCompleted(VTRFileUploadOperation&,
                                      const std::string& recording) override;
    void operationRestartedUploadOfFile(VTRFileUploadOperation&, const std::string& file,
                                        const std::string& recording,
                                        const VTRError& error) override;
    void operationFailedToVerifyFile(VTRFileUploadOperation&, const std::string& file,
                                     const std::string& recording, const VTRError& error) override;

    std::vector<Report> reports() const;
    std::vector<Report> reportsOf(const std::string& kind) const;
    // The kinds in the order received, e.g. {"uploaded", "uploaded", "closed", "completed"}.
    std::vector<std::string> kinds() const;
    bool completed() const;

  private:
    void add(std::string kind, std::optional<std::string> file, std::string recording,
             uint64_t bytes = 0, std::optional<VTRError> error = std::nullopt);

    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

}  // namespace vtr::test
