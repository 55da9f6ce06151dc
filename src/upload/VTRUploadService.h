// VTRUploadService: the upload operation's whole view of the recording service: the four remote
// calls and the request in flight, so that a cancel can interrupt it. Each call blocks the
// calling thread (an upload operation's worker) until it has an answer; currentOperation() may
// be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/VTRError.h"
#include "foundation/VTRValue.h"

namespace vtr {

class HTTPRequestOperation;

class VTRUploadService {
  public:
    virtual ~VTRUploadService() = default;

    // "ChunkSize": bytes per chunk. 0 with `error` filled on failure; 0 without an error when the
    // server's answer was empty or not a number.
    virtual int32_t chunkSizeError(VTRError* error) = 0;

    // "UploadChunk": the server's answer, the Base64 MD5 of the bytes it received, as it came:
    // a string, or the null marker for an empty answer. Nothing, with `error` filled, on failure.
    // The chunk (not null) is shared, never copied: a request may hold it beyond the call (the
    // SOAP client keeps its last request until the next call), and the caller must not change
    // those bytes while anyone else holds them.
    virtual std::optional<VTRValue> uploadChunk(const std::string& sessionID,
                                                const std::string& fileName,
                                                std::shared_ptr<const VTRBytes> bytes,
                                                uint64_t offset, VTRError* error) = 0;

    // "TryCloseFile": "Uploading", "Uploaded", "NotUploaded", "ServerException" or whatever else
    // the server says. Nothing with `error` filled on failure; nothing without an error when
    // the server's answer was empty.
    virtual std::optional<std::string> tryCloseFile(const std::string& fileName,
                                                    const std::string& sessionID,
                                                    VTRError* error) = 0;

    // "VerifyFile": true exactly when the server answered "true". False without an error for any
    // other answer; false with `error` filled (when given) on failure.
    virtual bool verifyFile(const std::string& fileName, const std::string& sessionID,
                            const std::string& checksum, VTRError* error) = 0;

    // The request in flight, or nullptr. Cancelling it makes the blocked call fail with the
    // cancelled-request error (NSURLErrorDomain -999).
    virtual std::shared_ptr<HTTPRequestOperation> currentOperation() = 0;
};

}  // namespace vtr
