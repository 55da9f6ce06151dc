#include "ScriptedUploadService.h"

#include "foundation/VTRDataAdditions.h"
#include "httpclient/HTTPRequestOperation.h"

namespace vtr::test {

template <typename T>
std::optional<T> UploadScript::next(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    T answer = std::move(queue.front());
    queue.pop_front();
    return answer;
}

void UploadScript::answerChunkSize(ChunkSizeAnswer answer) {
    std::lock_guard lock(mutex_);
    chunkSizeAnswers_.push_back(std::move(answer));
}
void UploadScript::answerChunk(ChunkAnswer answer) {
    std::lock_guard lock(mutex_);
    chunkAnswers_.push_back(std::move(answer));
}
void UploadScript::answerClose(CloseAnswer answer) {
    std::lock_guard lock(mutex_);
    closeAnswers_.push_back(std::move(answer));
}
void UploadScript::answerVerify(VerifyAnswer answer) {
    std::lock_guard lock(mutex_);
    verifyAnswers_.push_back(std::move(answer));
}

std::vector<ServiceCall> UploadScript::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<ServiceCall> UploadScript::callsOf(const std::string& method) const {
    std::vector<ServiceCall> matching;
    for (const ServiceCall& call : calls())
        if (call.method == method) matching.push_back(call);
    return matching;
}

std::string UploadScript::storedFile(const std::string& fileName) const {
    std::lock_guard lock(mutex_);
    auto found = stored_.find(fileName);
    return found == stored_.end() ? std::string() : found->second;
}

size_t UploadScript::changedKeptChunks() const {
    std::lock_guard lock(mutex_);
    size_t changed = changedKeptChunks_;
    for (const auto& [chunk, original] : kept_) changed += *chunk != original;
    return changed;
}

void UploadScript::keep(std::shared_ptr<const VTRBytes> chunk) {
    std::lock_guard lock(mutex_);
    if (chunksKept == 0) return;
    for (const auto& [held, original] : kept_) changedKeptChunks_ += *held != original;
    VTRBytes original = *chunk;
    kept_.emplace_back(std::move(chunk), std::move(original));
    // Letting go of the oldest: it is checked above for the last time.
    if (kept_.size() > chunksKept) kept_.pop_front();
}

int32_t UploadScript::chunkSize(VTRError* error) {
    std::optional<ChunkSizeAnswer> answer;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({"ChunkSize", "", "", 0, 0, ""});
        answer = next(chunkSizeAnswers_);
    }
    return answer ? (*answer)(error) : defaultChunkSize;
}

std::optional<VTRValue> UploadScript::uploadChunk(const std::string& sessionID,
                                                  const std::string& fileName,
                                                  const VTRBytes& bytes, uint64_t offset,
                                                  VTRError* error) {
    std::optional<ChunkAnswer> answer;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({"UploadChunk", fileName, sessionID, offset, bytes.size(), ""});
        answer = next(chunkAnswers_);
    }
    std::optional<VTRValue> result = (answer ? *answer : correctHash())(bytes, offset, error);
    // Like the real service, keep what was accepted: a hash equal to the bytes' own.
    if (result && result->isString() && result->stringValue() == base64String(md5Digest(bytes))) {
        std::lock_guard lock(mutex_);
        std::string& stored = stored_[fileName];
        if (stored.size() < offset + bytes.size()) stored.resize(offset + bytes.size());
        stored.replace(offset, bytes.size(), reinterpret_cast<const char*>(bytes.data()),
                       bytes.size());
    }
    return result;
}

std::optional<std::string> UploadScript::tryCloseFile(const std::string& fileName,
                                                      const std::string& sessionID,
                                                      VTRError* error) {
    std::optional<CloseAnswer> answer;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({"TryCloseFile", fileName, sessionID, 0, 0, ""});
        answer = next(closeAnswers_);
    }
    return answer ? (*answer)(error) : std::optional<std::string>("Uploaded");
}

bool UploadScript::verifyFile(const std::string& fileName, const std::string& sessionID,
                              const std::string& checksum, VTRError* error) {
    std::optional<VerifyAnswer> answer;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({"VerifyFile", fileName, sessionID, 0, 0, checksum});
        answer = next(verifyAnswers_);
    }
    return answer ? (*answer)(error) : true;
}

VTRError urlError(int64_t code) {
    return VTRError::withDescription(NSURLErrorDomain, code, "scripted URL error");
}

VTRError serverCodeError(const std::string& code) {
    VTRError error = VTRError::withDescription(AFNetworkingErrorDomain, NSURLErrorBadServerResponse,
                                               "Expected status code in (200-299), got 500");
    error.mutableUserInfo()[VTRServerErrorCodeKey] = code;
    return error;
}

