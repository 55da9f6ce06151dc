// VTRRemoteMethodCaller_sync: wraps an asynchronous caller so that a call blocks its calling
// thread until the outcome is in or the wait time-out (120 s, not counting the time the request
// waited for the upload bandwidth limit) passes, then runs one callback on that same thread.
// One call at a time per wrapper; syncOperation() may be read, and the operation cancelled,
// from any other thread while a call waits.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "soap/VTRRemoteMethodCaller.h"

namespace vtr {

class VTRRemoteMethodCaller_sync : public VTRRemoteMethodCaller {
  public:
    static constexpr std::chrono::milliseconds kDefaultWaitTimeout{120000};

    // Takes ownership of `caller` and points its callback queue at the global queue, so no
    // outcome ever needs the main thread. `waitTimeout` is injectable for tests.
    explicit VTRRemoteMethodCaller_sync(
        std::unique_ptr<VTRRemoteMethodCaller> caller,
        std::chrono::milliseconds waitTimeout = kDefaultWaitTimeout);
    ~VTRRemoteMethodCaller_sync() override;

    // Blocks, then runs exactly one callback on the calling thread. When the wait times out the
    // failure callback gets "Vantrel" 88 and the request goes on until its own time-out; an
    // outcome that arrives later is dropped, never taken for a later call's. Returns nullptr:
    // the call's operation is syncOperation().
    std::shared_ptr<HTTPRequestOperation> callRemoteMethod(
        const std::string& method, const std::vector<std::string>& parameterNames,
        VTRArray parameters, VTRRemoteSuccess success, VTRRemoteFailure failure) override;

    std::chrono::milliseconds waitTimeout() const { return waitTimeout_; }
    // For tests; not while a call waits.
    void setWaitTimeout(std::chrono::milliseconds timeout) { waitTimeout_ = timeout; }

    // The request operation of the latest call, or nullptr before the first.
    std::shared_ptr<HTTPRequestOperation> syncOperation() const;
    VTRRemoteMethodCaller& caller() const { return *caller_; }

    // Forwarded to the wrapped caller.
    std::string servicePath() const override;
    void setServicePath(std::string path) override;
    std::shared_ptr<HTTPClient> client() const override;
    void setClient(std::shared_ptr<HTTPClient> client) override;

    // A slot of its own that nothing reads: calls always complete on the calling thread.
    HTTPCallbackQueue callbackQueue() const override;
    void setCallbackQueue(HTTPCallbackQueue queue) override;

    // The time-out error: "Vantrel" 88, "Operation timed out".
    static VTRError timeoutError();

  private:
    // The outcome slots live apart from the wrapper so a completion arriving after the wrapper
    // is gone (its call timed out) finds them still there.
    struct State;

    std::unique_ptr<VTRRemoteMethodCaller> caller_;
    std::chrono::milliseconds waitTimeout_;
    HTTPCallbackQueue callbackQueue_;
    std::shared_ptr<State> state_;
};

}  // namespace vtr
