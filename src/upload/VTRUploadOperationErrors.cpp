#include "upload/VTRUploadOperationErrors.h"

#include "foundation/VTRLocalizedString.h"
#include "foundation/VTRStreamAdditions.h"
#include "foundation/VTRValue.h"

namespace vtr {

namespace {

VTRError fileOpenError(const std::string& path, const VTRError& cause) {
    return VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                    {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorTitle()},
                     {NSLocalizedFailureReasonErrorKey,
                      VTRFormatLocalized(VTRLocalizedString::stringFileOpenFail(), {path})},
                     {VTRFileNameKey, path},
                     {VTRInnerExceptionKey, VTRValue(cause)}});
}

}  // namespace

std::string detailsDescription(const VTRError& error) {
    return VTRValue(error.userInfo()).description();
}

VTRError notRegularFileError(const std::string& path) {
    return VTRError(VTRErrorDomain, VTRErrorCodeFileReadFailed,
                    {{NSLocalizedDescriptionKey, VTRLocalizedString::stringFileErrorTitle()},
                     {NSLocalizedFailureReasonErrorKey, "\"" + path + "\" is not a regular file"},
                     {VTRFileNameKey, path}});
}

VTRError streamOpenError(const VTRFileInputStream& stream, const VTRError& cause) {
    return stream.notRegularFile() ? notRegularFileError(stream.path())
                                   : fileOpenError(stream.path(), cause);
}

}  // namespace vtr
