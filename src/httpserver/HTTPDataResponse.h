// HTTPDataResponse: a response whose body is a byte buffer held in memory, with an optional
// status (default 200) and extra header fields. Used on the server's connection queue only.
#pragma once

#include <string>

#include "httpserver/HTTPResponse.h"

namespace vtr {

class HTTPDataResponse : public HTTPResponse {
  public:
    explicit HTTPDataResponse(std::string data, int status = 200, HTTPHeaderList headers = {});

    const std::string& data() const { return data_; }

    uint64_t contentLength() const override { return data_.size(); }
    uint64_t offset() const override { return offset_; }
    void setOffset(uint64_t offset) override;
    // Refers to the held buffer; nothing is copied.
    std::string_view readDataOfLength(uint64_t length) override;
    bool isDone() const override { return offset_ == data_.size(); }

    int status() const override { return status_; }
    HTTPHeaderList httpHeaders() const override { return headers_; }

  private:
    std::string data_;
    uint64_t offset_ = 0;
    int status_;
    HTTPHeaderList headers_;
};

}  // namespace vtr
