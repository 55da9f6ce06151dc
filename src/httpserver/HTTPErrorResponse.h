// HTTPErrorResponse: a bodiless reply that carries only a status code (the server still adds
// Content-Length 0, Date and Accept-Ranges). Used on the server's connection queue only.
#pragma once

#include "httpserver/HTTPResponse.h"

namespace vtr {

class HTTPErrorResponse : public HTTPResponse {
  public:
    explicit HTTPErrorResponse(int32_t errorCode) : status_(errorCode) {}

    uint64_t contentLength() const override { return 0; }
    uint64_t offset() const override { return 0; }
    void setOffset(uint64_t) override {}
    std::string_view readDataOfLength(uint64_t) override { return {}; }
    bool isDone() const override { return true; }
    int status() const override { return status_; }

  private:
    int status_;
};

}  // namespace vtr
