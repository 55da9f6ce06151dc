// VTRError: a failure as the rest of the system sees it: a domain, an integer code and a
// details dictionary (description, failure reason, wrapped inner error, server error code...).
// Plain value type; copy freely, read from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/VTRValue.h"

namespace vtr {

// Error domains.
inline constexpr const char* VTRErrorDomain = "Vantrel";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* AFNetworkingErrorDomain = "AFNetworkingErrorDomain";

// Detail keys.
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* VTRInnerErrorKey = "innererrorkey";
inline constexpr const char* VTRFileNameKey = "filenamekey";
inline constexpr const char* VTRSessionIDKey = "sessionidkey";
inline constexpr const char* VTRInnerExceptionKey = "innerexceptionkey";
inline constexpr const char* VTRLocalHashKey = "localhashkey";
inline constexpr const char* VTRServerHashKey = "serverhashkey";
inline constexpr const char* VTRCloseFileResultKey = "closefileresultkey";
inline constexpr const char* VTRErrorStreamStatusKey = "ErrorStreamStatus";
inline constexpr const char* VTRServerErrorCodeKey = "X-VTRErrorCode";
inline constexpr const char* VTRResponseBodyKey = "responsebodykey";
inline constexpr const char* VTRConflictListKey = "conflictList";

// Codes of the "Vantrel" domain.
enum VTRErrorCode : int64_t {
    VTRErrorCodeFileMissing = 78,
    VTRErrorCodeCloseFailed = 79,
    VTRErrorCodeChunkSizeUnavailable = 80,
    VTRErrorCodeChunkNotAccepted = 83,
    VTRErrorCodeFileReadFailed = 84,
    VTRErrorCodeResponseUnusable = 87,
    VTRErrorCodeTimedOut = 88,
    VTRErrorCodeChecksumNotConfirmed = 95,
};

// Codes of "NSURLErrorDomain" that the system produces or tests for.
enum NSURLErrorCode : int64_t {
    NSURLErrorUnknown = -1,
    NSURLErrorCancelled = -999,
    NSURLErrorBadURL = -1000,
    NSURLErrorTimedOut = -1001,
    NSURLErrorUnsupportedURL = -1002,
    NSURLErrorCannotFindHost = -1003,
    NSURLErrorCannotConnectToHost = -1004,
    NSURLErrorNetworkConnectionLost = -1005,
    NSURLErrorDNSLookupFailed = -1006,
    NSURLErrorNotConnectedToInternet = -1009,
    NSURLErrorBadServerResponse = -1011,
    NSURLErrorSecureConnectionFailed = -1200,
    NSURLErrorServerCertificateUntrusted = -1202,
};

// Codes of "NSCocoaErrorDomain" that the store produces.
enum NSCocoaErrorCode : int64_t {
    NSValidationMultipleErrorsError = 1560,
    NSValidationMissingMandatoryPropertyError = 1570,
    NSManagedObjectMergeError = 133020,
};

class VTRError {
  public:
    VTRError() = default;
    VTRError(std::string domain, int64_t code, VTRDictionary userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    // An error carrying a description and, when non-empty, a failure reason.
    static VTRError withDescription(std::string domain, int64_t code, std::string description,
                                    std::string failureReason = {});

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const VTRDictionary& userInfo() const { return userInfo_; }
    VTRDictionary& mutableUserInfo() { return userInfo_; }

    // The description key's text, else "The operation couldn't be completed. (DOMAIN error CODE.)".
    std::string localizedDescription() const;
    // The failure-reason key's text, else empty.
    std::string localizedFailureReason() const;
    // The error wrapped under "innererrorkey", or nullptr.
    const VTRError* innerError() const;

    // What a log line shows for %@: "Error Domain=D Code=C "description" UserInfo={...}".
    std::string description() const;

    bool operator==(const VTRError&) const = default;

  private:
    std::string domain_;
    int64_t code_ = 0;
    VTRDictionary userInfo_;
};

// Fill an optional error out-parameter.
inline void setError(VTRError* out, VTRError error) {
    if (out) *out = std::move(error);
}

}  // namespace vtr
