// HTTPRequest: one HTTP request ready to send: method, absolute URL, header fields, body and the
// idle time-out, and the certificate authorities it trusts besides the system's. Plain value built
// by HTTPClient and adjusted by its user on one thread, then handed to an HTTPRequestOperation.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/HTTPRequestBody.h"

namespace vtr {

class HTTPCertificateAuthorities;

class HTTPRequest {
  public:
    // The longest quiet wait for the server: while connecting, and between bytes once connected
    // (no byte sent or received for this long ends the request with -1001).
    static constexpr std::chrono::milliseconds kDefaultTimeoutInterval{60000};

    HTTPRequest() = default;
    HTTPRequest(std::string method, std::string url)
        : method_(std::move(method)), url_(std::move(url)) {}

    const std::string& HTTPMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = std::move(method); }
    const std::string& URL() const { return url_; }
    void setURL(std::string url) { url_ = std::move(url); }

    // Header names are compared without regard to case; setting one replaces every field of
    // that name, an empty value included.
    const std::vector<std::pair<std::string, std::string>>& allHTTPHeaderFields() const {
        return headerFields_;
    }
    const std::string* valueForHTTPHeaderField(const std::string& name) const;
    void setValueForHTTPHeaderField(const std::string& value, const std::string& name);

    const HTTPRequestBody& body() const { return *body_; }
    std::shared_ptr<const HTTPRequestBody> sharedBody() const { return body_; }
    void setBody(HTTPRequestBody body);

    std::chrono::milliseconds timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(std::chrono::milliseconds interval) { timeoutInterval_ = interval; }

    // Trusted for an https URL besides the system's store; null: the system's store alone.
    const std::shared_ptr<const HTTPCertificateAuthorities>& additionalAuthorities() const {
        return additionalAuthorities_;
    }
    void setAdditionalAuthorities(std::shared_ptr<const HTTPCertificateAuthorities> authorities) {
        additionalAuthorities_ = std::move(authorities);
    }

    // "<HTTPRequest METHOD URL>" for logs and error details.
    std::string description() const;

  private:
    std::string method_ = "GET";
    std::string url_;
    std::vector<std::pair<std::string, std::string>> headerFields_;
    std::shared_ptr<const HTTPRequestBody> body_ = std::make_shared<HTTPRequestBody>();
    std::chrono::milliseconds timeoutInterval_ = kDefaultTimeoutInterval;
    std::shared_ptr<const HTTPCertificateAuthorities> additionalAuthorities_;
};

}  // namespace vtr
