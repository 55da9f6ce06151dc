#include "ControlClient.h"

#include <curl/curl.h>

#include <algorithm>

#include <fmt/format.h>

namespace vtr::cli {

namespace {

size_t appendToString(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const char* header) { list = curl_slist_append(list, header); }
};

}  // namespace

void ControlClient::CurlHandleDeleter::operator()(void* handle) const {
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

ControlClient::ControlClient(uint16_t port, std::chrono::milliseconds timeout)
    : port_(port), timeout_(timeout), handle_(curl_easy_init()) {}

ControlClient::~ControlClient() = default;

void* ControlClient::prepare(const std::string& url, char* errorText) {
    CURL* curl = static_cast<CURL*>(handle_.get());
    if (!curl) return nullptr;
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    // The daemon is on loopback: a proxy from the environment must never see these requests.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    return curl;
}

ControlClient::Reply ControlClient::send(std::string_view method, const std::string& path,
                                         const std::string& body) {
    Reply reply;
    std::string url = fmt::format("http://127.0.0.1:{}{}", port_, path);
    std::string methodText(method);
    char errorText[CURL_ERROR_SIZE] = "";
    CURL* curl = static_cast<CURL*>(prepare(url, errorText));
    if (!curl) {
        reply.failure = "could not set up an HTTP request";
        return reply;
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, methodText.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendToString);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);

    HeaderList headers;
    // The daemon's server does not do 100-continue; waiting for it would only add a pause.
    headers.add("Expect:");
    if (method == "PUT" || method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        if (!body.empty()) headers.add("Content-Type: application/json");
    } else if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);

    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        reply.connectionRefused = result == CURLE_COULDNT_CONNECT;
        reply.failure = errorText[0] ? errorText : curl_easy_strerror(result);
        reply.body.clear();
        return reply;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    reply.answered = true;
    reply.status = static_cast<int>(status);
    return reply;
}

ControlClient::Reply ControlClient::stream(const std::string& path,
                                           const std::function<bool(std::string_view)>& onData,
                                           std::chrono::milliseconds idleTimeout) {
    struct Sink {
        CURL* curl;
        const std::function<bool(std::string_view)>& onData;
        Reply& reply;
        bool stopped = false;
    };
    Reply reply;
    std::string url = fmt::format("http://127.0.0.1:{}{}", port_, path);
    char errorText[CURL_ERROR_SIZE] = "";
    CURL* curl = static_cast<CURL*>(prepare(url, errorText));
    if (!curl) {
        reply.failure = "could not set up an HTTP request";
        return reply;
    }
    Sink sink{curl, onData, reply};
    auto write = [](char* data, size_t size, size_t count, void* target) -> size_t {
        Sink& sink = *static_cast<Sink*>(target);
        long status = 0;
        curl_easy_getinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200) {
            sink.reply.body.append(data, size * count);
        } else if (!sink.onData(std::string_view(data, size * count))) {
            sink.stopped = true;
            return 0;
        }
        return size * count;
    };
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::max<int64_t>(1, idleTimeout.count() / 1000)));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK && !sink.stopped) {
        reply.connectionRefused = result == CURLE_COULDNT_CONNECT;
        reply.failure = errorText[0] ? errorText : curl_easy_strerror(result);
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    reply.answered = status != 0;
    reply.status = static_cast<int>(status);
    return reply;
}

std::string describeHTTPStatus(int status) {
    const char* reason = "";
    switch (status) {
        case 400:
            reason = " Bad Request";
            break;
        case 404:
            reason = " Not Found";
            break;
        case 405:
            reason = " Method Not Allowed";
            break;
        case 406:
            reason = " Not Acceptable";
            break;
        case 408:
            reason = " Request Timeout";
            break;
        case 413:
            reason = " Payload Too Large";
            break;
        case 500:
            reason = " Internal Server Error";
            break;
        case 503:
            reason = " Service Unavailable";
            break;
        default:
            break;
    }
    return fmt::format("{}{}", status, reason);
}

}  // namespace vtr::cli
