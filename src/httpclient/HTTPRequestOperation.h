// HTTPRequestOperation: one HTTP exchange run by the shared network thread. The completion
// handlers run on their callback queues (the main run loop when none is set), never on the
// network thread. cancel(), isFinished(), response() and error() may be called from any thread;
// handlers and queues are set before the operation is enqueued.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/VTRError.h"
#include "httpclient/HTTPCallbackQueue.h"
#include "httpclient/HTTPRequest.h"
#include "httpclient/HTTPURLResponse.h"

namespace vtr {

class HTTPBandwidthLimiter;

class HTTPRequestOperation : public std::enable_shared_from_this<HTTPRequestOperation> {
  public:
    using Success = std::function<void(HTTPRequestOperation& operation, const std::string& body)>;
    using Failure = std::function<void(HTTPRequestOperation& operation, const VTRError& error)>;

    explicit HTTPRequestOperation(HTTPRequest request) : request_(std::move(request)) {}
    HTTPRequestOperation(const HTTPRequestOperation&) = delete;
    HTTPRequestOperation& operator=(const HTTPRequestOperation&) = delete;

    const HTTPRequest& request() const { return request_; }

    // Either handler may be empty; it is then skipped.
    void setCompletionBlockWithSuccess(Success success, Failure failure);
    void setSuccessCallbackQueue(HTTPCallbackQueue queue) { successQueue_ = std::move(queue); }
    void setFailureCallbackQueue(HTTPCallbackQueue queue) { failureQueue_ = std::move(queue); }

    // Stops the exchange; the failure handler then gets NSURLErrorDomain -999. Does nothing once
    // the operation has finished.
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    bool isFinished() const { return finished_.load(); }

    // The response once its header block arrived, else nullptr.
    std::shared_ptr<const HTTPURLResponse> response() const;
    // The error the operation ended with; empty while running and after a success.
    std::optional<VTRError> error() const;

    // Called by the network thread, once: records the outcome and dispatches the handler.
    // A status outside 200-299 turns a transport success into the status error.
    void finish(std::shared_ptr<const HTTPURLResponse> response, std::string body,
                std::optional<VTRError> transportError);

    // Set by the client when it hands the operation to the network thread; cancel() uses it.
    void setCancelHandler(std::function<void()> handler);

    // The bucket the request body's bytes are taken from (none: unlimited). Set before the
    // operation is enqueued.
    void setBandwidthLimiter(std::shared_ptr<HTTPBandwidthLimiter> limiter) {
        limiter_ = std::move(limiter);
    }
    const std::shared_ptr<HTTPBandwidthLimiter>& bandwidthLimiter() const { return limiter_; }
    // The time the body has spent paused waiting for the bucket so far, a pause still going on
    // included. Time-outs leave it out: a slow limit is not a dead server.
    std::chrono::steady_clock::duration throttledTime() const;
    // Called by the network thread when the body pauses for the bucket and when it goes on.
    void setThrottled(bool throttled);

  private:
    HTTPRequest request_;
    Success success_;
    Failure failure_;
    HTTPCallbackQueue successQueue_;
    HTTPCallbackQueue failureQueue_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::function<void()> cancelHandler_;
    std::shared_ptr<const HTTPURLResponse> response_;
    std::optional<VTRError> error_;
    std::shared_ptr<HTTPBandwidthLimiter> limiter_;
    // Guarded by mutex_: the finished pauses' total and the start of the one going on, if any.
    std::chrono::steady_clock::duration throttledTotal_{0};
    std::optional<std::chrono::steady_clock::time_point> throttledSince_;
};

// The error of a status outside 200-299: "AFNetworkingErrorDomain" -1011.
VTRError HTTPStatusError(const HTTPRequest& request, const HTTPURLResponse& response,
                         const std::string& body);

}  // namespace vtr
