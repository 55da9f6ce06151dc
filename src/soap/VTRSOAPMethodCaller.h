// VTRSOAPMethodCaller: the SOAP 1.1 client for one web service. It writes the request document,
// packs it as plain XML or, when a byte buffer is among the parameters, as an MTOM/XOP message,
// sends it through its HTTP client and turns the answer into a result dictionary or an error.
// Configure it on one thread before the first call; calls may then run on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/VTRError.h"
#include "foundation/VTRValue.h"
#include "httpclient/HTTPRequest.h"
#include "soap/VTRRemoteMethodCaller.h"

namespace vtr {

// The recording service's contract.
inline constexpr const char* VTRRecordingServiceNamespace = "http://tempuri.org/";
inline constexpr const char* VTRRecordingServiceExtension = "IWCFReceiver";

// Content ids of the MTOM parts: the root part is kMTOMContentIDBase + "/0", the attachment
// kMTOMContentIDBase + "/1".
inline constexpr const char* kMTOMContentIDBase = "http://tempuri.org/vantrel/mtom";

class VTRSOAPMethodCaller : public VTRRemoteMethodCaller {
  public:
    VTRSOAPMethodCaller(std::string soapNamespace, std::string soapNamespaceExtension);

    std::shared_ptr<HTTPRequestOperation> callRemoteMethod(
        const std::string& method, const std::vector<std::string>& parameterNames,
        VTRArray parameters, VTRRemoteSuccess success, VTRRemoteFailure failure) override;

    std::string servicePath() const override;
    void setServicePath(std::string path) override;
    std::shared_ptr<HTTPClient> client() const override;
    void setClient(std::shared_ptr<HTTPClient> client) override;
    HTTPCallbackQueue callbackQueue() const override;
    void setCallbackQueue(HTTPCallbackQueue queue) override;

    // The idle time-out given to each request; injectable for tests.
    std::chrono::milliseconds requestTimeoutInterval() const { return requestTimeout_; }
    void setRequestTimeoutInterval(std::chrono::milliseconds interval) {
        requestTimeout_ = interval;
    }

    bool logSoap() const { return logSoap_; }
    void setLogSoap(bool on) { logSoap_ = on; }
    const std::string& soapNamespace() const { return soapNamespace_; }
    const std::string& soapNamespaceExtension() const { return soapNamespaceExtension_; }

    // Namespace, extension and method joined by single slashes; without a method the result
    // ends in one "/".
    static std::string combineNamespace(const std::string& ns, const std::string* extension,
                                        const std::string* method);
    // Position of the last byte buffer among `parameters`, or -1.
    static int64_t bufferIndex(const VTRArray& parameters);
    // The whole request document, prolog included, on one line.
    std::string createSOAPBody(const std::string& method,
                               const std::vector<std::string>& parameterNames,
                               const VTRArray& parameters, int64_t bufferIndex) const;
    // The XML text of one value, or nothing for a kind that has none (bytes, null, bool).
    static std::optional<std::string> serializeObject(const VTRValue& value);
    static std::string serializeCharacters(const std::string& text);

    // The HTTP request for a document: plain XML without `buffer`, MTOM with it. `buffer`
    // is sent from `owner`'s storage without a copy.
    HTTPRequest requestWithEnvelope(const std::string& envelope, std::shared_ptr<const void> owner,
                                    const VTRBytes* buffer, const std::string& soapMethod) const;

    // The bytes of the XML part of a response body: the whole body without a boundary, else
    // the first part's content. A body too short for its framing gives nothing.
    static std::optional<std::string> bodyDataFromResponse(
        const std::string& body, const std::optional<std::string>& boundary);
    // The result dictionary (one entry "response"), or nothing with "Vantrel" 87.
    static std::optional<VTRDictionary> soapResultsFromData(
        const std::string& body, const std::string& method,
        const std::optional<std::string>& boundary, bool logSoap, VTRError* error);

  private:
    std::string soapNamespace_;
    std::string soapNamespaceExtension_;
    bool logSoap_ = false;
    std::chrono::milliseconds requestTimeout_ = HTTPRequest::kDefaultTimeoutInterval;
    mutable std::mutex mutex_;  // guards the three below
    std::string servicePath_;
    std::shared_ptr<HTTPClient> client_;
    HTTPCallbackQueue callbackQueue_;
};

}  // namespace vtr
