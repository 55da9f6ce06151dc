#include <gtest/gtest.h>

#include <functional>
#include <mutex>

#include "foundation/VTRDispatch.h"
#include "httpclient/HTTPClient.h"
#include "httpclient/HTTPRequestOperation.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "upload/VTRUploadServiceWithVerify.h"

namespace vtr {
namespace {

// Plays the asynchronous SOAP caller: records each call and answers it from the global queue,
// as the real one does, with a result element's text (or the null marker) or an error.
class ScriptedRemoteCaller : public VTRRemoteMethodCaller {
  public:
    struct Call {
        std::string method;
        std::vector<std::string> names;
        VTRArray parameters;
    };

    std::optional<VTRValue> response = VTRValue("");
    std::optional<VTRError> failure;

    std::shared_ptr<HTTPRequestOperation> callRemoteMethod(
        const std::string& method, const std::vector<std::string>& names, VTRArray parameters,
        VTRRemoteSuccess success, VTRRemoteFailure failureCallback) override {
        {
            std::lock_guard lock(mutex);
            calls.push_back({method, names, std::move(parameters)});
        }
        auto operation =
            std::make_shared<HTTPRequestOperation>(HTTPRequest("POST", "http://127.0.0.1/"));
        lastOperation = operation;
        std::optional<VTRError> error = failure;
        VTRDictionary results{{"response", response.value_or(VTRValue())}};
        dispatchGlobal([=] {
            if (error)
                failureCallback(*error, nullptr);
            else
                success(results, nullptr);
        });
        return operation;
    }

    std::string servicePath() const override { return path; }
    void setServicePath(std::string newPath) override { path = std::move(newPath); }
    std::shared_ptr<HTTPClient> client() const override { return httpClient; }
    void setClient(std::shared_ptr<HTTPClient> client) override { httpClient = std::move(client); }
    HTTPCallbackQueue callbackQueue() const override { return queue; }
    void setCallbackQueue(HTTPCallbackQueue newQueue) override { queue = std::move(newQueue); }

