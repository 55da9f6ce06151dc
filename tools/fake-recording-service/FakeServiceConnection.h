// FakeServiceConnection: the embedded server's connection for the fake recording service. It
// gathers each request body and hands the request to the one FakeRecordingService, then writes
// the reply it gets, later when the reply asks for a delay, or drops the connection. Runs on the
// server's connection queue like every connection hook.
#pragma once

#include <memory>
#include <string>

#include "FakeRecordingService.h"
#include "httpserver/HTTPConnection.h"

namespace vtr::fake {

class FakeServiceConnection : public HTTPConnection {
  public:
    FakeServiceConnection(HTTPConfig config, FakeRecordingService& service)
        : HTTPConnection(std::move(config)), service_(service) {}

    bool supportsMethod(const std::string& method, const std::string& path) override;
    bool expectsRequestBodyFromMethod(const std::string& method, const std::string& path) override;
    void prepareForBodyWithSize(uint64_t contentLength) override;
    void processBodyData(std::string_view data) override;
    std::unique_ptr<HTTPResponse> httpResponseForMethod(const std::string& method,
                                                        const std::string& uri) override;

  private:
    FakeRecordingService& service_;  // outlives the server and so every connection
    std::string body_;
};

}  // namespace vtr::fake
