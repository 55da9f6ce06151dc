// HTTPClient: builds requests against one base URL with the default headers, and runs request
// operations on the process's one shared network thread. Shared by its users through
// std::shared_ptr; every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/HTTPMultipartFormData.h"
#include "httpclient/HTTPRequest.h"
#include "httpclient/HTTPRequestOperation.h"

namespace vtr {

class HTTPClient {
  public:
    static constexpr const char* kMultipartBoundary = "Boundary+0xAbCdEfGbOuNdArY";

    // A base URL with a non-empty path that lacks a trailing "/" gets one, so relative paths
    // resolve below it.
    static std::shared_ptr<HTTPClient> clientWithBaseURL(const std::string& url);
    explicit HTTPClient(const std::string& url);

    const std::string& baseURL() const { return baseURL_; }

    // Default headers go on every request this client builds. An empty value removes one.
    std::string defaultValueForHeader(const std::string& name) const;
    void setDefaultHeader(const std::string& name, const std::string& value);

    // `path` is resolved against the base URL: empty is the base URL itself, "/x" replaces the
    // base path, an absolute URL stands alone, anything else is appended to the base path.
    std::string URLForPath(const std::string& path) const;

    // Certificate authorities every request this client builds trusts besides the system's.
    void setAdditionalAuthorities(std::shared_ptr<const HTTPCertificateAuthorities> authorities);
    // Every request body this client sends afterwards takes its bytes from `limiter`'s bucket
    // (nullptr: unlimited).
    void setBandwidthLimiter(std::shared_ptr<HTTPBandwidthLimiter> limiter);

    HTTPRequest requestWithMethod(const std::string& method, const std::string& path) const;
    // Also sets "Content-Type" ("multipart/form-data; boundary=...") and "Content-Length".
    HTTPRequest multipartFormRequestWithMethod(
        const std::string& method, const std::string& path,
        const std::function<void(HTTPMultipartFormData&)>& constructingBody) const;

    std::shared_ptr<HTTPRequestOperation> HTTPRequestOperationWithRequest(
        HTTPRequest request, HTTPRequestOperation::Success success,
        HTTPRequestOperation::Failure failure) const;
    void enqueueHTTPRequestOperation(const std::shared_ptr<HTTPRequestOperation>& operation);

    // The defaults every client starts with: "Accept-Language" from LANGUAGE, LC_ALL,
    // LC_MESSAGES or LANG, and "User-Agent" "<program>/<version> (Linux <kernel release>)".
    static std::string defaultAcceptLanguage();
    static std::string defaultUserAgent();
    // The header value for an ordered list of language tags ("en-US;q=1, de;q=0.9, ...").
    static std::string acceptLanguageForLanguages(const std::vector<std::string>& languages);

  private:
    std::string baseURL_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> defaultHeaders_;
    std::shared_ptr<const HTTPCertificateAuthorities> additionalAuthorities_;
    std::shared_ptr<HTTPBandwidthLimiter> limiter_;
};

}  // namespace vtr
