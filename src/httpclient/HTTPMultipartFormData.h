// HTTPMultipartFormData: collects the parts of a multipart body and frames them with the fixed
// boundary. Parts are kept as references where the caller hands over storage, so the body that
// results streams each attachment from the caller's buffer. Used on one thread while a request
// is being built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/HTTPRequestBody.h"

namespace vtr {

class HTTPMultipartFormData {
  public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    explicit HTTPMultipartFormData(std::string boundary) : boundary_(std::move(boundary)) {}

    const std::string& boundary() const { return boundary_; }

    // A part whose body is a copy of `body`.
    void appendPartWithHeaders(const Headers& headers, std::string body);
    // A part whose body is `size` bytes at `data`, kept alive by `owner` (not copied).
    void appendPartWithHeaders(const Headers& headers, std::shared_ptr<const void> owner,
                               const uint8_t* data, size_t size);

    // The framed body: per part "--B" CRLF, "Name: value" CRLF per header, CRLF, the bytes; then
    // CRLF "--B--" CRLF. Parts after the first are preceded by CRLF.
    HTTPRequestBody finishedBody() const;

  private:
    std::string headerBlock(const Headers& headers, bool first) const;

    struct Part {
        std::string head;
        std::shared_ptr<const void> owner;
        const uint8_t* data = nullptr;
        size_t size = 0;
    };
    std::string boundary_;
    std::vector<Part> parts_;
};

}  // namespace vtr