    std::mutex mutex;
    std::vector<Call> calls;
    std::shared_ptr<HTTPRequestOperation> lastOperation;
    std::string path;
    std::shared_ptr<HTTPClient> httpClient;
    HTTPCallbackQueue queue;
};

// A service of type S over a scripted caller, and that caller.
template <typename S>
std::pair<std::unique_ptr<S>, ScriptedRemoteCaller*> overScript() {
    auto scripted = std::make_unique<ScriptedRemoteCaller>();
    ScriptedRemoteCaller* remote = scripted.get();
    return {std::make_unique<S>(std::make_unique<VTRRemoteMethodCaller_sync>(std::move(scripted))),
            remote};
}

VTRError serverError(const std::string& code) {
    VTRError error = VTRError::withDescription(AFNetworkingErrorDomain, -1011, "status 500");
    error.mutableUserInfo()["X-VTRErrorCode"] = code;
    return error;
}

// Each call with one answer of the server (or a failure): the call it makes, with parameters
// named in order, and what it returns, as text.
TEST(UploadServiceTest, EachCallSendsItsNamedParametersAndReadsTheAnswer) {
    auto bytes = std::make_shared<const VTRBytes>(VTRBytes{1, 2, 3, 0, 255});
    using Service = VTRUploadServiceWithVerify;
    using Call = std::function<std::string(Service&, VTRError*)>;
    const Call chunkSize = [](Service& s, VTRError* e) {
        return std::to_string(s.chunkSizeError(e));
    };
    const Call upload = [&](Service& s, VTRError* e) {
        auto hash = s.uploadChunk("S", "f.mp4", bytes, 4096, e);
        return !hash ? "none" : hash->isNull() ? "null" : hash->stringValue();
    };
    const Call close = [](Service& s, VTRError* e) {
        return s.tryCloseFile("f.mp4", "S", e).value_or("none");
    };
    const Call verify = [](Service& s, VTRError* e) {
        return std::string(s.verifyFile("f.mp4", "S", "sum==", e) ? "true" : "false");
    };
    // The chunk goes into the request as it is, not copied.
    const std::string uploadSent = "sessionID=S fileName=f.mp4 buffer=<chunk> offset=4096";
    const std::string closeSent = "sessionID=S fileName=f.mp4";
    const std::string verifySent = "sessionID=S fileName=f.mp4 checksum=sum==";
    struct Case {
        std::string method;
        std::string sent;  // each parameter as name=value
        Call call;
        std::optional<VTRValue> response;
        std::string result;
        std::optional<VTRError> failure = {};
    };
    const VTRError cannotConnect =
        VTRError::withDescription(NSURLErrorDomain, -1004, "cannot connect");
    // clang-format off
    const std::vector<Case> cases = {
        {"ChunkSize", {}, chunkSize, VTRValue("1048576"), "1048576"},
        {"ChunkSize", {}, chunkSize, VTRValue(), "0"},
        {"ChunkSize", {}, chunkSize, VTRValue("abc"), "0"},
        {"ChunkSize", {}, chunkSize, VTRValue("5000000000"), "0"},
        {"ChunkSize", {}, chunkSize, {}, "0", cannotConnect},
        {"UploadChunk", uploadSent, upload, VTRValue("c2VydmVyIGhhc2g="), "c2VydmVyIGhhc2g="},
        {"UploadChunk", uploadSent, upload, VTRValue(), "null"},
        {"UploadChunk", uploadSent, upload, {}, "none", serverError("OutOfOrderUploadChunk")},
        {"TryCloseFile", closeSent, close, VTRValue("Uploading"), "Uploading"},
        {"TryCloseFile", closeSent, close, VTRValue(), "none"},
        {"VerifyFile", verifySent, verify, VTRValue("true"), "true"},
        {"VerifyFile", verifySent, verify, VTRValue("True"), "false"},
        {"VerifyFile", verifySent, verify, VTRValue(), "false"},
        {"VerifyFile", verifySent, verify, {}, "false", serverError("MalformedChecksum")},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.result);
        auto [service, remote] = overScript<Service>();
        remote->response = c.response;
        remote->failure = c.failure;
        VTRError error;
        EXPECT_EQ(c.call(*service, &error), c.result);
        EXPECT_EQ(error, c.failure.value_or(VTRError()));
        ASSERT_EQ(remote->calls.size(), 1u);
        const ScriptedRemoteCaller::Call& call = remote->calls[0];
        EXPECT_EQ(call.method, c.method);
        ASSERT_EQ(call.names.size(), call.parameters.size());
        std::string sent;
        for (size_t i = 0; i < call.names.size(); ++i) {
            const VTRValue& value = call.parameters[i];
            sent +=
                (i ? " " : "") + call.names[i] + "=" +
                (value.isString()  ? value.stringValue()
                 : value.isBytes() ? (value.bytesValue().data() == bytes->data() ? "<chunk>" : "")
                                   : std::to_string(value.uint64Value()));
        }
        EXPECT_EQ(sent, c.sent);
        // The request in flight is the one the call made.
        EXPECT_EQ(service->currentOperation(), remote->lastOperation);
    }

    // The base service confirms every checksum without a call.
    auto [base, remote] = overScript<VTRUploadService_impl>();
    VTRError error;
    EXPECT_TRUE(base->verifyFile("f", "S", "x", &error));
    EXPECT_TRUE(remote->calls.empty());

    // One made for an endpoint sends to the endpoint itself.
    VTRUploadServiceWithVerify endpoint("http://127.0.0.1:9/upload/Receiver.svc");
    EXPECT_EQ(endpoint.caller().servicePath(), "");
    ASSERT_NE(endpoint.caller().client(), nullptr);
    EXPECT_EQ(endpoint.caller().client()->URLForPath(""),
              "http://127.0.0.1:9/upload/Receiver.svc/");
}

}  // namespace
}  // namespace vtr
