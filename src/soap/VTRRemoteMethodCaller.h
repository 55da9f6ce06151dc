// VTRRemoteMethodCaller: the asynchronous way to call one method of a remote web service. A call
// returns the request operation at once (cancel it to stop the call) and later runs exactly one
// of its two callbacks on the caller's callback queue. Implementations say which threads may
// configure them; calls may be started from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/VTRError.h"
#include "foundation/VTRValue.h"
#include "httpclient/HTTPCallbackQueue.h"
#include "httpclient/HTTPURLResponse.h"

namespace vtr {

class HTTPClient;
class HTTPRequestOperation;

// `results` holds the single entry "response". `response` is nullptr when no HTTP response
// arrived (refused connection, time-out, cancel).
using VTRRemoteSuccess =
    std::function<void(const VTRDictionary& results, const HTTPURLResponse* response)>;
using VTRRemoteFailure =
    std::function<void(const VTRError& error, const HTTPURLResponse* response)>;

class VTRRemoteMethodCaller {
  public:
    virtual ~VTRRemoteMethodCaller() = default;

    // `parameterNames` and `parameters` run in parallel; the null marker omits a parameter.
    // `parameters` is taken by value so a large byte buffer can be moved in and sent from there
    // without another copy.
    virtual std::shared_ptr<HTTPRequestOperation> callRemoteMethod(
        const std::string& method, const std::vector<std::string>& parameterNames,
        VTRArray parameters, VTRRemoteSuccess success, VTRRemoteFailure failure) = 0;

    virtual std::string servicePath() const = 0;
    virtual void setServicePath(std::string path) = 0;
    virtual std::shared_ptr<HTTPClient> client() const = 0;
    virtual void setClient(std::shared_ptr<HTTPClient> client) = 0;
    virtual HTTPCallbackQueue callbackQueue() const = 0;
    virtual void setCallbackQueue(HTTPCallbackQueue queue) = 0;
};

}  // namespace vtr
