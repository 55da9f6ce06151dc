#include "upload/VTRUploadServiceWithVerify.h"

namespace vtr {

bool VTRUploadServiceWithVerify::verifyFile(const std::string& fileName,
                                            const std::string& sessionID,
                                            const std::string& checksum, VTRError* error) {
    std::optional<VTRValue> response =
        call("VerifyFile", {"sessionID", "fileName", "checksum"},
             {VTRValue(sessionID), VTRValue(fileName), VTRValue(checksum)}, error);
    return response && response->isString() && response->stringValue() == "true";
}

}  // namespace vtr
