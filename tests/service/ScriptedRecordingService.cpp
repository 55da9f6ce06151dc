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
    Service(ScriptedRecordingService& script, std::string serverURL, uint64_t serial)
        : script_(script),
          serverURL_(std::move(serverURL)),
          serial_(serial),
          liveness_(script.liveness_) {
        std::lock_guard lock(liveness_->mutex);
        ++liveness_->services;
    }

    ~Service() override {
        std::lock_guard lock(liveness_->mutex);
        --liveness_->services;
        if (liveness_->loop) liveness_->loop->post([] {});
    }

    int32_t chunkSizeError(VTRError* error) override {
        std::unique_lock lock(script_.mutex_);
        script_.noteCaller(serverURL_);
        Misbehaviour misbehaviour = script_.misbehaviour(Call::ChunkSize, "");
        if (auto failure = failureFor(misbehaviour)) {
            lock.unlock();
            script_.nudge();
            setError(error, *failure);
            return 0;
        }
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
        script_.noteCaller(serverURL_);
        auto& calls = script_.chunkCalls_[fileName];
        calls.push_back({fileName, offset, false});
        auto failure = script_.chunkFailures_.find({fileName, offset});
        std::optional<VTRError> failed = script_.everyCallFailure(lock, Call::UploadChunk);
        Misbehaviour misbehaviour = script_.misbehaviour(Call::UploadChunk, fileName);
        if (!failed && misbehaviour == Misbehaviour::OutOfOrder) {
            failed = VTRError(AFNetworkingErrorDomain, NSURLErrorBadServerResponse,
                              {{NSLocalizedDescriptionKey, outOfOrderText()},
                               {VTRServerErrorCodeKey, "OutOfOrderUploadChunk"}});
        } else if (!failed) {
            failed = failureFor(misbehaviour);
        }
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
        bool damaged = misbehaviour == Misbehaviour::WrongHash && !bytes.empty();
        std::string& stored = script_.received_[fileName];
        if (stored.size() < offset + bytes.size()) stored.resize(offset + bytes.size());
        std::copy(bytes.begin(), bytes.end(), stored.begin() + static_cast<std::ptrdiff_t>(offset));
        if (damaged) {
            // A transmission error: the server keeps, and hashes, what it got.
            stored[offset] = static_cast<char>(stored[offset] ^ 0x5a);
            std::string hash =
                base64String(md5Digest(std::string_view(stored.data() + offset, bytes.size())));
            lock.unlock();
            script_.nudge();
            return VTRValue(hash);
        }
        uint64_t& end = script_.acceptedEnds_[{fileName, serial_}];
        end = std::max(end, offset + bytes.size());
        lock.unlock();
        script_.nudge();
        return VTRValue(base64String(md5Digest(bytes)));
    }

    std::optional<std::string> tryCloseFile(const std::string& fileName, const std::string&,
                                            VTRError* error) override {
        std::unique_lock lock(script_.mutex_);
        script_.noteCaller(serverURL_);
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
        Misbehaviour misbehaviour = script_.misbehaviour(Call::TryCloseFile, fileName);
        if (auto failure = failureFor(misbehaviour)) {
            setError(error, *failure);
            return std::nullopt;
        }
        if (misbehaviour == Misbehaviour::Uploading) return std::string("Uploading");
        if (misbehaviour == Misbehaviour::ServerException) return std::string("ServerException");
        script_.closedBy_.insert({fileName, serial_});
        return std::string("Uploaded");
    }

    bool verifyFile(const std::string& fileName, const std::string&, const std::string& checksum,
                    VTRError* error) override {
        std::unique_lock lock(script_.mutex_);
        script_.noteCaller(serverURL_);
        if (auto failure = script_.everyCallFailure(lock, Call::VerifyFile)) {
            setError(error, *failure);
            return false;
        }
        Misbehaviour misbehaviour = script_.misbehaviour(Call::VerifyFile, fileName);
        if (auto failure = failureFor(misbehaviour)) {
            setError(error, *failure);
            return false;
        }
        return misbehaviour != Misbehaviour::Unverified && !script_.verifyFails_ &&
               checksum == base64String(md5Digest(std::string_view(script_.received_[fileName])));
    }

    std::shared_ptr<HTTPRequestOperation> currentOperation() override {
        std::lock_guard lock(script_.mutex_);
        return request_;
    }

  private:
    friend class ScriptedRecordingService;

    static std::optional<VTRError> failureFor(Misbehaviour misbehaviour) {
        if (misbehaviour == Misbehaviour::ServerError)
            return VTRError::withDescription(AFNetworkingErrorDomain, NSURLErrorBadServerResponse,
                                             serverErrorText());
        if (misbehaviour == Misbehaviour::DropConnection)
            return VTRError::withDescription(NSURLErrorDomain, NSURLErrorNetworkConnectionLost,
                                             droppedConnectionText());
        return std::nullopt;
    }

    ScriptedRecordingService& script_;
    std::string serverURL_;
    const uint64_t serial_;
    std::shared_ptr<Liveness> liveness_;
    std::shared_ptr<HTTPRequestOperation> request_;  // guarded by the script's mutex
};

