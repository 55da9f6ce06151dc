// The fake recording service, run as its built executable and called through the real SOAP
// client: the storage and answers that the process-level tests rely on (their fault rules are
// checked where they are used, by the upload integration tests), the call log and the control
// interface, and with them the client's handling of real MTOM answers and server error codes.
#include <gtest/gtest.h>

#include "foundation/VTRDataAdditions.h"
#include "httpclient/HTTPClient.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"
#include "support/FakeService.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using json = nlohmann::json;
using test::FakeService;
using namespace std::chrono_literals;

const std::string kEmptyMD5 = "1B2M2Y8AsgTpgAmY7PhCfg==";

std::string md5(const std::string& bytes) {
    return base64String(md5Digest(bytes));
}

struct Outcome {
    std::optional<VTRDictionary> results;
    std::optional<VTRError> error;
    // The result's text, or "<failed>".
    std::string text() const {
        const VTRValue* result = results ? find(*results, "response") : nullptr;
        return result ? result->stringValue() : "<failed>";
    }
    // The server's error code that the error carries, or "".
    std::string serverCode() const {
        const VTRValue* code = error ? find(error->userInfo(), "X-VTRErrorCode") : nullptr;
        return code ? code->stringValue() : "";
    }
};

class FakeServiceTest : public ::testing::Test {
  protected:
    void start(std::vector<std::string> arguments) {
        service = std::make_unique<FakeService>(data.path(), std::move(arguments));
        ASSERT_TRUE(service->started());
        auto soap = std::make_unique<VTRSOAPMethodCaller>(VTRRecordingServiceNamespace,
                                                          VTRRecordingServiceExtension);
        soap->setRequestTimeoutInterval(60s);
        caller = std::make_unique<VTRRemoteMethodCaller_sync>(std::move(soap), 120s);
        caller->setClient(HTTPClient::clientWithBaseURL(service->url()));
        caller->setServicePath("");
    }

    Outcome call(const std::string& method, const std::vector<std::string>& names = {},
                 VTRArray values = {}) {
        Outcome outcome;
        int calls = 0;
        caller->callRemoteMethod(
            method, names, std::move(values),
            [&](const VTRDictionary& results, const HTTPURLResponse*) {
                ++calls;
                outcome.results = results;
            },
            [&](const VTRError& error, const HTTPURLResponse*) {
                ++calls;
                outcome.error = error;
            });
        EXPECT_EQ(calls, 1);
        return outcome;
    }
    Outcome upload(const std::string& file, const std::string& bytes, uint64_t offset) {
        return call("UploadChunk", {"sessionID", "fileName", "buffer", "offset"},
                    {"S1", file, VTRBytes(bytes.begin(), bytes.end()), offset});
    }
    Outcome verify(const std::string& file, const std::string& checksum) {
        return call("VerifyFile", {"sessionID", "fileName", "checksum"}, {"S1", file, checksum});
    }
    Outcome close(const std::string& file) {
        return call("TryCloseFile", {"sessionID", "fileName"}, {"S1", file});
    }

    test::TempDir data;
    std::unique_ptr<FakeService> service;
    std::unique_ptr<VTRRemoteMethodCaller_sync> caller;
};

TEST_F(FakeServiceTest, StoresChunksInOrderThenVerifiesAndCloses) {
    start({"--chunk-size", "65536", "--close-uploading", "1"});
    EXPECT_EQ(call("ChunkSize").text(), "65536");
    service->control("POST", "/control/config", {{"chunk_size", 4096}});
    EXPECT_EQ(call("ChunkSize").text(), "4096");

    std::string first = std::string("\r\n\0\xff", 4) + "abcdef";
    EXPECT_EQ(upload("clip.mov", first, 0).text(), md5(first));
    EXPECT_EQ(upload("clip.mov", "XYZ", 10).text(), md5("XYZ"));
    EXPECT_EQ(test::readFile(data.file("S1/clip.mov")), first + "XYZ");
    // A smaller offset truncates there and writes: a resent chunk replaces what followed.
    upload("clip.mov", "12", 4);
    std::string stored = first.substr(0, 4) + "12";
    EXPECT_EQ(test::readFile(data.file("S1/clip.mov")), stored);
    Outcome gap = upload("clip.mov", "late", 100);
    ASSERT_TRUE(gap.error);
    EXPECT_EQ(gap.error->domain(), AFNetworkingErrorDomain);
    EXPECT_EQ(gap.error->code(), -1011);
    EXPECT_EQ(gap.serverCode(), "OutOfOrderUploadChunk");
    EXPECT_EQ(test::readFile(data.file("S1/clip.mov")), stored);
    EXPECT_EQ(upload("../escape", "x", 0).serverCode(), "InvalidFileName");

    EXPECT_EQ(verify("clip.mov", md5(stored)).text(), "true");
    EXPECT_EQ(verify("clip.mov", kEmptyMD5).text(), "false");
    EXPECT_EQ(verify("clip.mov", "d41d8cd98f00b204e9800998ecf8427e").serverCode(),
              "MalformedChecksum");
    EXPECT_EQ(close("clip.mov").text(), "Uploading");
    EXPECT_EQ(close("clip.mov").text(), "Uploaded");
    // A file that never got a chunk is empty.
    EXPECT_EQ(verify("empty.mov", kEmptyMD5).text(), "true");
    close("empty.mov");
    close("empty.mov");

    json files = service->control("GET", "/control/files")["files"];
    ASSERT_EQ(files.size(), 2u) << files.dump();
    for (const json& file : files) {
        bool clip = file["file"] == "clip.mov";
        EXPECT_TRUE(file["closed"].get<bool>()) << file.dump();
        EXPECT_EQ(file["size"].get<uint64_t>(), clip ? stored.size() : 0u);
        EXPECT_EQ(file["md5"], clip ? md5(stored) : kEmptyMD5);
    }
    json calls = service->control("GET", "/control/calls")["calls"];
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls[2]["method"], "UploadChunk");
    EXPECT_EQ(calls[3]["offset"], 10);
    EXPECT_EQ(calls[3]["length"], 3);
    EXPECT_EQ(calls[5]["status"], 500);
}

}  // namespace
}  // namespace vtr
