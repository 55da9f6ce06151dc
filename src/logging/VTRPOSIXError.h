// Turns an errno value from a failed system call into a VTRError in "NSPOSIXErrorDomain", with
// the system's text as description and the path concerned under "NSFilePath". Any thread.
#pragma once

#include <cstring>
#include <string>

#include "foundation/VTRError.h"

namespace vtr {

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";

inline VTRError posixError(int errnum, const std::string& path = {}) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    VTRError error = VTRError::withDescription(NSPOSIXErrorDomain, errnum,
                                               strerror_r(errnum, buffer, sizeof buffer));
    if (!path.empty()) error.mutableUserInfo()["NSFilePath"] = path;
    return error;
}

}  // namespace vtr
