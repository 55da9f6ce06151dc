// HTTPMessage: an HTTP request being read line by line, or a response header being built and
// written out. Header names compare case-insensitively. One owner, one thread at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "httpserver/HTTPResponse.h"

namespace vtr {

inline constexpr const char* HTTPVersion1_0 = "HTTP/1.0";
inline constexpr const char* HTTPVersion1_1 = "HTTP/1.1";

class HTTPMessage {
  public:
    // An empty request, filled by appendHeaderLine().
    HTTPMessage() = default;
    // A response header: status line "VERSION CODE REASON". An empty reason takes the standard one.
    HTTPMessage(int statusCode, std::string_view reason, std::string version);

    // Adds one request line or header line, without its CRLF; the empty line completes the
    // header. False when the line is not a valid request line or header field; the message is
    // unchanged then.
    bool appendHeaderLine(std::string_view line);
    bool isHeaderComplete() const { return headerComplete_; }

    const std::string& method() const { return method_; }
    const std::string& url() const { return url_; }
    const std::string& version() const { return version_; }
    int statusCode() const { return statusCode_; }

    // The field's value (repeated fields joined by ", "), or nothing when absent.
    std::optional<std::string> headerField(std::string_view name) const;
    const HTTPHeaderList& allHeaderFields() const { return headers_; }
    // Replaces the value of an existing field of that name in place, else appends it.
    void setHeaderField(std::string_view name, std::string value);

    // A response's status line and header fields followed by the empty line.
    std::string messageData() const;

    // The standard reason phrase of `statusCode`, or "Unknown".
    static std::string_view reasonPhrase(int statusCode);

  private:
    std::string method_;
    std::string url_;
    std::string version_;
    int statusCode_ = 0;
    std::string reason_;
    HTTPHeaderList headers_;
    bool sawRequestLine_ = false;
    bool headerComplete_ = false;
};

// Case-insensitive ASCII comparison, for header names and the tokens the server looks at.
bool HTTPEqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vtr
