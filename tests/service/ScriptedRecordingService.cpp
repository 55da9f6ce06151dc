#include "ScriptedRecordingService.h"

#include <algorithm>

#include "foundation/VTRDataAdditions.h"
#include "foundation/VTROperation.h"
#include "foundation/VTRRunLoop.h"
#include "httpclient/HTTPRequestOperation.h"
#include "upload/VTRUploadService.h"

namespace vtr::test {

VTRError urlError(int64_t code) {
    return VTRError::withDescription(NSURLErrorDomain, code, "The request failed.");
}

// One operation's upload service. The request it reports as in flight exists only while a call
// is held, which is the only time a cancel has anything to interrupt.
class ScriptedRecordingService::Service : public VTRUploadService {
  public:
    Service(ScriptedRecordingService& script, std::string serverURL)
        : script_(script), serverURL_(std::move(serverURL)) {}

    int32_t chunkSizeError(VTRError* error) override {
        std::unique_lock lock(script_.mutex_);
        script_.chunkSizeURLs_.push_back(serverURL_);
        VTROperation* caller = VTROperation::current();
        script_.chunkSizeCallers_.push_back(caller ? caller->weak_from_this()
                                                   : std::weak_ptr<VTROperation>());
        size_t call = ++script_.chunkSizeCounts_[serverURL_];
        if (auto failure = script_.everyCallFailure(lock, Call::ChunkSize)) {
            setError(error, *failure);
            return 0;
        }
        bool answered = script_.waitWhileHeld(lock, *this, [&] {
            auto hold = script_.chunkSizeHolds_.find(serverURL_);
            return hold != script_.chunkSizeHolds_.end() && call >= hold->second;
        });
        lock.unlock();
        script_.nudge();
        if (!answered) {
            setError(error, urlError(NSURLErrorCancelled));
            return 0;
        }
        return script_.chunkSize_;
    }

    std::optional<VTRValue> uploadChunk(const std::string&, const std::string& fileName,
                                        std::shared_ptr<const VTRBytes> chunk, uint64_t offset,
                                        VTRError* error) override {
        const VTRBytes& bytes = *chunk;
        std::unique_lock lock(script_.mutex_);
        auto& calls = script_.chunkCalls_[fileName];
        calls.push_back({fileName, offset, false});
        auto failure = script_.chunkFailures_.find({fileName, offset});
        std::optional<VTRError> failed = script_.everyCallFailure(lock, Call::UploadChunk);
        if (!failed && failure != script_.chunkFailures_.end()) {
            failed = failure->second;
            script_.chunkFailures_.erase(failure);
        } else if (!failed && !script_.waitWhileHeld(lock, *this, [&] {
                       return script_.chunkHolds_.count({fileName, offset}) > 0;
                   })) {
            failed = urlError(NSURLErrorCancelled);
        }
        if (failed) {
            script_.chunkCalls_[fileName].back().failed = true;
            lock.unlock();
            script_.nudge();
            setError(error, *failed);
            return std::nullopt;
        }
        std::string& stored = script_.received_[fileName];
        if (stored.size() < offset + bytes.size()) stored.resize(offset + bytes.size());
        std::copy(bytes.begin(), bytes.end(), stored.begin() + static_cast<std::ptrdiff_t>(offset));
        lock.unlock();
        script_.nudge();
        return VTRValue(base64String(md5Digest(bytes)));
    }

    std::optional<std::string> tryCloseFile(const std::string& fileName, const std::string&,
                                            VTRError* error) override {
        std::unique_lock lock(script_.mutex_);
        ++script_.closeCalls_[fileName];
        if (auto failure = script_.everyCallFailure(lock, Call::TryCloseFile)) {
            setError(error, *failure);
            return std::nullopt;
        }
        if (script_.closeAnswer_) {
            ++script_.scriptedAnswers_[Call::TryCloseFile];
            lock.unlock();
            script_.nudge();
            return *script_.closeAnswer_;
        }
        return std::string("Uploaded");
    }

