#include "soap/VTRRemoteMethodCaller_sync.h"

#include <condition_variable>
#include <mutex>
#include <optional>

#include "foundation/VTRLocalizedString.h"
#include "foundation/VTROperation.h"
#include "httpclient/HTTPRequestOperation.h"

namespace vtr {

using namespace std::chrono_literals;

// Each call gets a number; an outcome carries the number of the call that started it, so one
// arriving after its call gave up is recognised and dropped.
struct VTRRemoteMethodCaller_sync::State {
    std::mutex mutex;
    std::condition_variable callerCondition;
    uint64_t currentCall = 0;
    std::shared_ptr<HTTPRequestOperation> syncOperation;
    std::optional<VTRDictionary> results;
    std::optional<VTRError> error;
    std::optional<HTTPURLResponse> response;

    bool isComplete() const { return results.has_value() || error.has_value(); }

    void assignResults(uint64_t call, const VTRDictionary* newResults,
                       const HTTPURLResponse* newResponse, const VTRError* newError) {
        {
            std::lock_guard lock(mutex);
            if (call != currentCall) return;
            results = newResults ? std::optional(*newResults) : std::nullopt;
            error = newError ? std::optional(*newError) : std::nullopt;
            response = newResponse ? std::optional(*newResponse) : std::nullopt;
        }
        callerCondition.notify_all();
    }
};

VTRRemoteMethodCaller_sync::VTRRemoteMethodCaller_sync(
    std::unique_ptr<VTRRemoteMethodCaller> caller, std::chrono::milliseconds waitTimeout)
    : caller_(std::move(caller)), waitTimeout_(waitTimeout), state_(std::make_shared<State>()) {
    caller_->setCallbackQueue(globalCallbackQueue());
}

VTRRemoteMethodCaller_sync::~VTRRemoteMethodCaller_sync() = default;

VTRError VTRRemoteMethodCaller_sync::timeoutError() {
    return VTRError(VTRErrorDomain, VTRErrorCodeTimedOut,
                    {{NSLocalizedDescriptionKey, VTRLocalizedString::stringOperationTimeout()}});
}

std::shared_ptr<HTTPRequestOperation> VTRRemoteMethodCaller_sync::callRemoteMethod(
    const std::string& method, const std::vector<std::string>& parameterNames, VTRArray parameters,
    VTRRemoteSuccess success, VTRRemoteFailure failure) {
    uint64_t call;
    {
        std::lock_guard lock(state_->mutex);
        call = ++state_->currentCall;
        state_->results.reset();
        state_->error.reset();
    }
    // The outcome callbacks hold the slots, not the wrapper, which may be gone by then.
    std::shared_ptr<State> state = state_;
    auto operation = caller_->callRemoteMethod(
        method, parameterNames, std::move(parameters),
        [state, call](const VTRDictionary& results, const HTTPURLResponse* response) {
            state->assignResults(call, &results, response, nullptr);
        },
        [state, call](const VTRError& error, const HTTPURLResponse* response) {
            state->assignResults(call, nullptr, response, &error);
        });

    std::optional<VTRDictionary> results;
    std::optional<VTRError> error;
    std::optional<HTTPURLResponse> response;
    {
        std::lock_guard lock(state_->mutex);
        state_->syncOperation = operation;
    }
    // An upload cancelled while this request was being started looked at the previous
    // syncOperation. It sets its cancelled mark before that look-up, so the mark is visible here.
    VTROperation* currentOperation = VTROperation::current();
    if (operation && currentOperation && currentOperation->isCancelled()) operation->cancel();
    {
        std::unique_lock lock(state_->mutex);
        // Time the request spent waiting for the upload bandwidth limit does not count: under a
        // low limit a large chunk takes minutes without anything being wrong.
        auto start = std::chrono::steady_clock::now();
        auto deadline = [&] {
            return start + waitTimeout_ + (operation ? operation->throttledTime() : 0ms);
        };
        while (!state_->isComplete()) {
            auto until = deadline();
            if (std::chrono::steady_clock::now() >= until) break;
            state_->callerCondition.wait_until(lock, until);
        }
        results = state_->results;
        error = state_->error;
        response = state_->response;
    }
    // No lock is held while the user's callback runs.
    const HTTPURLResponse* responseArgument = response ? &*response : nullptr;
    if (results) {
        if (success) success(*results, responseArgument);
    } else if (error) {
        if (failure) failure(*error, responseArgument);
    } else if (failure) {
        // The response slot may still hold an earlier call's response: not this call's.
        failure(timeoutError(), nullptr);
    }
    return nullptr;
}

std::shared_ptr<HTTPRequestOperation> VTRRemoteMethodCaller_sync::syncOperation() const {
    std::lock_guard lock(state_->mutex);
    return state_->syncOperation;
}

std::string VTRRemoteMethodCaller_sync::servicePath() const {
    return caller_->servicePath();
}
void VTRRemoteMethodCaller_sync::setServicePath(std::string path) {
    caller_->setServicePath(std::move(path));
}
std::shared_ptr<HTTPClient> VTRRemoteMethodCaller_sync::client() const {
    return caller_->client();
}
void VTRRemoteMethodCaller_sync::setClient(std::shared_ptr<HTTPClient> client) {
    caller_->setClient(std::move(client));
}
HTTPCallbackQueue VTRRemoteMethodCaller_sync::callbackQueue() const {
    return callbackQueue_;
}
void VTRRemoteMethodCaller_sync::setCallbackQueue(HTTPCallbackQueue queue) {
    callbackQueue_ = std::move(queue);
}

}  // namespace vtr
