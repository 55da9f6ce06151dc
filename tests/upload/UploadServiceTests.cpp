#include <gtest/gtest.h>

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

struct ServiceUnderTest {
    ScriptedRemoteCaller* remote;
    std::unique_ptr<VTRUploadServiceWithVerify> service;

    ServiceUnderTest() {
        auto scripted = std::make_unique<ScriptedRemoteCaller>();
        remote = scripted.get();
        service = std::make_unique<VTRUploadServiceWithVerify>(
            std::make_unique<VTRRemoteMethodCaller_sync>(std::move(scripted)));
    }
    ScriptedRemoteCaller::Call onlyCall() {
        EXPECT_EQ(remote->calls.size(), 1u);
        return remote->calls.at(0);
    }
};

VTRError serverError(const std::string& code) {
    VTRError error = VTRError::withDescription(AFNetworkingErrorDomain, -1011, "status 500");
    error.mutableUserInfo()["X-VTRErrorCode"] = code;
    return error;
}

TEST(UploadServiceTest, ChunkSizeIsTheServersNumberOrZero) {
    for (auto [answer, expected] :
         std::vector<std::pair<VTRValue, int32_t>>{{VTRValue("1048576"), 1048576},
                                                   {VTRValue(), 0},
                                                   {VTRValue("abc"), 0},
                                                   {VTRValue("5000000000"), 0},
                                                   {VTRValue(""), 0}}) {
        ServiceUnderTest s;
        s.remote->response = answer;
        VTRError error;
        EXPECT_EQ(s.service->chunkSizeError(&error), expected) << answer.description();
        EXPECT_TRUE(error.domain().empty());
        EXPECT_EQ(s.onlyCall().method, "ChunkSize");
        EXPECT_TRUE(s.onlyCall().names.empty());
        // The request in flight is the one the call made.
        EXPECT_EQ(s.service->currentOperation(), s.remote->lastOperation);
    }
    ServiceUnderTest s;
    s.remote->failure = VTRError::withDescription(NSURLErrorDomain, -1004, "cannot connect");
    VTRError error;
    EXPECT_EQ(s.service->chunkSizeError(&error), 0);
    EXPECT_EQ(error.code(), -1004);
}

TEST(UploadServiceTest, UploadChunkSendsItsFourParametersAndReturnsTheAnswerAsItCame) {
    ServiceUnderTest s;
    s.remote->response = VTRValue("c2VydmVyIGhhc2g=");
    auto bytes = std::make_shared<const VTRBytes>(VTRBytes{1, 2, 3, 0, 255});
    VTRError error;
    std::optional<VTRValue> hash = s.service->uploadChunk("S", "f.mp4", bytes, 4096, &error);
    ASSERT_TRUE(hash.has_value());
    EXPECT_EQ(hash->stringValue(), "c2VydmVyIGhhc2g=");
    ScriptedRemoteCaller::Call call = s.onlyCall();
    EXPECT_EQ(call.method, "UploadChunk");
    EXPECT_EQ(call.names, (std::vector<std::string>{"sessionID", "fileName", "buffer", "offset"}));
    ASSERT_EQ(call.parameters.size(), 4u);
    EXPECT_EQ(call.parameters[0].stringValue(), "S");
    EXPECT_EQ(call.parameters[1].stringValue(), "f.mp4");
    // The chunk goes into the request as it is, not copied.
    EXPECT_EQ(call.parameters[2].bytesValue().data(), bytes->data());
    EXPECT_EQ(call.parameters[3].uint64Value(), 4096u);

    ServiceUnderTest empty;
    empty.remote->response = VTRValue();
    std::optional<VTRValue> nullHash = empty.service->uploadChunk("S", "f", bytes, 0, &error);
    ASSERT_TRUE(nullHash.has_value());
    EXPECT_TRUE(nullHash->isNull());

    ServiceUnderTest refused;
    refused.remote->failure = serverError("OutOfOrderUploadChunk");
    EXPECT_FALSE(refused.service->uploadChunk("S", "f", bytes, 0, &error).has_value());
    EXPECT_EQ(find(error.userInfo(), "X-VTRErrorCode")->stringValue(), "OutOfOrderUploadChunk");
}

TEST(UploadServiceTest, TryCloseFileSendsSessionFirstAndTreatsAnEmptyAnswerAsNone) {
    ServiceUnderTest s;
    s.remote->response = VTRValue("Uploading");
    VTRError error;
    EXPECT_EQ(s.service->tryCloseFile("f.mp4", "S", &error),
              std::optional<std::string>("Uploading"));
    ScriptedRemoteCaller::Call call = s.onlyCall();
    EXPECT_EQ(call.method, "TryCloseFile");
    EXPECT_EQ(call.names, (std::vector<std::string>{"sessionID", "fileName"}));
    EXPECT_EQ(call.parameters.at(0).stringValue(), "S");
    EXPECT_EQ(call.parameters.at(1).stringValue(), "f.mp4");

    ServiceUnderTest empty;
    empty.remote->response = VTRValue();
    EXPECT_EQ(empty.service->tryCloseFile("f", "S", &error), std::nullopt);
    EXPECT_TRUE(error.domain().empty());
}

TEST(UploadServiceTest, VerifyFileIsTrueOnlyForLowerCaseTrue) {
    for (auto [answer, expected] : std::vector<std::pair<VTRValue, bool>>{{VTRValue("true"), true},
                                                                          {VTRValue("True"), false},
                                                                          {VTRValue("1"), false},
                                                                          {VTRValue(), false}}) {
        ServiceUnderTest s;
        s.remote->response = answer;
        VTRError error;
        EXPECT_EQ(s.service->verifyFile("f.mp4", "S", "sum==", &error), expected)
            << answer.description();
        EXPECT_TRUE(error.domain().empty());
        ScriptedRemoteCaller::Call call = s.onlyCall();
        EXPECT_EQ(call.names, (std::vector<std::string>{"sessionID", "fileName", "checksum"}));
        EXPECT_EQ(call.parameters.at(0).stringValue(), "S");
        EXPECT_EQ(call.parameters.at(2).stringValue(), "sum==");
    }
    ServiceUnderTest s;
    s.remote->failure = serverError("MalformedChecksum");
    VTRError error;
    EXPECT_FALSE(s.service->verifyFile("f", "S", "x", &error));
    EXPECT_EQ(find(error.userInfo(), "X-VTRErrorCode")->stringValue(), "MalformedChecksum");

    // The base service confirms every checksum without a call.
    auto scripted = std::make_unique<ScriptedRemoteCaller>();
    ScriptedRemoteCaller* remote = scripted.get();
    VTRUploadService_impl base(std::make_unique<VTRRemoteMethodCaller_sync>(std::move(scripted)));
    EXPECT_TRUE(base.verifyFile("f", "S", "x", &error));
    EXPECT_TRUE(remote->calls.empty());
}

TEST(UploadServiceTest, EndpointServiceSendsToTheEndpointItself) {
    VTRUploadServiceWithVerify service("http://127.0.0.1:9/upload/Receiver.svc");
    EXPECT_EQ(service.caller().servicePath(), "");
    ASSERT_NE(service.caller().client(), nullptr);
    EXPECT_EQ(service.caller().client()->URLForPath(""), "http://127.0.0.1:9/upload/Receiver.svc/");
}

}  // namespace
}  // namespace vtr
