#include "httpclient/HTTPURLResponse.h"

#include <fmt/format.h>
#include <strings.h>

namespace vtr {

bool HTTPHeaderNamesEqual(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

const std::string* HTTPURLResponse::valueForHTTPHeaderField(const std::string& name) const {
    for (const auto& field : headerFields_) {
        if (HTTPHeaderNamesEqual(field.first, name)) return &field.second;
    }
    return nullptr;
}

std::string HTTPURLResponse::description() const {
    std::string fields;
    for (const auto& [name, value] : headerFields_) {
        fields += fmt::format(" {}: {};", name, value);
    }
    return fmt::format("<HTTPURLResponse {} status {} {{{} }}>", url_, statusCode_, fields);
}

}  // namespace vtr
