// HTTPURLResponse: what the server answered, minus the body: the final URL, the status code and
// the header fields in the order they arrived. Plain value; copy freely, read from any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vtr {

// Header names are compared without regard to (ASCII) case.
bool HTTPHeaderNamesEqual(const std::string& a, const std::string& b);

class HTTPURLResponse {
  public:
    HTTPURLResponse() = default;
    HTTPURLResponse(std::string url, int statusCode,
                    std::vector<std::pair<std::string, std::string>> headerFields)
        : url_(std::move(url)), statusCode_(statusCode), headerFields_(std::move(headerFields)) {}

    const std::string& url() const { return url_; }
    int statusCode() const { return statusCode_; }
    const std::vector<std::pair<std::string, std::string>>& allHeaderFields() const {
        return headerFields_;
    }

    // The first field of that name, compared without regard to case; nullptr when absent.
    const std::string* valueForHTTPHeaderField(const std::string& name) const;

    // "<HTTPURLResponse URL status N { Name: value; ... }>" for logs and error details.
    std::string description() const;

  private:
    std::string url_;
    int statusCode_ = 0;
    std::vector<std::pair<std::string, std::string>> headerFields_;
};

}  // namespace vtr
