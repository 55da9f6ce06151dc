#include "httpclient/HTTPNetworkThread.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "httpclient/HTTPBandwidthLimiter.h"
#include "httpclient/HTTPCertificateAuthorities.h"
#include "httpclient/HTTPRequestOperation.h"
#include "httpclient/HTTPURLError.h"

namespace vtr {

namespace {

// Sized so a multi-megabyte chunk goes out in few read calls without holding much per transfer.
constexpr long kUploadBufferSize = 512 * 1024;
// No answer of the recording service comes near this; a longer body is a fault or an attack, and
// must not grow the daemon's memory without bound.
constexpr size_t kMaxResponseBodySize = size_t{16} * 1024 * 1024;
// Only the web's own schemes: curl would otherwise let a job's URL, or a redirect, speak gopher,
// telnet, smtp or file and send chosen bytes to any port.
constexpr const char* kAllowedProtocols = "http,https";

std::string trimmed(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// One transfer in flight: the operation, what it sends and what came back so far.
struct Transfer {
    std::shared_ptr<HTTPRequestOperation> operation;
    std::shared_ptr<const HTTPRequestBody> body;
    uint64_t bodyOffset = 0;
    curl_slist* headerList = nullptr;
    std::chrono::milliseconds idleTimeout{0};
    // The bucket the body's bytes come from, or nullptr; and whether the transfer is paused
    // because the bucket was empty. A paused transfer is not idle.
    HTTPBandwidthLimiter* limiter = nullptr;
    bool throttled = false;
    // The last time bytes moved either way (or a pause for the bucket ended); the idle
    // time-out counts from here.
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastProgress = -1;
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    std::string responseBody;
    bool responseTooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    ~Transfer() { curl_slist_free_all(headerList); }
};

size_t readBody(char* out, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    size_t wanted = size * count;
    uint64_t left = transfer->body->size() - std::min(transfer->bodyOffset, transfer->body->size());
    if (transfer->limiter && left > 0) {
        wanted = transfer->limiter->take(static_cast<size_t>(std::min<uint64_t>(wanted, left)));
        if (wanted == 0) {
            transfer->throttled = true;
            transfer->operation->setThrottled(true);
            return CURL_READFUNC_PAUSE;
        }
    }
    size_t copied =
        transfer->body->read(transfer->bodyOffset, reinterpret_cast<uint8_t*>(out), wanted);
    transfer->bodyOffset += copied;
    return copied;
}

// Lets curl resend the body when a reused keep-alive connection turns out to be dead.
int seekBody(void* userData, curl_off_t offset, int origin) {
    auto* transfer = static_cast<Transfer*>(userData);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > transfer->body->size())
        return CURL_SEEKFUNC_CANTSEEK;
    transfer->bodyOffset = static_cast<uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

int progress(void* userData, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(userData);
    if (downloaded + uploaded != transfer->lastProgress) {
        transfer->lastProgress = downloaded + uploaded;
        transfer->lastActivity = std::chrono::steady_clock::now();
    }
    return 0;
}

size_t writeBody(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    if (transfer->responseBody.size() + size * count > kMaxResponseBodySize) {
        transfer->responseTooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    transfer->responseBody.append(data, size * count);
    return size * count;
}

size_t writeHeader(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new status line (after 100 Continue, for one) starts a new header block.
        transfer->responseHeaders.clear();
    } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
        transfer->responseHeaders.emplace_back(trimmed(line.substr(0, colon)),
                                               trimmed(line.substr(colon + 1)));
    }
    return size * count;
}

// curl's hook on each new TLS connection's OpenSSL context: adds the request's authorities to the
// system's, which curl has loaded into the context's store by then.
CURLcode addAuthorities(CURL*, void* context, void* authorities) {
    static_cast<const HTTPCertificateAuthorities*>(authorities)
        ->addToStore(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context)));
    return CURLE_OK;
}

// Makes `handle` trust `authorities` besides the system's store; false when curl's TLS library
// offers no way to.
bool trustAuthorities(CURL* handle, const HTTPCertificateAuthorities& authorities) {
    // curl keeps one store of the system's authorities for all transfers; this transfer's
    // additions must not end up in it, so this one builds a store of its own.
    curl_easy_setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    return curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, addAuthorities) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &authorities) == CURLE_OK;
}

}  // namespace

