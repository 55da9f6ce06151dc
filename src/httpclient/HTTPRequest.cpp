#include "httpclient/HTTPRequest.h"

#include <algorithm>

#include <fmt/format.h>

#include "httpclient/HTTPURLResponse.h"

namespace vtr {

const std::string* HTTPRequest::valueForHTTPHeaderField(const std::string& name) const {
    for (const auto& field : headerFields_) {
        if (HTTPHeaderNamesEqual(field.first, name)) return &field.second;
    }
    return nullptr;
}

void HTTPRequest::setValueForHTTPHeaderField(const std::string& value, const std::string& name) {
    auto same = [&](const auto& field) { return HTTPHeaderNamesEqual(field.first, name); };
    auto existing = std::find_if(headerFields_.begin(), headerFields_.end(), same);
    if (existing == headerFields_.end()) {
        headerFields_.emplace_back(name, value);
        return;
    }
    existing->second = value;
    headerFields_.erase(std::remove_if(std::next(existing), headerFields_.end(), same),
                        headerFields_.end());
}

void HTTPRequest::setBody(HTTPRequestBody body) {
    body_ = std::make_shared<const HTTPRequestBody>(std::move(body));
}

std::string HTTPRequest::description() const {
    return fmt::format("<HTTPRequest {} {}>", method_, url_);
}

}  // namespace vtr
