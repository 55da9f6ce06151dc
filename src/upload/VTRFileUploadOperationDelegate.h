// VTRFileUploadOperationDelegate: how an upload operation reports every step of its work (the job
// service implements it and turns the reports into stored job state). Every message arrives on
// the operation's delivery run loop (the main run loop), in the order the operation sent them.
// File arguments are the file's "FILE_LOCAL_PATH"; recording arguments the operation's
// recordingId.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "foundation/VTRError.h"

namespace vtr {

class VTRFileUploadOperation;

class VTRFileUploadOperationDelegate {
  public:
    virtual ~VTRFileUploadOperationDelegate() = default;

    // A chunk was accepted; `bytes` is the file's new uploaded total, not the chunk's length.
    virtual void operationUploadedBytes(VTRFileUploadOperation& operation, uint64_t bytes,
                                        const std::string& file, const std::string& recording) = 0;
    // A read failed or a chunk's retry cycle ended unaccepted; `offset` is the chunk's offset.
    virtual void operationFailedToUploadBytesAtOffset(VTRFileUploadOperation& operation,
                                                      uint64_t offset, const std::string& file,
                                                      const std::string& recording,
                                                      const VTRError& error) = 0;
    // The server reported the file uploaded, or it was already closed.
    virtual void operationClosedFile(VTRFileUploadOperation& operation, const std::string& file,
                                     const std::string& recording) = 0;
    virtual void operationFailedToCloseFile(VTRFileUploadOperation& operation,
                                            const std::string& file, const std::string& recording,
                                            const VTRError& error) = 0;
    // A file is missing, unreadable or cannot be opened; or, with no file, the chunk size could
    // not be obtained.
    virtual void operationFailedToInitializeUploadOfFile(VTRFileUploadOperation& operation,
                                                         const std::optional<std::string>& file,
                                                         const std::string& recording,
                                                         const VTRError& error) = 0;
    // The operation's run has ended, whatever the outcome. Sent exactly once per run.
    virtual void fileUploadOperationCompleted(VTRFileUploadOperation& operation,
                                              const std::string& recording) = 0;
    // The file is being uploaded again from offset 0.
    virtual void operationRestartedUploadOfFile(VTRFileUploadOperation& operation,
                                                const std::string& file,
                                                const std::string& recording,
                                                const VTRError& error) = 0;
    // The whole-file checksum failed for good, or verification ended in error.
    virtual void operationFailedToVerifyFile(VTRFileUploadOperation& operation,
                                             const std::string& file, const std::string& recording,
                                             const VTRError& error) = 0;
};

}  // namespace vtr
