// The fake recording service, run as its built executable and called through the real SOAP
// client: the four methods' storage and answers, fault injection and the control interface.
#include <gtest/gtest.h>

#include <future>

#include <nlohmann/json.hpp>

#include "FakeServiceProcess.h"
#include "foundation/VTRDataAdditions.h"
#include "httpclient/HTTPClient.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using json = nlohmann::json;
using test::FakeServiceProcess;
using namespace std::chrono_literals;

const std::string kEmptyMD5 = "1B2M2Y8AsgTpgAmY7PhCfg==";

struct Outcome {
    std::optional<VTRValue> response;
    std::optional<VTRError> error;
    std::string text() const { return response ? response->stringValue() : "<failed>"; }
    std::string serverCode() const {
        const VTRValue* code = error ? find(error->userInfo(), "X-VTRErrorCode") : nullptr;
        return code ? code->stringValue() : "";
    }
};

class FakeServiceTest : public ::testing::Test {
  protected:
    void start(std::vector<std::string> arguments = {}) {
        service = std::make_unique<FakeServiceProcess>(std::move(arguments), data.path());
        ASSERT_TRUE(service->started());
        auto soap = std::make_unique<VTRSOAPMethodCaller>(VTRRecordingServiceNamespace,
                                                          VTRRecordingServiceExtension);
        soap->setRequestTimeoutInterval(requestTimeout);
        caller = std::make_unique<VTRRemoteMethodCaller_sync>(std::move(soap));
        caller->setClient(HTTPClient::clientWithBaseURL(service->url()));
        caller->setServicePath("");
    }

