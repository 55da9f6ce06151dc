// The fake recording service, run as its built executable and called through the real SOAP
// client: the four methods' storage and answers, fault injection and the control interface.
#include <gtest/gtest.h>

#include "SOAPCall.h"
#include "foundation/VTRDataAdditions.h"
#include "support/FakeService.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using json = nlohmann::json;
using test::FakeService;
using namespace std::chrono_literals;

const std::string kEmptyMD5 = "1B2M2Y8AsgTpgAmY7PhCfg==";

using Outcome = test::SOAPOutcome;

class FakeServiceTest : public ::testing::Test {
  protected:
    void start(std::vector<std::string> arguments = {}) {
        service = std::make_unique<FakeService>(data.path(), std::move(arguments));
        ASSERT_TRUE(service->started());
        caller = test::makeSOAPCaller(service->url(), 120s, requestTimeout);
    }

    Outcome call(const std::string& method, const std::vector<std::string>& names,
                 VTRArray values) {
        return test::callSOAP(*caller, method, names, std::move(values));
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
        json answer = service->control("GET", "/control/" + what);
        EXPECT_TRUE(answer.is_object()) << what;
        return answer;
    }
    void addFault(const json& rule) {
        ASSERT_TRUE(service->control("POST", "/control/faults", rule).is_object()) << rule;
    }

    test::TempDir data;
    std::chrono::milliseconds requestTimeout = 60s;
    std::unique_ptr<FakeService> service;
    std::unique_ptr<VTRRemoteMethodCaller_sync> caller;
};

TEST_F(FakeServiceTest, ChunkSizeIsConfigurable) {
    start();
    EXPECT_EQ(chunkSize().text(), "1048576");
    service->control("POST", "/control/config", {{"chunk_size", 4096}});
    EXPECT_EQ(chunkSize().text(), "4096");
    test::TempDir otherData;
    FakeService other(otherData.path(), {"--chunk-size", "65536"});
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
    ASSERT_TRUE(empty.results);
    EXPECT_TRUE(find(*empty.results, "response")->isNull());

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
        service->control("POST", "/control/config", {{"seed", seed}});
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

    for (const char* rule : {"{not json", R"({"action": "explode"})", R"({"count": "two"})"})
        EXPECT_EQ(service->request("POST", "/control/faults", rule).status, 400) << rule;
    EXPECT_EQ(service->request("GET", "/control/nothing").status, 404);

    EXPECT_TRUE(service->control("POST", "/control/reset").is_object());
    json after = state();
    EXPECT_TRUE(after["files"].empty());
    EXPECT_TRUE(after["calls"].empty());
}

TEST_F(FakeServiceTest, PlainRequestsWithBase64AndWrongActionsAreHandled) {
    start();
    auto post = [&](const std::string& method, const std::string& xml) {
        return test::httpRequest(
            service->port(), "POST", "/Service.svc", xml, 30s, "text/xml; charset=utf-8",
            "SOAPAction: \"http://tempuri.org/IWCFReceiver/" + method + "\"\r\n");
    };
    std::string xml =
        "<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/"
        "envelope/\"><soap:Body><UploadChunk xmlns=\"http://tempuri.org/\"><sessionID>S1"
        "</sessionID><fileName>p.bin</fileName><buffer>AAEC/w==</buffer><offset>0</offset>"
        "</UploadChunk></soap:Body></soap:Envelope>";
    test::HTTPReply ok = post("UploadChunk", xml);
    EXPECT_EQ(ok.status, 200);
    EXPECT_NE(ok.body.find(base64String(md5Digest(std::string("\x00\x01\x02\xff", 4)))),
              std::string::npos);
    EXPECT_EQ(test::readFile(data.file("S1/p.bin")), std::string("\x00\x01\x02\xff", 4));
    EXPECT_EQ(post("ChunkSize", xml).status, 500);
    EXPECT_EQ(post("UploadChunk", "<garbage").status, 400);
}

}  // namespace
}  // namespace vtr
