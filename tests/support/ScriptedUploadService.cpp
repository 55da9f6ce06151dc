#include "support/ScriptedUploadService.h"

#include <algorithm>

#include "foundation/VTRDataAdditions.h"
#include "foundation/VTROperation.h"
#include "foundation/VTRRunLoop.h"
#include "httpclient/HTTPRequestOperation.h"
#include "upload/VTRUploadService.h"

namespace vtr::test {

VTRError urlError(int64_t code) {
    return VTRError::withDescription(NSURLErrorDomain, code, "scripted URL error");
}

VTRError serverCodeError(const std::string& code) {
    VTRError error = VTRError::withDescription(AFNetworkingErrorDomain, NSURLErrorBadServerResponse,
                                               "Expected status code in (200-299), got 500");
    error.mutableUserInfo()[VTRServerErrorCodeKey] = code;
    return error;
}

// Shared with every upload service, which may outlive the script.
struct ScriptedUploadService::Liveness {
    std::mutex mutex;
    VTRRunLoop* loop = nullptr;  // cleared when the script goes
    size_t services = 0;
};

// One operation's upload service. The request it reports as in flight exists only while a call
// is held, which is the only time a cancel has anything to interrupt.
class ScriptedUploadService::Service : public VTRUploadService {
  public:
    Service(ScriptedUploadService& script, std::string url, uint64_t serial)
        : script(script), url(std::move(url)), serial(serial), liveness(script.liveness_) {
        std::lock_guard lock(liveness->mutex);
        ++liveness->services;
    }
    ~Service() override {
        std::lock_guard lock(liveness->mutex);
        --liveness->services;
        if (liveness->loop) liveness->loop->post([] {});
    }

    int32_t chunkSizeError(VTRError* error) override {
        auto value = script.serve(*this, {Method::ChunkSize}, nullptr, error);
        return value ? static_cast<int32_t>(value->int64Value()) : 0;
    }
    std::optional<VTRValue> uploadChunk(const std::string&, const std::string& file,
                                        std::shared_ptr<const VTRBytes> bytes, uint64_t offset,
                                        VTRError* error) override {
        script.keep(bytes);
        return script.serve(*this, {Method::UploadChunk, file, offset, bytes->size()}, bytes.get(),
                            error);
    }
    std::optional<std::string> tryCloseFile(const std::string& file, const std::string&,
                                            VTRError* error) override {
        auto value = script.serve(*this, {Method::TryCloseFile, file}, nullptr, error);
        return value && value->isString() ? std::optional(value->stringValue()) : std::nullopt;
    }
    bool verifyFile(const std::string& file, const std::string&, const std::string& checksum,
                    VTRError* error) override {
        auto value =
            script.serve(*this, {Method::VerifyFile, file, 0, 0, checksum}, nullptr, error);
        return value && value->boolValue();
    }
    std::shared_ptr<HTTPRequestOperation> currentOperation() override {
        std::lock_guard lock(script.mutex_);
        return request;
    }

