#include "upload/VTRUploadService_impl.h"

#include <limits>

#include "foundation/VTRStringAdditions.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "httpclient/HTTPClient.h"
#include "metrics/VTRMetrics.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"

namespace vtr {

namespace {

std::unique_ptr<VTRRemoteMethodCaller_sync> makeCaller(
    const std::string& endpoint, VTRUploadService_impl::Transport transport) {
    auto soap = std::make_unique<VTRSOAPMethodCaller>(VTRRecordingServiceNamespace,
                                                      VTRRecordingServiceExtension);
    auto sync = std::make_unique<VTRRemoteMethodCaller_sync>(std::move(soap));
    std::shared_ptr<HTTPClient> client = HTTPClient::clientWithBaseURL(endpoint);
    client->setAdditionalAuthorities(std::move(transport.authorities));
    client->setBandwidthLimiter(std::move(transport.limiter));
    sync->setClient(std::move(client));
    // The endpoint is the service itself: requests go to the base URL unchanged.
    sync->setServicePath("");
    return sync;
}

}  // namespace

VTRUploadService_impl::VTRUploadService_impl(const std::string& endpoint, Transport transport)
    : caller_(makeCaller(endpoint, std::move(transport))) {}

VTRUploadService_impl::VTRUploadService_impl(std::unique_ptr<VTRRemoteMethodCaller_sync> caller)
    : caller_(std::move(caller)) {}

VTRUploadService_impl::~VTRUploadService_impl() = default;

std::optional<VTRValue> VTRUploadService_impl::call(const std::string& method,
                                                    const std::vector<std::string>& names,
                                                    VTRArray parameters, VTRError* error) {
    std::optional<VTRValue> result;
    std::optional<VTRError> failure;
    // The synchronous caller runs exactly one of these on this thread before it returns.
    caller_->callRemoteMethod(
        method, names, std::move(parameters),
        [&](const VTRDictionary& results, const HTTPURLResponse*) {
            const VTRValue* response = find(results, "response");
            result = response ? *response : VTRValue();
        },
        [&](const VTRError& callError, const HTTPURLResponse*) { failure = callError; });
    if (metrics_) metrics_->countSOAPCall(method, !failure && result);
    if (failure) {
        setError(error, *failure);
        return std::nullopt;
    }
    if (!result) {
        setError(error, VTRError::withDescription(VTRErrorDomain, VTRErrorCodeResponseUnusable,
                                                  "The remote call ended without an outcome"));
    }
    return result;
}

int32_t VTRUploadService_impl::chunkSizeError(VTRError* error) {
    std::optional<VTRValue> response = call("ChunkSize", {}, {}, error);
    if (!response) return 0;
    std::optional<VTRDecimal> number = numberFromServerString(&*response);
    if (!number) return 0;
    int64_t value = number->int64Value();
    // A size that does not fit is as unusable as no size at all.
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return 0;
    return static_cast<int32_t>(value);
}

std::optional<VTRValue> VTRUploadService_impl::uploadChunk(const std::string& sessionID,
                                                           const std::string& fileName,
                                                           std::shared_ptr<const VTRBytes> bytes,
                                                           uint64_t offset, VTRError* error) {
    // The request's body reads the attachment straight from the shared chunk.
    return call(
        "UploadChunk", {"sessionID", "fileName", "buffer", "offset"},
        {VTRValue(sessionID), VTRValue(fileName), VTRValue(std::move(bytes)), VTRValue(offset)},
        error);
}

std::optional<std::string> VTRUploadService_impl::tryCloseFile(const std::string& fileName,
                                                               const std::string& sessionID,
                                                               VTRError* error) {
    std::optional<VTRValue> response = call("TryCloseFile", {"sessionID", "fileName"},
                                            {VTRValue(sessionID), VTRValue(fileName)}, error);
    // An empty answer is no close result at all.
    if (!response || !response->isString()) return std::nullopt;
    return response->stringValue();
}

bool VTRUploadService_impl::verifyFile(const std::string&, const std::string&, const std::string&,
                                       VTRError*) {
    return true;
}

std::shared_ptr<HTTPRequestOperation> VTRUploadService_impl::currentOperation() {
    return caller_->syncOperation();
}

}  // namespace vtr