    bool verifyFile(const std::string& fileName, const std::string&, const std::string& checksum,
                    VTRError* error) override {
        std::unique_lock lock(script_.mutex_);
        if (auto failure = script_.everyCallFailure(lock, Call::VerifyFile)) {
            setError(error, *failure);
            return false;
        }
        return !script_.verifyFails_ &&
               checksum == base64String(md5Digest(std::string_view(script_.received_[fileName])));
    }

    std::shared_ptr<HTTPRequestOperation> currentOperation() override {
        std::lock_guard lock(script_.mutex_);
        return request_;
    }

  private:
    friend class ScriptedRecordingService;
    ScriptedRecordingService& script_;
    std::string serverURL_;
    std::shared_ptr<HTTPRequestOperation> request_;  // guarded by the script's mutex
};

VTRRemoteUploadJobService::UploadServiceFactory ScriptedRecordingService::factory() {
    return [this](const std::string& serverURL) {
        std::lock_guard lock(mutex_);
        serviceURLs_.push_back(serverURL);
        return std::make_unique<Service>(*this, serverURL);
    };
}

bool ScriptedRecordingService::waitWhileHeld(std::unique_lock<std::mutex>& lock, Service& service,
                                             const std::function<bool()>& held) {
    if (!held()) return true;
    VTROperation* caller = VTROperation::current();
    auto request = std::make_shared<HTTPRequestOperation>(HTTPRequest("POST", service.serverURL_));
    request->setCancelHandler([this] {
        std::lock_guard cancelLock(mutex_);
        changed_.notify_all();
    });
    service.request_ = request;
    ++held_;
    loop_.post([] {});
    // The operation's cancel marks it before it looks for the request: checking the mark here,
    // under the lock, catches a cancel that came before the request was in place.
    auto cancelled = [&] { return request->isCancelled() || (caller && caller->isCancelled()); };
    changed_.wait(lock, [&] { return !held() || cancelled(); });
    --held_;
    service.request_.reset();
    return !cancelled();
}

void ScriptedRecordingService::nudge() {
    loop_.post([] {});
}

void ScriptedRecordingService::holdChunkSize(const std::string& serverURL, size_t fromCall) {
    std::lock_guard lock(mutex_);
    chunkSizeHolds_[serverURL] = fromCall;
}

void ScriptedRecordingService::holdUploadChunk(const std::string& fileName, uint64_t offset) {
    std::lock_guard lock(mutex_);
    chunkHolds_.insert({fileName, offset});
}

void ScriptedRecordingService::release() {
    std::lock_guard lock(mutex_);
    chunkSizeHolds_.clear();
    chunkHolds_.clear();
    changed_.notify_all();
}

void ScriptedRecordingService::releaseChunkSize(const std::string& serverURL) {
    std::lock_guard lock(mutex_);
    chunkSizeHolds_.erase(serverURL);
    changed_.notify_all();
}

void ScriptedRecordingService::failUploadChunkOnce(const std::string& fileName, uint64_t offset,
                                                   VTRError error) {
    std::lock_guard lock(mutex_);
    chunkFailures_[{fileName, offset}] = std::move(error);
}

void ScriptedRecordingService::seed(const std::string& fileName, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    received_[fileName] = bytes;
}

void ScriptedRecordingService::setVerifyAlwaysFails(bool fails) {
    std::lock_guard lock(mutex_);
    verifyFails_ = fails;
}

void ScriptedRecordingService::failEveryCall(Call call, VTRError error) {
    std::lock_guard lock(mutex_);
    everyCallFailures_[call] = std::move(error);
}

void ScriptedRecordingService::answerClose(std::optional<std::string> answer) {
    std::lock_guard lock(mutex_);
    closeAnswer_ = std::move(answer);
}

std::optional<VTRError> ScriptedRecordingService::everyCallFailure(std::unique_lock<std::mutex>&,
                                                                   Call call) {
    auto failure = everyCallFailures_.find(call);
    if (failure == everyCallFailures_.end()) return std::nullopt;
    ++scriptedAnswers_[call];
    loop_.post([] {});
    return failure->second;
}

std::shared_ptr<VTROperation> ScriptedRecordingService::chunkSizeCaller(size_t index) const {
    std::lock_guard lock(mutex_);
    return index < chunkSizeCallers_.size() ? chunkSizeCallers_[index].lock() : nullptr;
}

}  // namespace vtr::test