    ScriptedUploadService& script;
    const std::string url;
    const uint64_t serial;
    std::shared_ptr<Liveness> liveness;
    std::shared_ptr<HTTPRequestOperation> request;  // guarded by the script's mutex
};

ScriptedUploadService::ScriptedUploadService(VTRRunLoop* loop)
    : loop_(loop), liveness_(std::make_shared<Liveness>()) {
    liveness_->loop = loop;
}

ScriptedUploadService::~ScriptedUploadService() {
    std::lock_guard lock(liveness_->mutex);
    liveness_->loop = nullptr;
}

std::unique_ptr<VTRUploadService> ScriptedUploadService::make(const std::string& serverURL) {
    std::lock_guard lock(mutex_);
    serviceURLs_.push_back(serverURL);
    return std::make_unique<Service>(*this, serverURL, serviceURLs_.size());
}

ScriptedUploadService::Factory ScriptedUploadService::factory() {
    return [this](const std::string& serverURL) { return make(serverURL); };
}

std::optional<VTRValue> ScriptedUploadService::serve(Service& service, Call call,
                                                     const VTRBytes* bytes, VTRError* error) {
    call.serverURL = service.url;
    call.serial = service.serial;
    if (VTROperation* caller = VTROperation::current()) call.caller = caller->weak_from_this();
    std::unique_lock lock(mutex_);
    size_t index = calls_.size();
    calls_.push_back(call);
    Answer answer;
    if (auto& queued = answers_[call.method]; !queued.empty()) {
        answer = std::move(queued.front());
        queued.pop_front();
    } else if (rule_) {
        answer = rule_(call);
    }
    if (!answer.error && !answer.value && !answer.damage) {
        size_t number =
            static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [&](auto& c) {
                return c.method == Method::ChunkSize && c.serverURL == call.serverURL;
            }));
        bool answered = waitWhileHeld(lock, service, [&] {
            if (call.method == Method::UploadChunk)
                return chunkHolds_.count({call.file, call.offset}) > 0;
            auto hold = chunkSizeHolds_.find(call.serverURL);
            return call.method == Method::ChunkSize && hold != chunkSizeHolds_.end() &&
                   number >= hold->second;
        });
        if (!answered) answer.error = urlError(NSURLErrorCancelled);
    }
    std::optional<VTRValue> result;
    if (!answer.error) result = healthy(calls_[index], answer, bytes);
    lock.unlock();
    nudge();
    if (answer.error) setError(error, *answer.error);
    return result;
}

// The answer to a call that does not fail (the scripted value, if any), noting what it stores.
// Needs the lock.
VTRValue ScriptedUploadService::healthy(Call& call, const Answer& answer, const VTRBytes* bytes) {
    switch (call.method) {
        case Method::ChunkSize:
            return answer.value.value_or(VTRValue(chunkSize));
        case Method::VerifyFile:
            return answer.value.value_or(
                VTRValue(!verifyChecksums ||
                         call.checksum == base64String(md5Digest(received_[call.file]))));
        case Method::TryCloseFile:
            call.accepted = !answer.value;
            return answer.value.value_or(VTRValue("Uploaded"));
        case Method::UploadChunk:
            break;
    }
    std::string hash = base64String(md5Digest(*bytes));
    VTRValue reply = answer.value.value_or(VTRValue(hash));
    if (!answer.damage && !(reply.isString() && reply.stringValue() == hash)) return reply;
    std::string& stored = received_[call.file];
    if (stored.size() < call.offset + bytes->size()) stored.resize(call.offset + bytes->size());
    std::copy(bytes->begin(), bytes->end(), stored.begin() + static_cast<ptrdiff_t>(call.offset));
    if (answer.damage && !bytes->empty()) {
        // A transmission error: the server keeps, and hashes, what it got.
        stored[call.offset] = static_cast<char>(stored[call.offset] ^ 0x5a);
        return VTRValue(base64String(md5Digest(
            std::string_view(stored).substr(static_cast<size_t>(call.offset), bytes->size()))));
    }
    call.accepted = true;
    return reply;
}

bool ScriptedUploadService::waitWhileHeld(std::unique_lock<std::mutex>& lock, Service& service,
                                          const std::function<bool()>& held) {
    if (!held()) return true;
    VTROperation* caller = VTROperation::current();
    auto request = std::make_shared<HTTPRequestOperation>(HTTPRequest("POST", service.url));
    request->setCancelHandler([this] {
        std::lock_guard cancelLock(mutex_);
        changed_.notify_all();
    });
    service.request = request;
    // The operation's cancel marks it before it looks for the request: checking the mark here,
    // under the lock, catches a cancel that came before the request was in place.
    auto cancelled = [&] { return request->isCancelled() || (caller && caller->isCancelled()); };
    auto waiting = waiting_.insert(waiting_.end(), [&] { return held() && !cancelled(); });
    nudge();
    changed_.wait(lock, [&] { return !held() || cancelled(); });
    waiting_.erase(waiting);
    service.request.reset();
    return !cancelled();
}

