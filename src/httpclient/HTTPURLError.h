// The URL-loading errors ("NSURLErrorDomain") of failed transfers, with their usual English
// descriptions, and the mapping from libcurl's result codes to them. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/VTRError.h"

namespace vtr {

// The NSURLErrorDomain code for a libcurl CURLcode (passed as int to keep curl.h out).
int64_t NSURLErrorCodeForCurlResult(int curlCode);

// "The request timed out." and its siblings; -1 and unknown codes get a generic text.
std::string NSURLErrorDescription(int64_t code);

// An NSURLErrorDomain error with its description, the failing URL and, when given, the
// transport's own words under "NSDebugDescription".
VTRError NSURLError(int64_t code, const std::string& failingURL,
                    const std::string& debugDescription = {});

}  // namespace vtr
