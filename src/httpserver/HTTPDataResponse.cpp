#include "httpserver/HTTPDataResponse.h"

#include <algorithm>

namespace vtr {

HTTPDataResponse::HTTPDataResponse(std::string data, int status, HTTPHeaderList headers)
    : data_(std::move(data)), status_(status), headers_(std::move(headers)) {}

void HTTPDataResponse::setOffset(uint64_t offset) {
    // A position past the end would make readDataOfLength read outside the buffer.
    offset_ = std::min<uint64_t>(offset, data_.size());
}

std::string_view HTTPDataResponse::readDataOfLength(uint64_t length) {
    uint64_t count = std::min<uint64_t>(length, data_.size() - offset_);
    std::string_view piece(data_.data() + offset_, count);
    offset_ += count;
    return piece;
}

}  // namespace vtr