VTRRemoteUploadJobService::UploadServiceFactory ScriptedRecordingService::factory() {
    return [this](const std::string& serverURL) {
        std::lock_guard lock(mutex_);
        serviceURLs_.push_back(serverURL);
        return std::make_unique<Service>(*this, serverURL, serviceURLs_.size());
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
    // The operation's cancel marks it before it looks for the request: checking the mark here,
    // under the lock, catches a cancel that came before the request was in place.
    auto cancelled = [&] { return request->isCancelled() || (caller && caller->isCancelled()); };
    auto blocked = blocked_.insert(blocked_.end(), [&] { return held() && !cancelled(); });
    loop_.post([] {});
    changed_.wait(lock, [&] { return !held() || cancelled(); });
    blocked_.erase(blocked);
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
    // A call held by the hold this one replaces may go on now.
    changed_.notify_all();
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

ScriptedRecordingService::~ScriptedRecordingService() {
    std::lock_guard lock(liveness_->mutex);
    liveness_->loop = nullptr;
}

const char* ScriptedRecordingService::serverErrorText() {
    return "Request failed: internal server error (500)";
}

const char* ScriptedRecordingService::droppedConnectionText() {
    return "The network connection was lost.";
}

const char* ScriptedRecordingService::outOfOrderText() {
    return "The server expected an earlier chunk (out of order).";
}

void ScriptedRecordingService::setMisbehaviour(Misbehave misbehave) {
    std::lock_guard lock(mutex_);
    misbehave_ = std::move(misbehave);
}

size_t ScriptedRecordingService::liveServices() const {
    std::lock_guard lock(liveness_->mutex);
    return liveness_->services;
}

size_t ScriptedRecordingService::blockedCalls() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(blocked_.begin(), blocked_.end(),
                                             [](const auto& blocked) { return blocked(); }));
}

void ScriptedRecordingService::noteCaller(const std::string& serverURL) {
    VTROperation* caller = VTROperation::current();
    if (!caller) return;
    auto& callers = callers_[serverURL];
    for (const auto& known : callers)
        if (known.lock().get() == caller) return;
    callers.push_back(caller->weak_from_this());
}

size_t ScriptedRecordingService::activeCallers(const std::string& serverURL) const {
    std::lock_guard lock(mutex_);
    auto found = callers_.find(serverURL);
    if (found == callers_.end()) return 0;
    return static_cast<size_t>(
        std::count_if(found->second.begin(), found->second.end(), [](const auto& weak) {
            auto caller = weak.lock();
            return caller && !caller->isFinished() && !caller->isCancelled();
        }));
}

uint64_t ScriptedRecordingService::acceptedAfter(const std::string& fileName,
                                                 uint64_t serial) const {
    std::lock_guard lock(mutex_);
    uint64_t furthest = 0;
    for (auto entry = acceptedEnds_.upper_bound({fileName, serial});
         entry != acceptedEnds_.end() && entry->first.first == fileName; ++entry)
        furthest = std::max(furthest, entry->second);
    return furthest;
}

bool ScriptedRecordingService::closedAfter(const std::string& fileName, uint64_t serial) const {
    std::lock_guard lock(mutex_);
    auto next = closedBy_.upper_bound({fileName, serial});
    return next != closedBy_.end() && next->first == fileName;
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
