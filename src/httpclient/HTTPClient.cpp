#include "httpclient/HTTPClient.h"

#include <errno.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "httpclient/HTTPNetworkThread.h"

namespace vtr {

namespace {

// "scheme://authority" and the path that follows it ("" when there is none).
std::pair<std::string, std::string> splitOrigin(const std::string& url) {
    size_t scheme = url.find("://");
    size_t pathStart = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
    if (pathStart == std::string::npos) return {url, ""};
    return {url.substr(0, pathStart), url.substr(pathStart)};
}

// "en_US.UTF-8@euro" -> "en-US"; "C" and "POSIX" name no language.
std::string languageTag(std::string locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return {};
    std::replace(locale.begin(), locale.end(), '_', '-');
    return locale;
}

std::string asciiOnly(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80) out += c;
    }
    return out;
}

}  // namespace

std::shared_ptr<HTTPClient> HTTPClient::clientWithBaseURL(const std::string& url) {
    return std::make_shared<HTTPClient>(url);
}

HTTPClient::HTTPClient(const std::string& url) : baseURL_(url) {
    auto [origin, path] = splitOrigin(url);
    if (!path.empty() && path.back() != '/') baseURL_ += "/";
    setDefaultHeader("Accept-Language", defaultAcceptLanguage());
    setDefaultHeader("User-Agent", defaultUserAgent());
}

std::string HTTPClient::defaultValueForHeader(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (const auto& [fieldName, value] : defaultHeaders_) {
        if (HTTPHeaderNamesEqual(fieldName, name)) return value;
    }
    return {};
}

void HTTPClient::setDefaultHeader(const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex_);
    std::erase_if(defaultHeaders_,
                  [&](const auto& field) { return HTTPHeaderNamesEqual(field.first, name); });
    if (!value.empty()) defaultHeaders_.emplace_back(name, value);
}

void HTTPClient::setBandwidthLimiter(std::shared_ptr<HTTPBandwidthLimiter> limiter) {
    std::lock_guard lock(mutex_);
    limiter_ = std::move(limiter);
}

std::string HTTPClient::URLForPath(const std::string& path) const {
    if (path.empty()) return baseURL_;
    if (path.find("://") != std::string::npos) return path;
    if (path.front() == '/') return splitOrigin(baseURL_).first + path;
    auto [origin, basePath] = splitOrigin(baseURL_);
    return origin + (basePath.empty() ? "/" : basePath) + path;
}

void HTTPClient::setAdditionalAuthorities(
    std::shared_ptr<const HTTPCertificateAuthorities> authorities) {
    std::lock_guard lock(mutex_);
    additionalAuthorities_ = std::move(authorities);
}

HTTPRequest HTTPClient::requestWithMethod(const std::string& method,
                                          const std::string& path) const {
    HTTPRequest request(method, URLForPath(path));
    std::lock_guard lock(mutex_);
    request.setAdditionalAuthorities(additionalAuthorities_);
    for (const auto& [name, value] : defaultHeaders_) {
        request.setValueForHTTPHeaderField(value, name);
    }
    return request;
}

HTTPRequest HTTPClient::multipartFormRequestWithMethod(
    const std::string& method, const std::string& path,
    const std::function<void(HTTPMultipartFormData&)>& constructingBody) const {
    HTTPRequest request = requestWithMethod(method, path);
    HTTPMultipartFormData formData(kMultipartBoundary);
    if (constructingBody) constructingBody(formData);
    HTTPRequestBody body = formData.finishedBody();
    request.setValueForHTTPHeaderField(
        fmt::format("multipart/form-data; boundary={}", formData.boundary()), "Content-Type");
    request.setValueForHTTPHeaderField(fmt::format("{}", body.size()), "Content-Length");
    request.setBody(std::move(body));
    return request;
}

std::shared_ptr<HTTPRequestOperation> HTTPClient::HTTPRequestOperationWithRequest(
    HTTPRequest request, HTTPRequestOperation::Success success,
    HTTPRequestOperation::Failure failure) const {
    auto operation = std::make_shared<HTTPRequestOperation>(std::move(request));
    operation->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
    return operation;
}

void HTTPClient::enqueueHTTPRequestOperation(
    const std::shared_ptr<HTTPRequestOperation>& operation) {
    {
        std::lock_guard lock(mutex_);
        if (limiter_ && !operation->bandwidthLimiter()) operation->setBandwidthLimiter(limiter_);
    }
    HTTPNetworkThread& network = HTTPNetworkThread::shared();
    std::weak_ptr<HTTPRequestOperation> weak = operation;
    operation->setCancelHandler([&network, weak] {
        if (auto strong = weak.lock()) network.cancel(std::move(strong));
    });
    network.start(operation);
}

std::string HTTPClient::acceptLanguageForLanguages(const std::vector<std::string>& languages) {
    std::string header;
    for (size_t i = 0; i < languages.size(); ++i) {
        int tenths = 10 - static_cast<int>(i);
        double q = tenths / 10.0;
        if (!header.empty()) header += ", ";
        header += fmt::format("{};q={:.1g}", languages[i], q);
        if (tenths <= 5) break;
    }
    return header;
}

std::string HTTPClient::defaultAcceptLanguage() {
    std::vector<std::string> languages;
    auto add = [&](const std::string& locale) {
        std::string tag = languageTag(locale);
        if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end())
            languages.push_back(tag);
    };
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
        std::string all(list);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(':', start);
            if (end == std::string::npos) end = all.size();
            add(all.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (!languages.empty()) break;
        if (const char* value = std::getenv(name); value && *value) add(value);
    }
    if (languages.empty()) languages.push_back("en");
    return acceptLanguageForLanguages(languages);
}

std::string HTTPClient::defaultUserAgent() {
    utsname system{};
    std::string release = uname(&system) == 0 ? system.release : "unknown";
#ifdef VTR_VERSION
    const char* version = VTR_VERSION;
#else
    const char* version = "0";
#endif
    return asciiOnly(
        fmt::format("{}/{} (Linux {})", program_invocation_short_name, version, release));
}

}  // namespace vtr
