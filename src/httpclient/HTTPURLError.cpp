#include "httpclient/HTTPURLError.h"

#include <curl/curl.h>

namespace vtr {

int64_t NSURLErrorCodeForCurlResult(int curlCode) {
    switch (static_cast<CURLcode>(curlCode)) {
        case CURLE_OPERATION_TIMEDOUT:
            return NSURLErrorTimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return NSURLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return NSURLErrorCannotConnectToHost;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_FAIL_REWIND:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return NSURLErrorNetworkConnectionLost;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CLIENTCERT:
            return NSURLErrorSecureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return NSURLErrorServerCertificateUntrusted;
        case CURLE_ABORTED_BY_CALLBACK:
            return NSURLErrorCancelled;
        default:
            return NSURLErrorUnknown;
    }
}

std::string NSURLErrorDescription(int64_t code) {
    switch (code) {
        case NSURLErrorCancelled:
            return "cancelled";
        case NSURLErrorTimedOut:
            return "The request timed out.";
        case NSURLErrorCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case NSURLErrorCannotConnectToHost:
            return "Could not connect to the server.";
        case NSURLErrorNetworkConnectionLost:
            return "The network connection was lost.";
        case NSURLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case NSURLErrorServerCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case NSURLErrorBadServerResponse:
            return "The server's response could not be used.";
        default:
            return "An unknown error occurred.";
    }
}

VTRError NSURLError(int64_t code, const std::string& failingURL,
                    const std::string& debugDescription) {
    VTRDictionary info{
        {NSLocalizedDescriptionKey, NSURLErrorDescription(code)},
        {"NSErrorFailingURLStringKey", failingURL},
    };
    // The transport's own words ("SSL certificate problem: ...") are what tells a person why a
    // call keeps failing, so they travel as the failure reason too.
    if (!debugDescription.empty()) {
        info["NSDebugDescription"] = debugDescription;
        info[NSLocalizedFailureReasonErrorKey] = debugDescription;
    }
    return VTRError(NSURLErrorDomain, code, std::move(info));
}

}  // namespace vtr
