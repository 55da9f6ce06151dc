#include "RecordingConnection.h"

#include <gtest/gtest.h>

#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPErrorResponse.h"

namespace vtr::test {

namespace {

// Holds its header back until release() is called.
class DelayedResponse : public HTTPDataResponse {
  public:
    DelayedResponse() : HTTPDataResponse("delayed") {}
    bool delayResponeHeaders() const override { return !ready_; }
    void release() { ready_ = true; }

  private:
    bool ready_ = false;
};

}  // namespace

bool RecordingConnection::supportsMethod(const std::string& method, const std::string& path) {
    record_->add("supportsMethod " + method + " " + path);
    if (path == "/put-only") return method == "PUT";
    return method == "GET" || method == "HEAD" || method == "POST" || method == "PUT";
}

bool RecordingConnection::expectsRequestBodyFromMethod(const std::string& method,
                                                       const std::string& path) {
    record_->add("expectsRequestBody " + method + " " + path);
    return HTTPConnection::expectsRequestBodyFromMethod(method, path);
}

void RecordingConnection::prepareForBodyWithSize(uint64_t contentLength) {
    record_->add("prepareForBodyWithSize " + std::to_string(contentLength));
    body_.clear();
}

void RecordingConnection::processBodyData(std::string_view data) {
    record_->notePiece(data.size());
    body_.append(data);
}

void RecordingConnection::finishBody() {
    record_->add("finishBody");
}

std::unique_ptr<HTTPResponse> RecordingConnection::httpResponseForMethod(const std::string& method,
                                                                         const std::string& uri) {
    record_->add("httpResponseForMethod " + method + " " + uri);
    if (record_->script)
        if (auto response = record_->script(request(), body_)) return response;
    const std::string path = uri.substr(0, uri.find('?'));
    if (path == "/hello" || uri == "/put-only") return std::make_unique<HTTPDataResponse>("hello");
    if (path == "/echo") return std::make_unique<HTTPDataResponse>(body_);
    if (uri == "/delay") {
        auto response = std::make_unique<DelayedResponse>();
        DelayedResponse* pending = response.get();
        postAfter(std::chrono::milliseconds(50), [this, pending] {
            pending->release();
            responseHasAvailableData(pending);
        });
        return response;
    }
    if (uri == "/silent") return std::make_unique<DelayedResponse>();
    if (uri == "/drop") {
        dropConnection();
        return nullptr;
    }
    if (uri == "/stream") {
        auto [stream, response] = HTTPStream::open(*this, record_->streamOptions);
        record_->setStream(std::move(stream));
        return std::move(response);
    }
    if (uri.rfind("/status/", 0) == 0)
        return std::make_unique<HTTPErrorResponse>(std::stoi(uri.substr(8)));
    if (uri.rfind("/headers", 0) == 0)
        return std::make_unique<HTTPDataResponse>(
            "x", 201, HTTPHeaderList{{"X-VTRErrorCode", "Custom"}, {"Accept-Ranges", "none"}});
    return nullptr;
}

RecordingServer::RecordingServer(HTTPServerLimits limits, std::chrono::milliseconds headerTimeout,
                                 HookRecord::Script script, HTTPStreamOptions streamOptions) {
    record->script = std::move(script);
    record->streamOptions = std::move(streamOptions);
    server.setInterface("lo0");
    server.setLimits(std::move(limits));
    server.setHeaderLineTimeout(headerTimeout);
    server.setHeaderWriteTimeout(headerTimeout);
    server.setConnectionClass([record = record](const HTTPConfig& config) {
        return std::make_shared<RecordingConnection>(config, record);
    });
    VTRError error;
    EXPECT_TRUE(server.start(&error)) << error.description();
    port = server.listeningPort();
}

}  // namespace vtr::test
