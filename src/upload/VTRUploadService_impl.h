// VTRUploadService_impl: the upload service over the SOAP client: each call hands the method and
// its parameters to a synchronous caller and turns the result into a plain value or an error.
// Its own verifyFile() confirms without asking the server (VTRUploadServiceWithVerify asks).
// One operation thread makes the calls; currentOperation() may be read from any thread.
#pragma once

#include <memory>
#include <string>

#include "upload/VTRUploadService.h"

namespace vtr {

class HTTPBandwidthLimiter;
class HTTPCertificateAuthorities;
class VTRMetrics;
class VTRRemoteMethodCaller_sync;

class VTRUploadService_impl : public VTRUploadService {
  public:
    // How requests reach the recording service beyond its URL.
    struct Transport {
        // Trusted besides the system's store (nullptr: the system's store alone).
        std::shared_ptr<const HTTPCertificateAuthorities> authorities;
        // Request bodies take their bytes from this bucket (nullptr: unlimited).
        std::shared_ptr<HTTPBandwidthLimiter> limiter;
    };
    // The SOAP caller chain for the recording service at `endpoint`; requests go to that URL.
    explicit VTRUploadService_impl(const std::string& endpoint, Transport transport = {});
    // Over a caller made elsewhere (tests point it at their own servers and time-outs).
    explicit VTRUploadService_impl(std::unique_ptr<VTRRemoteMethodCaller_sync> caller);
    ~VTRUploadService_impl() override;

    int32_t chunkSizeError(VTRError* error) override;
    std::optional<VTRValue> uploadChunk(const std::string& sessionID, const std::string& fileName,
                                        std::shared_ptr<const VTRBytes> bytes, uint64_t offset,
                                        VTRError* error) override;
    std::optional<std::string> tryCloseFile(const std::string& fileName,
                                            const std::string& sessionID, VTRError* error) override;
    bool verifyFile(const std::string& fileName, const std::string& sessionID,
                    const std::string& checksum, VTRError* error) override;
    std::shared_ptr<HTTPRequestOperation> currentOperation() override;

    VTRRemoteMethodCaller_sync& caller() const { return *caller_; }
    // Where every call is counted by method and outcome; set before the first call.
    void setMetrics(std::shared_ptr<VTRMetrics> metrics) { metrics_ = std::move(metrics); }

  protected:
    // Calls `method` and waits; the "response" value on success (the null marker when the
    // server's result element was empty or missing), nothing with `error` filled on failure.
    std::optional<VTRValue> call(const std::string& method, const std::vector<std::string>& names,
                                 VTRArray parameters, VTRError* error);

  private:
    std::unique_ptr<VTRRemoteMethodCaller_sync> caller_;
    std::shared_ptr<VTRMetrics> metrics_;
};

}  // namespace vtr