void ScriptedUploadService::keep(std::shared_ptr<const VTRBytes> chunk) {
    std::lock_guard lock(mutex_);
    if (chunksKept == 0) return;
    for (const auto& [held, original] : kept_) changedKeptChunks_ += *held != original;
    VTRBytes original = *chunk;
    kept_.emplace_back(std::move(chunk), std::move(original));
    // Letting go of the oldest: it is checked above for the last time.
    if (kept_.size() > chunksKept) kept_.pop_front();
}

void ScriptedUploadService::nudge() {
    if (loop_) loop_->post([] {});
}

void ScriptedUploadService::answer(Method method, Answer answer) {
    std::lock_guard lock(mutex_);
    answers_[method].push_back(std::move(answer));
}

void ScriptedUploadService::setRule(Rule rule) {
    std::lock_guard lock(mutex_);
    rule_ = std::move(rule);
}

void ScriptedUploadService::holdChunkSize(const std::string& serverURL, size_t fromCall) {
    std::lock_guard lock(mutex_);
    chunkSizeHolds_[serverURL] = fromCall;
    changed_.notify_all();  // a call held by the hold this one replaces may go on now
}

void ScriptedUploadService::holdUploadChunk(const std::string& file, uint64_t offset) {
    std::lock_guard lock(mutex_);
    chunkHolds_.insert({file, offset});
}

void ScriptedUploadService::release() {
    std::lock_guard lock(mutex_);
    chunkSizeHolds_.clear();
    chunkHolds_.clear();
    changed_.notify_all();
}

void ScriptedUploadService::releaseChunkSize(const std::string& serverURL) {
    std::lock_guard lock(mutex_);
    chunkSizeHolds_.erase(serverURL);
    changed_.notify_all();
}

void ScriptedUploadService::seed(const std::string& file, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    received_[file] = bytes;
}

std::vector<ScriptedUploadService::Call> ScriptedUploadService::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<ScriptedUploadService::Call> ScriptedUploadService::callsOf(
    Method method, const std::string& file) const {
    std::vector<Call> matching;
    for (Call& call : calls())
        if (call.method == method && (file.empty() || call.file == file)) matching.push_back(call);
    return matching;
}

std::vector<uint64_t> ScriptedUploadService::offsets(const std::string& file) const {
    std::vector<uint64_t> offsets;
    for (const Call& call : callsOf(Method::UploadChunk, file)) offsets.push_back(call.offset);
    return offsets;
}

std::string ScriptedUploadService::received(const std::string& file) const {
    std::lock_guard lock(mutex_);
    auto found = received_.find(file);
    return found == received_.end() ? std::string() : found->second;
}

std::vector<std::string> ScriptedUploadService::serviceURLs() const {
    std::lock_guard lock(mutex_);
    return serviceURLs_;
}

size_t ScriptedUploadService::heldCalls() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(waiting_.begin(), waiting_.end(), [](const auto& held) { return held(); }));
}

size_t ScriptedUploadService::liveServices() const {
    std::lock_guard lock(liveness_->mutex);
    return liveness_->services;
}

size_t ScriptedUploadService::activeCallers(const std::string& serverURL) const {
    std::set<VTROperation*> active;
    for (const Call& call : calls()) {
        auto caller = call.caller.lock();
        if (caller && call.serverURL == serverURL && !caller->isFinished() &&
            !caller->isCancelled())
            active.insert(caller.get());
    }
    return active.size();
}

size_t ScriptedUploadService::changedKeptChunks() const {
    std::lock_guard lock(mutex_);
    size_t changed = changedKeptChunks_;
    for (const auto& [chunk, original] : kept_) changed += *chunk != original;
    return changed;
}

}  // namespace vtr::test
