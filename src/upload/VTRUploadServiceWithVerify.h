// VTRUploadServiceWithVerify: the upload service the job service uses: VTRUploadService_impl
// whose verifyFile() asks the server to compare the whole file's checksum ("VerifyFile").
// Same threading as its base.
#pragma once

#include "upload/VTRUploadService_impl.h"

namespace vtr {

class VTRUploadServiceWithVerify : public VTRUploadService_impl {
  public:
    using VTRUploadService_impl::VTRUploadService_impl;

    bool verifyFile(const std::string& fileName, const std::string& sessionID,
                    const std::string& checksum, VTRError* error) override;
};

}  // namespace vtr