    Outcome call(const std::string& method, const std::vector<std::string>& names,
                 VTRArray values) {
        Outcome outcome;
        caller->callRemoteMethod(
            method, names, std::move(values),
            [&](const VTRDictionary& results, const HTTPURLResponse*) {
                const VTRValue* response = find(results, "response");
                outcome.response = response ? *response : VTRValue();
            },
            [&](const VTRError& error, const HTTPURLResponse*) { outcome.error = error; });
        return outcome;
    }
    Outcome chunkSize() { return call("ChunkSize", {}, {}); }
    Outcome upload(const std::string& file, const std::string& bytes, uint64_t offset,
                   const std::string& session = "S1") {
        return call("UploadChunk", {"sessionID", "fileName", "buffer", "offset"},
                    {session, file, VTRBytes(bytes.begin(), bytes.end()), offset});
    }
    Outcome verify(const std::string& file, const std::string& checksum) {
        return call("VerifyFile", {"sessionID", "fileName", "checksum"}, {"S1", file, checksum});
    }
    Outcome close(const std::string& file) {
        return call("TryCloseFile", {"sessionID", "fileName"}, {"S1", file});
    }
    json state(const std::string& what = "state") {
        auto reply = service->control("GET", "/control/" + what);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return json::parse(reply.body);
    }
    void addFault(const json& rule) {
        auto reply = service->control("POST", "/control/faults", rule.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }

    test::TempDir data;
    std::chrono::milliseconds requestTimeout = 60s;
    std::unique_ptr<FakeServiceProcess> service;
    std::unique_ptr<VTRRemoteMethodCaller_sync> caller;
};

TEST_F(FakeServiceTest, ChunkSizeIsConfigurable) {
    start();
    EXPECT_EQ(chunkSize().text(), "1048576");
    service->control("POST", "/control/config", R"({"chunk_size": 4096})");
    EXPECT_EQ(chunkSize().text(), "4096");
    FakeServiceProcess other({"--chunk-size", "65536"});
    ASSERT_TRUE(other.started());
    caller->setClient(HTTPClient::clientWithBaseURL(other.url()));
    EXPECT_EQ(chunkSize().text(), "65536");
}

TEST_F(FakeServiceTest, UploadChunkAppendsRewritesAndRefusesGaps) {
    start();
    std::string first = std::string("\r\n\0\xff", 4) + "abcdef";
    Outcome a = upload("clip.mov", first, 0);
    EXPECT_EQ(a.text(), base64String(md5Digest(first)));
    EXPECT_EQ(upload("clip.mov", "XYZ", 10).text(), base64String(md5Digest(std::string("XYZ"))));
    EXPECT_EQ(test::readFile(data.file("S1/clip.mov")), first + "XYZ");

    // A smaller offset truncates there and writes: a resent chunk replaces what followed.
    upload("clip.mov", "12", 4);
    EXPECT_EQ(test::readFile(data.file("S1/clip.mov")), first.substr(0, 4) + "12");

    Outcome gap = upload("clip.mov", "late", 100);
    ASSERT_TRUE(gap.error);
    EXPECT_EQ(gap.error->domain(), AFNetworkingErrorDomain);
    EXPECT_EQ(gap.error->code(), -1011);
    EXPECT_EQ(gap.serverCode(), "OutOfOrderUploadChunk");
    EXPECT_EQ(test::readFile(data.file("S1/clip.mov")).size(), 6u);

    // Sessions keep files apart; unsafe names are refused.
    upload("clip.mov", "other", 0, "S2");
    EXPECT_EQ(test::readFile(data.file("S2/clip.mov")), "other");
    Outcome escape = upload("../escape", "x", 0);
    ASSERT_TRUE(escape.error);
    EXPECT_EQ(escape.serverCode(), "InvalidFileName");
}

TEST_F(FakeServiceTest, VerifyAndCloseIncludingAFileThatNeverGotAChunk) {
    start({"--close-uploading", "2"});
    std::string bytes = test::randomBytes(3 << 20, 3);
    ASSERT_EQ(upload("a.mov", bytes.substr(0, 1 << 20), 0).text(),
              base64String(md5Digest(bytes.substr(0, 1 << 20))));
    upload("a.mov", bytes.substr(1 << 20), 1 << 20);
    EXPECT_EQ(verify("a.mov", base64String(md5Digest(bytes))).text(), "true");
    EXPECT_EQ(verify("a.mov", kEmptyMD5).text(), "false");
    Outcome malformed = verify("a.mov", "d41d8cd98f00b204e9800998ecf8427e");
    ASSERT_TRUE(malformed.error);
    EXPECT_EQ(malformed.serverCode(), "MalformedChecksum");

    EXPECT_EQ(close("a.mov").text(), "Uploading");
    EXPECT_EQ(close("a.mov").text(), "Uploading");
    EXPECT_EQ(close("a.mov").text(), "Uploaded");
    EXPECT_EQ(close("a.mov").text(), "Uploaded");

    EXPECT_EQ(verify("empty.mov", kEmptyMD5).text(), "true");
    close("empty.mov");
    close("empty.mov");
    EXPECT_EQ(close("empty.mov").text(), "Uploaded");

    json files = state("files")["files"];
    ASSERT_EQ(files.size(), 2u);
    for (const json& file : files) {
        EXPECT_TRUE(file["closed"].get<bool>()) << file.dump();
        if (file["file"] == "a.mov") {
            EXPECT_EQ(file["size"].get<uint64_t>(), bytes.size());
            EXPECT_EQ(file["md5"], base64String(md5Digest(bytes)));
        } else {
            EXPECT_EQ(file["size"].get<uint64_t>(), 0u);
            EXPECT_EQ(file["md5"], kEmptyMD5);
        }
    }
}

TEST_F(FakeServiceTest, InjectedFaultsReachTheClientAsTheirErrors) {
    requestTimeout = 1s;
    start();
    addFault(json::array({
        {{"method", "UploadChunk"}, {"action", "status"}, {"status", 503}, {"error_code", "Busy"}},
        {{"method", "UploadChunk"}, {"action", "html"}},
        {{"method", "UploadChunk"}, {"action", "empty"}},
        {{"method", "UploadChunk"}, {"action", "result"}, {"result", "WRONG=="}},
        {{"method", "ChunkSize"}, {"action", "delay"}, {"delay_ms", 4000}},
    }));
    Outcome status = upload("f", "1", 0);
    ASSERT_TRUE(status.error);
    EXPECT_EQ(status.error->localizedDescription(), "Expected status code in (200-299), got 503");
    EXPECT_EQ(status.serverCode(), "Busy");

    Outcome html = upload("f", "1", 0);
    ASSERT_TRUE(html.error);
    EXPECT_EQ(html.error->domain(), VTRErrorDomain);
    EXPECT_EQ(html.error->code(), 87);

    Outcome empty = upload("f", "1", 0);
    ASSERT_TRUE(empty.response);
    EXPECT_TRUE(empty.response->isNull());

    EXPECT_EQ(upload("f", "1", 0).text(), "WRONG==");
    EXPECT_EQ(upload("f", "1", 0).text(), base64String(md5Digest(std::string("1"))));

    Outcome slow = chunkSize();
    ASSERT_TRUE(slow.error);
    EXPECT_EQ(slow.error->code(), -1001);
}

TEST_F(FakeServiceTest, DroppedConnectionIsConnectionLost) {
    start();
    EXPECT_EQ(chunkSize().text(), "1048576");  // leaves a keep-alive connection to reuse
    // The client may resend once on a fresh connection when a reused one dies unanswered, so
    // the service drops twice.
    addFault({{"method", "ChunkSize"}, {"action", "drop"}, {"count", 2}});
    Outcome dropped = chunkSize();
    ASSERT_TRUE(dropped.error);
    EXPECT_EQ(dropped.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(dropped.error->code(), -1005) << dropped.error->description();
    json calls = state("calls")["calls"];
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back()["fault"], "drop");
    service->control("DELETE", "/control/faults");
    EXPECT_EQ(chunkSize().text(), "1048576");
}

TEST_F(FakeServiceTest, FaultCountsSkipsAndProbabilities) {
    start();
    addFault({{"method", "ChunkSize"}, {"after", 1}, {"count", 2}, {"error_code", "X"}});
    addFault({{"method", "TryCloseFile"}, {"probability", 0.0}, {"count", 0}});
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        Outcome outcome = chunkSize();
        seen.push_back(outcome.error ? outcome.serverCode() : outcome.text());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1048576", "X", "X", "1048576"}));
    EXPECT_EQ(close("f").text(), "Uploaded");

    // The same seed gives the same choices.
    auto pattern = [&](uint32_t seed) {
        service->control("DELETE", "/control/faults");
        service->control("POST", "/control/config", json{{"seed", seed}}.dump());
        addFault({{"method", "ChunkSize"}, {"probability", 0.5}, {"count", 0}});
        std::string marks;
        for (int i = 0; i < 16; ++i) marks += chunkSize().error ? 'F' : '.';
        return marks;
    };
    std::string first = pattern(7);
    EXPECT_EQ(pattern(7), first);
    EXPECT_NE(first.find('F'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
}

TEST_F(FakeServiceTest, CallLogRecordsMethodsOffsetsAndTimes) {
    start();
    upload("f", "abc", 0);
    upload("f", "de", 3);
    upload("f", "zz", 9);
    json calls = state("calls")["calls"];
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0]["method"], "UploadChunk");
    EXPECT_EQ(calls[1]["offset"], 3);
    EXPECT_EQ(calls[1]["length"], 2);
    EXPECT_EQ(calls[2]["status"], 500);
    EXPECT_LE(calls[0]["time_ms"].get<int64_t>(), calls[2]["time_ms"].get<int64_t>());

    EXPECT_EQ(service->control("POST", "/control/faults", "{not json").status, 400);
    EXPECT_EQ(service->control("POST", "/control/faults", R"({"action": "explode"})").status, 400);
    EXPECT_EQ(service->control("POST", "/control/faults", R"({"count": "two"})").status, 400);
    EXPECT_EQ(service->control("GET", "/control/nothing").status, 404);

    EXPECT_EQ(service->control("POST", "/control/reset").status, 200);
    json after = state();
    EXPECT_TRUE(after["files"].empty());
    EXPECT_TRUE(after["calls"].empty());
}

TEST_F(FakeServiceTest, PlainRequestsWithBase64AndWrongActionsAreHandled) {
    start();
    auto client = HTTPClient::clientWithBaseURL(service->url());
    auto post = [&](const std::string& action, const std::string& xml) {
        HTTPRequest request = client->requestWithMethod("POST", "");
        HTTPRequestBody body;
        body.append(xml);
        request.setBody(std::move(body));
        request.setValueForHTTPHeaderField("text/xml; charset=utf-8", "Content-Type");
        request.setValueForHTTPHeaderField(action, "SOAPAction");
        auto done = std::make_shared<std::promise<std::pair<int, std::string>>>();
        auto operation = client->HTTPRequestOperationWithRequest(
            std::move(request),
            [done](HTTPRequestOperation& op, const std::string& b) {
                done->set_value({op.response()->statusCode(), b});
            },
            [done](HTTPRequestOperation& op, const VTRError&) {
                done->set_value({op.response() ? op.response()->statusCode() : 0, ""});
            });
        operation->setSuccessCallbackQueue(globalCallbackQueue());
        operation->setFailureCallbackQueue(globalCallbackQueue());
        client->enqueueHTTPRequestOperation(operation);
        return done->get_future().get();
    };
    std::string xml =
        "<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/"
        "envelope/\"><soap:Body><UploadChunk xmlns=\"http://tempuri.org/\"><sessionID>S1"
        "</sessionID><fileName>p.bin</fileName><buffer>AAEC/w==</buffer><offset>0</offset>"
        "</UploadChunk></soap:Body></soap:Envelope>";
    auto ok = post("\"http://tempuri.org/IWCFReceiver/UploadChunk\"", xml);
    EXPECT_EQ(ok.first, 200);
    EXPECT_NE(ok.second.find(base64String(md5Digest(std::string("\x00\x01\x02\xff", 4)))),
              std::string::npos);
    EXPECT_EQ(test::readFile(data.file("S1/p.bin")), std::string("\x00\x01\x02\xff", 4));
    EXPECT_EQ(post("\"http://tempuri.org/IWCFReceiver/ChunkSize\"", xml).first, 500);
    EXPECT_EQ(post("\"http://tempuri.org/IWCFReceiver/UploadChunk\"", "<garbage").first, 400);
}

}  // namespace
}  // namespace vtr