struct HTTPNetworkThread::Impl {
    CURLM* multi = nullptr;
    std::mutex mutex;  // guards the three below
    std::vector<std::shared_ptr<HTTPRequestOperation>> starting;
    std::vector<std::shared_ptr<HTTPRequestOperation>> cancelling;
    bool stopping = false;
    // Touched by the network thread only.
    std::map<CURL*, std::unique_ptr<Transfer>> transfers;
    std::thread thread;

    void run();
    void begin(const std::shared_ptr<HTTPRequestOperation>& operation);
    void end(CURL* handle, std::optional<VTRError> error);
    // Lets paused transfers go on once their bucket has refilled; returns how long until the
    // next of those still paused may go on (at most `longest`).
    std::chrono::milliseconds resumeThrottledTransfers(std::chrono::milliseconds longest);
    void endIdleTransfers();
    CURL* handleFor(const HTTPRequestOperation* operation) const;
};

HTTPNetworkThread& HTTPNetworkThread::shared() {
    static HTTPNetworkThread instance;
    return instance;
}

HTTPNetworkThread::HTTPNetworkThread() : impl_(std::make_unique<Impl>()) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    impl_->multi = curl_multi_init();
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

HTTPNetworkThread::~HTTPNetworkThread() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    curl_multi_wakeup(impl_->multi);
    impl_->thread.join();
    for (auto& [handle, transfer] : impl_->transfers) {
        curl_multi_remove_handle(impl_->multi, handle);
        curl_easy_cleanup(handle);
    }
    impl_->transfers.clear();
    curl_multi_cleanup(impl_->multi);
}

void HTTPNetworkThread::start(std::shared_ptr<HTTPRequestOperation> operation) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->starting.push_back(std::move(operation));
    }
    curl_multi_wakeup(impl_->multi);
}

void HTTPNetworkThread::cancel(std::shared_ptr<HTTPRequestOperation> operation) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->cancelling.push_back(std::move(operation));
    }
    curl_multi_wakeup(impl_->multi);
}

void HTTPNetworkThread::Impl::run() {
    pthread_setname_np(pthread_self(), "AFNetworking");
    while (true) {
        std::vector<std::shared_ptr<HTTPRequestOperation>> toStart;
        std::vector<std::shared_ptr<HTTPRequestOperation>> toCancel;
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            toStart.swap(starting);
            toCancel.swap(cancelling);
        }
        for (const auto& operation : toStart) begin(operation);
        for (const auto& operation : toCancel) {
            if (CURL* handle = handleFor(operation.get())) {
                end(handle, NSURLError(NSURLErrorCancelled, operation->request().URL()));
            }
        }

        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* handle = message->easy_handle;
            CURLcode result = message->data.result;
            if (result == CURLE_OK) {
                end(handle, std::nullopt);
            } else if (const Transfer& transfer = *transfers.at(handle);
                       transfer.responseTooLarge) {
                end(handle,
                    NSURLError(NSURLErrorBadServerResponse, transfer.operation->request().URL(),
                               "The response body exceeds the maximum of " +
                                   std::to_string(kMaxResponseBodySize) + " bytes"));
            } else {
                std::string detail =
                    transfer.errorBuffer[0] ? transfer.errorBuffer : curl_easy_strerror(result);
                end(handle, NSURLError(NSURLErrorCodeForCurlResult(result),
                                       transfer.operation->request().URL(), detail));
            }
        }
        // Short enough to notice an idle transfer soon after its time-out.
        std::chrono::milliseconds wait(transfers.empty() ? 1000 : 100);
        wait = resumeThrottledTransfers(wait);
        endIdleTransfers();
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
}

std::chrono::milliseconds HTTPNetworkThread::Impl::resumeThrottledTransfers(
    std::chrono::milliseconds longest) {
    auto now = std::chrono::steady_clock::now();
    std::vector<CURL*> ready;
    for (const auto& [handle, transfer] : transfers) {
        if (!transfer->throttled) continue;
        auto wait = transfer->limiter->waitTime(now);
        if (wait <= std::chrono::steady_clock::duration::zero()) {
            ready.push_back(handle);
        } else {
            // Rounded up, so the next look finds the bucket refilled.
            longest = std::min(longest, std::chrono::ceil<std::chrono::milliseconds>(wait));
        }
    }
    // All of them go on together and share what the bucket holds; curl may call readBody (and
    // so pause one again) from within curl_easy_pause.
    for (CURL* handle : ready) {
        Transfer& transfer = *transfers.at(handle);
        transfer.throttled = false;
        transfer.operation->setThrottled(false);
        transfer.lastActivity = now;
        curl_easy_pause(handle, CURLPAUSE_CONT);
    }
    return ready.empty() ? longest : std::chrono::milliseconds(0);
}

