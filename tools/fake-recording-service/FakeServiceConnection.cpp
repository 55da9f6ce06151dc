#include "FakeServiceConnection.h"

#include <algorithm>

#include "httpserver/HTTPDataResponse.h"

namespace vtr::fake {

namespace {

// A reply held back until its delay has passed; the connection writes nothing until then.
class DelayedResponse : public HTTPDataResponse {
  public:
    using HTTPDataResponse::HTTPDataResponse;
    bool delayResponeHeaders() const override { return !ready_; }
    void setReady() { ready_ = true; }

  private:
    bool ready_ = false;
};

}  // namespace

bool FakeServiceConnection::supportsMethod(const std::string& method, const std::string&) {
    return method == "GET" || method == "POST" || method == "PUT" || method == "DELETE";
}

bool FakeServiceConnection::expectsRequestBodyFromMethod(const std::string& method,
                                                         const std::string&) {
    return method == "POST" || method == "PUT";
}

void FakeServiceConnection::prepareForBodyWithSize(uint64_t contentLength) {
    body_.clear();
    // Announced lengths are not trusted beyond a sane reservation.
    if (contentLength != kChunkedBodyLength)
        body_.reserve(std::min<uint64_t>(contentLength, 64u << 20));
}

void FakeServiceConnection::processBodyData(std::string_view data) {
    body_.append(data);
}

std::unique_ptr<HTTPResponse> FakeServiceConnection::httpResponseForMethod(
    const std::string& method, const std::string& uri) {
    std::optional<std::string> contentType = request().headerField("Content-Type");
    std::optional<std::string> soapAction = request().headerField("SOAPAction");
    FakeReply reply = service_.handle(method, uri, contentType ? &*contentType : nullptr,
                                      soapAction ? &*soapAction : nullptr, body_);
    body_.clear();
    if (reply.drop && reply.delay.count() == 0) {
        dropConnection();
        return nullptr;
    }
    auto response = std::make_unique<DelayedResponse>(std::move(reply.body), reply.status,
                                                      std::move(reply.headers));
    if (reply.delay.count() == 0) {
        response->setReady();
        return response;
    }
    DelayedResponse* pending = response.get();
    bool drop = reply.drop;
    // postAfter runs the work only while this connection is alive, and a live connection still
    // holds `pending` as its current response.
    postAfter(reply.delay, [this, pending, drop] {
        if (drop) return dropConnection();
        pending->setReady();
        responseHasAvailableData(pending);
    });
    return response;
}

}  // namespace vtr::fake
