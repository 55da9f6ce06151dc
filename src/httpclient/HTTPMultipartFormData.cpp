#include "httpclient/HTTPMultipartFormData.h"

#include <fmt/format.h>

namespace vtr {

namespace {
constexpr const char* kCRLF = "\r\n";
}

std::string HTTPMultipartFormData::headerBlock(const Headers& headers, bool first) const {
    std::string head = first ? "" : kCRLF;
    head += fmt::format("--{}{}", boundary_, kCRLF);
    for (const auto& [name, value] : headers) {
        head += fmt::format("{}: {}{}", name, value, kCRLF);
    }
    head += kCRLF;
    return head;
}

void HTTPMultipartFormData::appendPartWithHeaders(const Headers& headers, std::string body) {
    auto owned = std::make_shared<const std::string>(std::move(body));
    const auto* data = reinterpret_cast<const uint8_t*>(owned->data());
    size_t size = owned->size();
    appendPartWithHeaders(headers, std::move(owned), data, size);
}

void HTTPMultipartFormData::appendPartWithHeaders(const Headers& headers,
                                                  std::shared_ptr<const void> owner,
                                                  const uint8_t* data, size_t size) {
    parts_.push_back(Part{headerBlock(headers, parts_.empty()), std::move(owner), data, size});
}

HTTPRequestBody HTTPMultipartFormData::finishedBody() const {
    HTTPRequestBody body;
    for (const Part& part : parts_) {
        body.append(part.head);
        body.appendReference(part.owner, part.data, part.size);
    }
    body.append(fmt::format("{}--{}--{}", kCRLF, boundary_, kCRLF));
    return body;
}

}  // namespace vtr
