#include "httpclient/HTTPRequestOperation.h"

#include <fmt/format.h>

namespace vtr {

VTRError HTTPStatusError(const HTTPRequest& request, const HTTPURLResponse& response,
                         const std::string& body) {
    VTRDictionary info{
        {NSLocalizedDescriptionKey,
         fmt::format("Expected status code in ({}), got {}", "200-299", response.statusCode())},
        {"NSLocalizedRecoverySuggestion", body},
        {"NSErrorFailingURLKey", request.URL()},
        {"failingurlrequestkey", request.description()},
        {"failingurlresponsekey", response.description()},
    };
    return VTRError(AFNetworkingErrorDomain, NSURLErrorBadServerResponse, std::move(info));
}

void HTTPRequestOperation::setCompletionBlockWithSuccess(Success success, Failure failure) {
    success_ = std::move(success);
    failure_ = std::move(failure);
}

void HTTPRequestOperation::setCancelHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    cancelHandler_ = std::move(handler);
}

std::chrono::steady_clock::duration HTTPRequestOperation::throttledTime() const {
    std::lock_guard lock(mutex_);
    if (!throttledSince_) return throttledTotal_;
    return throttledTotal_ + (std::chrono::steady_clock::now() - *throttledSince_);
}

void HTTPRequestOperation::setThrottled(bool throttled) {
    std::lock_guard lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (throttled && !throttledSince_) {
        throttledSince_ = now;
    } else if (!throttled && throttledSince_) {
        throttledTotal_ += now - *throttledSince_;
        throttledSince_.reset();
    }
}

void HTTPRequestOperation::cancel() {
    if (finished_.load() || cancelled_.exchange(true)) return;
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = cancelHandler_;
    }
    // Not yet handed to the network thread: it completes the moment it is enqueued.
    if (handler) handler();
}

std::shared_ptr<const HTTPURLResponse> HTTPRequestOperation::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

std::optional<VTRError> HTTPRequestOperation::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void HTTPRequestOperation::finish(std::shared_ptr<const HTTPURLResponse> response, std::string body,
                                  std::optional<VTRError> transportError) {
    if (finished_.exchange(true)) return;
    std::optional<VTRError> error = std::move(transportError);
    if (!error && response && (response->statusCode() < 200 || response->statusCode() > 299)) {
        error = HTTPStatusError(request_, *response, body);
    }
    {
        std::lock_guard lock(mutex_);
        response_ = std::move(response);
        error_ = error;
        cancelHandler_ = nullptr;
    }
    // The handlers are released once used: they may hold whatever holds this operation.
    auto self = shared_from_this();
    Success success = std::move(success_);
    Failure failure = std::move(failure_);
    if (error) {
        if (!failure) return;
        dispatchOnCallbackQueue(failureQueue_,
                                [self, failure = std::move(failure), error = std::move(*error)] {
                                    failure(*self, error);
                                });
    } else {
        if (!success) return;
        dispatchOnCallbackQueue(successQueue_, [self, success = std::move(success),
                                                body = std::move(body)] { success(*self, body); });
    }
}

}  // namespace vtr