UploadScript::ChunkAnswer correctHash() {
    return [](const VTRBytes& bytes, uint64_t, VTRError*) -> std::optional<VTRValue> {
        return VTRValue(base64String(md5Digest(bytes)));
    };
}

UploadScript::ChunkAnswer hashAnswer(VTRValue hash) {
    return [hash](const VTRBytes&, uint64_t, VTRError*) -> std::optional<VTRValue> { return hash; };
}

UploadScript::ChunkAnswer chunkError(VTRError error) {
    return [error](const VTRBytes&, uint64_t, VTRError* out) -> std::optional<VTRValue> {
        setError(out, error);
        return std::nullopt;
    };
}

UploadScript::CloseAnswer closeAnswer(std::optional<std::string> result) {
    return [result](VTRError*) { return result; };
}

UploadScript::CloseAnswer closeError(VTRError error) {
    return [error](VTRError* out) -> std::optional<std::string> {
        setError(out, error);
        return std::nullopt;
    };
}

UploadScript::VerifyAnswer verifyAnswer(bool ok) {
    return [ok](VTRError*) { return ok; };
}

UploadScript::VerifyAnswer verifyError(VTRError error) {
    return [error](VTRError* out) {
        setError(out, error);
        return false;
    };
}

VTRError CancellableCall::block(std::chrono::milliseconds limit) {
    auto operation =
        std::make_shared<HTTPRequestOperation>(HTTPRequest("POST", "http://127.0.0.1/"));
    operation->setCancelHandler([this] {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        changed_.notify_all();
    });
    std::unique_lock lock(mutex_);
    operation_ = operation;
    blocked_ = true;
    changed_.notify_all();
    bool cancelled = changed_.wait_for(lock, limit, [&] { return cancelled_; });
    blocked_ = false;
    operation_.reset();
    return cancelled ? VTRError::withDescription(NSURLErrorDomain, NSURLErrorCancelled, "cancelled")
                     : urlError(NSURLErrorTimedOut);
}

bool CancellableCall::waitUntilBlocked(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return blocked_; });
}

std::shared_ptr<HTTPRequestOperation> CancellableCall::operation() const {
    std::lock_guard lock(mutex_);
    return operation_;
}

void RecordingDelegate::add(std::string kind, std::optional<std::string> file,
                            std::string recording, uint64_t bytes, std::optional<VTRError> error) {
    Report report{std::move(kind), std::move(file),  std::move(recording),
                  bytes,           std::move(error), std::this_thread::get_id()};
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
}

void RecordingDelegate::operationUploadedBytes(VTRFileUploadOperation&, uint64_t bytes,
                                               const std::string& file,
                                               const std::string& recording) {
    add("uploaded", file, recording, bytes);
}
void RecordingDelegate::operationFailedToUploadBytesAtOffset(VTRFileUploadOperation&,
                                                             uint64_t offset,
                                                             const std::string& file,
                                                             const std::string& recording,
                                                             const VTRError& error) {
    add("failedUpload", file, recording, offset, error);
}
void RecordingDelegate::operationClosedFile(VTRFileUploadOperation&, const std::string& file,
                                            const std::string& recording) {
    add("closed", file, recording);
}
void RecordingDelegate::operationFailedToCloseFile(VTRFileUploadOperation&, const std::string& file,
                                                   const std::string& recording,
                                                   const VTRError& error) {
    add("failedClose", file, recording, 0, error);
}
void RecordingDelegate::operationFailedToInitializeUploadOfFile(
    VTRFileUploadOperation&, const std::optional<std::string>& file, const std::string& recording,
    const VTRError& error) {
    add("failedInit", file, recording, 0, error);
}
void RecordingDelegate::fileUploadOperationCompleted(VTRFileUploadOperation&,
                                                     const std::string& recording) {
    add("completed", std::nullopt, recording);
}
void RecordingDelegate::operationRestartedUploadOfFile(VTRFileUploadOperation&,
                                                       const std::string& file,
                                                       const std::string& recording,
                                                       const VTRError& error) {
    add("restarted", file, recording, 0, error);
}
void RecordingDelegate::operationFailedToVerifyFile(VTRFileUploadOperation&,
                                                    const std::string& file,
                                                    const std::string& recording,
                                                    const VTRError& error) {
    add("failedVerify", file, recording, 0, error);
}

std::vector<Report> RecordingDelegate::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<Report> RecordingDelegate::reportsOf(const std::string& kind) const {
    std::vector<Report> matching;
    for (const Report& report : reports())
        if (report.kind == kind) matching.push_back(report);
    return matching;
}

std::vector<std::string> RecordingDelegate::kinds() const {
    std::vector<std::string> kinds;
    for (const Report& report : reports()) kinds.push_back(report.kind);
    return kinds;
}

bool RecordingDelegate::completed() const {
    std::lock_guard lock(mutex_);
    return !reports_.empty() && reports_.back().kind == "completed";
}

}  // namespace vtr::test
