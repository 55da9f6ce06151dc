#include "foundation/VTRErrorAdditions.h"

namespace vtr {

namespace {

bool isCancelError(const VTRError& error) {
    return error.domain() == NSURLErrorDomain && error.code() == NSURLErrorCancelled;
}

bool isNetworkError(const VTRError& error) {
    if (error.domain() != NSURLErrorDomain) return false;
    switch (error.code()) {
        // 1, 302 and 306 have no URL-loading name but count as connectivity failures too.
        case 1:
        case 302:
        case 306:
        case NSURLErrorTimedOut:
        case NSURLErrorCannotFindHost:
        case NSURLErrorCannotConnectToHost:
        case NSURLErrorNetworkConnectionLost:
        case NSURLErrorDNSLookupFailed:
        case NSURLErrorNotConnectedToInternet:
            return true;
        default:
            return false;
    }
}

// The error itself, or the error a "Vantrel" error wraps: one level, never deeper.
template <typename Test>
bool matchesAtMostOneLevelDown(const VTRError& error, Test test) {
    if (test(error)) return true;
    if (error.domain() != VTRErrorDomain) return false;
    const VTRValue* inner = find(error.userInfo(), VTRInnerErrorKey);
    return inner && inner->isError() && test(*inner->errorValue());
}

}  // namespace

bool isCancelledOperationError(const VTRError& error) {
    return matchesAtMostOneLevelDown(error, isCancelError);
}

bool isNetworkConnectivityError(const VTRError& error) {
    return matchesAtMostOneLevelDown(error, isNetworkError);
}

}  // namespace vtr