void HTTPNetworkThread::Impl::endIdleTransfers() {
    auto now = std::chrono::steady_clock::now();
    std::vector<CURL*> idle;
    for (const auto& [handle, transfer] : transfers) {
        if (transfer->throttled) continue;
        if (now - transfer->lastActivity >= transfer->idleTimeout) idle.push_back(handle);
    }
    for (CURL* handle : idle) {
        end(handle, NSURLError(NSURLErrorTimedOut, transfers.at(handle)->operation->request().URL(),
                               "no data sent or received within the request's time-out"));
    }
}

CURL* HTTPNetworkThread::Impl::handleFor(const HTTPRequestOperation* operation) const {
    for (const auto& [handle, transfer] : transfers) {
        if (transfer->operation.get() == operation) return handle;
    }
    return nullptr;
}

void HTTPNetworkThread::Impl::begin(const std::shared_ptr<HTTPRequestOperation>& operation) {
    const HTTPRequest& request = operation->request();
    if (operation->isCancelled()) {
        operation->finish(nullptr, {}, NSURLError(NSURLErrorCancelled, request.URL()));
        return;
    }
    CURL* handle = curl_easy_init();
    if (!handle) {
        operation->finish(nullptr, {}, NSURLError(NSURLErrorUnknown, request.URL()));
        return;
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->operation = operation;
    transfer->body = request.sharedBody();
    transfer->limiter = operation->bandwidthLimiter().get();
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
        // "Name;" is curl's way to send a header with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        transfer->headerList = curl_slist_append(transfer->headerList, line.c_str());
    }
    // Never wait for a "100 Continue" the server may not send.
    transfer->headerList = curl_slist_append(transfer->headerList, "Expect:");

    long timeoutMs = std::max(1L, static_cast<long>(request.timeoutInterval().count()));
    transfer->idleTimeout = std::chrono::milliseconds(timeoutMs);

    curl_easy_setopt(handle, CURLOPT_URL, request.URL().c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, transfer->headerList);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, transfer.get());
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, writeHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, transfer.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(handle, CURLOPT_PRIVATE, transfer.get());
    if (request.additionalAuthorities() &&
        !trustAuthorities(handle, *request.additionalAuthorities())) {
        curl_easy_cleanup(handle);
        operation->finish(
            nullptr, {},
            NSURLError(NSURLErrorUnknown, request.URL(),
                       "the TLS library takes no additional certificate authorities"));
        return;
    }
    if (request.HTTPMethod() == "GET" && transfer->body->empty()) {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(transfer->body->size()));
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(handle, CURLOPT_READDATA, transfer.get());
        curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekBody);
        curl_easy_setopt(handle, CURLOPT_SEEKDATA, transfer.get());
        curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        if (request.HTTPMethod() != "POST") {
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.HTTPMethod().c_str());
        }
    }
    transfers.emplace(handle, std::move(transfer));
    curl_multi_add_handle(multi, handle);
}

void HTTPNetworkThread::Impl::end(CURL* handle, std::optional<VTRError> error) {
    auto node = transfers.extract(handle);
    std::unique_ptr<Transfer> transfer = std::move(node.mapped());
    transfer->operation->setThrottled(false);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    char* effectiveURL = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effectiveURL);
    curl_multi_remove_handle(multi, handle);

    std::shared_ptr<const HTTPURLResponse> response;
    if (status > 0) {
        response = std::make_shared<const HTTPURLResponse>(
            effectiveURL ? effectiveURL : transfer->operation->request().URL(),
            static_cast<int>(status), std::move(transfer->responseHeaders));
    }
    curl_easy_cleanup(handle);
    transfer->operation->finish(std::move(response), std::move(transfer->responseBody),
                                std::move(error));
}

}  // namespace vtr
