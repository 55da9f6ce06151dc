// Both sides of the SOAP client without a network: request documents, serializers, SOAPAction
// and MTOM framing compared byte for byte with what the recording service expects; then the
// boundary extraction and result extraction from plain and multipart bodies,
// including bodies too short or malformed to hold what they claim (run these under
// AddressSanitizer).
// Then the synchronous wrapper against a scripted asynchronous caller whose outcomes the test
// delivers by hand, from other threads and in awkward orders.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>

#include "httpclient/HTTPClient.h"
#include "httpclient/HTTPRequestOperation.h"
#include "soap/MTOMBoundary.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"
#include "support/TestSupport.h"

namespace vtr {

void PrintTo(const VTRValue& value, std::ostream* out) {
    *out << value.description();
}

namespace {

const std::string kProlog = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
const std::string kEnvelopeStart =
    "<soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns=\"http://tempuri.org/\">";
const std::string kBoundary = "Boundary+0xAbCdEfGbOuNdArY";

std::string document(const std::string& methodElement) {
    return kProlog + kEnvelopeStart + "<soap:Body>" + methodElement +
           "</soap:Body></soap:Envelope>";
}

class SOAPRequestTest : public ::testing::Test {
  protected:
    SOAPRequestTest() : caller(VTRRecordingServiceNamespace, VTRRecordingServiceExtension) {
        caller.setClient(HTTPClient::clientWithBaseURL("http://127.0.0.1:8080/upload/Service.svc"));
        caller.setServicePath("");
    }

    HTTPRequest request(const std::string& method, const std::vector<std::string>& names,
                        const VTRArray& values) {
        auto owned = std::make_shared<const VTRArray>(values);
        int64_t index = VTRSOAPMethodCaller::bufferIndex(*owned);
        std::string body = caller.createSOAPBody(method, names, *owned, index);
        const VTRBytes* buffer =
            index >= 0 ? &(*owned)[static_cast<size_t>(index)].bytesValue() : nullptr;
        return caller.requestWithEnvelope(body, owned, buffer, method);
    }

    VTRSOAPMethodCaller caller;
};

// The calls without an attachment are plain requests, parameters in the order given.
TEST_F(SOAPRequestTest, PlainRequestsCarryTheParametersInOrder) {
    const std::tuple<std::string, std::vector<std::string>, VTRArray, std::string> cases[] = {
        {"ChunkSize", {}, {}, ""},
        {"VerifyFile",
         {"sessionID", "fileName", "checksum"},
         {"S-1", "clip 1.mov", "1B2M2Y8AsgTpgAmY7PhCfg=="},
         "<sessionID>S-1</sessionID><fileName>clip 1.mov</fileName>"
         "<checksum>1B2M2Y8AsgTpgAmY7PhCfg==</checksum>"},
    };
    for (const auto& [method, names, values, parameters] : cases) {
        HTTPRequest r = request(method, names, values);
        EXPECT_EQ(r.body().joined(), document("<" + method + " xmlns=\"http://tempuri.org/\">" +
                                              parameters + "</" + method + ">"));
        EXPECT_EQ(*r.valueForHTTPHeaderField("SOAPAction"),
                  "\"http://tempuri.org/IWCFReceiver/" + method + "\"");
        EXPECT_EQ(r.HTTPMethod(), "POST");
        EXPECT_EQ(r.URL(), "http://127.0.0.1:8080/upload/Service.svc/");
        EXPECT_EQ(*r.valueForHTTPHeaderField("Content-Type"), "text/xml; charset=utf-8");
        EXPECT_EQ(r.valueForHTTPHeaderField("Content-Length"), nullptr);  // left to the transport
        EXPECT_NE(r.valueForHTTPHeaderField("User-Agent"), nullptr);
        EXPECT_NE(r.valueForHTTPHeaderField("Accept-Language"), nullptr);
        EXPECT_EQ(r.timeoutInterval(), std::chrono::seconds(60));
    }
}

TEST_F(SOAPRequestTest, UploadChunkIsAnMTOMMessageWithTheBytesUnchanged) {
    VTRBytes chunk{'\r', '\n', 0, 0xFF, 0x80, '-', '-', 'x', '\r', '\n'};
    HTTPRequest r = request("UploadChunk", {"sessionID", "fileName", "buffer", "offset"},
                            {"s&1", "a<b>.mov", chunk, uint64_t{0}});

    std::string doc = document(
        "<UploadChunk xmlns=\"http://tempuri.org/\"><sessionID>s&amp;1</sessionID>"
        "<fileName>a&lt;b&gt;.mov</fileName><buffer><xop:Include "
        "xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" "
        "href=\"cid:http://tempuri.org/vantrel/mtom/1\"/></buffer><offset>0</offset>"
        "</UploadChunk>");
    std::string expected =
        "--" + kBoundary + "\r\n" +
        "Content-Type: application/xop+xml; charset=UTF-8; type=\"text/xml\"\r\n" +
        "Content-ID: <http://tempuri.org/vantrel/mtom/0>\r\n\r\n" + doc + "\r\n--" + kBoundary +
        "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n" +
        "Content-ID: <http://tempuri.org/vantrel/mtom/1>\r\n\r\n" +
        std::string(chunk.begin(), chunk.end()) + "\r\n--" + kBoundary + "--\r\n";
    EXPECT_EQ(r.body().joined(), expected);
    EXPECT_EQ(r.body().size(), expected.size());
    EXPECT_EQ(*r.valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(*r.valueForHTTPHeaderField("Content-Type"),
              "multipart/related;type=\"application/xop+xml\";boundary=" + kBoundary +
                  ";start=\"http://tempuri.org/vantrel/mtom/0\";start-info=\"text/xml\"");
    EXPECT_EQ(*r.valueForHTTPHeaderField("SOAPAction"),
              "\"http://tempuri.org/IWCFReceiver/UploadChunk\"");
}

TEST(SOAPSerializerTest, EscapingOrderNullsNumbersAndTheAttachment) {
    EXPECT_EQ(VTRSOAPMethodCaller::serializeCharacters("&<>'\"&amp;"),
              "&amp;&lt;&gt;&apos;&quot;&amp;amp;");
    std::string controls = "tab\there\x01 \xC3\xA9";
    EXPECT_EQ(VTRSOAPMethodCaller::serializeCharacters(controls), controls);

    VTRSOAPMethodCaller caller("http://tempuri.org/", "IWCFReceiver");
    const std::string open = "<M xmlns=\"http://tempuri.org/\">";
    const std::tuple<std::vector<std::string>, VTRArray, std::string> cases[] = {
        // Numbers are bare at top level and typed inside collections.
        {{"a", "b"},
         {int32_t{7}, VTRValue(VTRArray{int32_t{7}, 2.5, uint64_t{9}})},
         open + "<a>7</a><b><int>7</int><double>2.5</double>9</b></M>"},
        // Null omits its parameter; the others keep their order.
        {{"a", "b", "c"}, {"1", VTRNull{}, "3"}, open + "<a>1</a><c>3</c></M>"},
        // Values beyond the names are dropped.
        {{"d", "g"},
         {VTRValue(VTRDictionary{{"k", "v&"}}), VTRGuid("abc"), "dropped"},
         open + "<d><k>v&amp;</k></d><g>" + VTRGuid("abc").soapParameterValue() + "</g></M>"},
    };
    for (const auto& [names, values, element] : cases) {
        std::string body = caller.createSOAPBody("M", names, values, -1);
        EXPECT_NE(body.find(element), std::string::npos) << body;
    }
    // Only the last byte buffer becomes the attachment.
    EXPECT_EQ(VTRSOAPMethodCaller::bufferIndex({VTRBytes{1}, "x", VTRBytes{2}}), 2);
    EXPECT_EQ(VTRSOAPMethodCaller::bufferIndex({"a", int32_t{1}}), -1);
}

std::string envelope(const std::string& inner) {
    return "<?xml version=\"1.0\"?><s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<s:Header><Other>h</Other></s:Header><s:Body>" +
           inner + "</s:Body></s:Envelope>";
}

TEST(MTOMBoundaryTest, FindsTheParameterWithOrWithoutQuotes) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"multipart/related; type=\"application/xop+xml\"; boundary=\"uuid:a-b\"; start=\"<x>\"",
         "uuid:a-b"},
        {"multipart/related;type=\"application/xop+xml\";boundary=Boundary+0xAb", "Boundary+0xAb"},
        {"text/xml; charset=utf-8", std::nullopt},
        {"multipart/related; Boundary=abc", std::nullopt},
    };
    for (const auto& [type, boundary] : cases) EXPECT_EQ(MTOMBoundary(&type), boundary) << type;
    EXPECT_EQ(MTOMBoundary(nullptr), std::nullopt);
}

std::string multipart(const std::string& boundary, const std::string& xml) {
    return "--" + boundary + "\r\nContent-ID: <root>\r\nContent-Type: application/xop+xml\r\n\r\n" +
           xml + "\r\n--" + boundary + "--\r\n";
}

TEST(SOAPResultsTest, PlainAndMultipartResultsReduceToTheResultText) {
    VTRError error(VTRErrorDomain, 1);
    std::string xml =
        envelope("<MResponse xmlns=\"http://tempuri.org/\"><MResult>1048576</MResult></MResponse>");
    const VTRDictionary number{{"response", "1048576"}}, joined{{"response", "a & b <c>"}};
    const std::tuple<std::string, std::optional<std::string>, std::optional<VTRDictionary>>
        cases[] = {
            {xml, std::nullopt, number},
            {multipart("b1", xml), "b1", number},
            // An empty result is the null marker, an empty response the empty dictionary.
            {"<MResponse><MResult/></MResponse>", std::nullopt,
             VTRDictionary{{"response", VTRNull{}}}},
            {"<MResponse/>", std::nullopt, VTRDictionary{{"response", VTRValue(VTRDictionary{})}}},
            // Text split by entities joins; a later response element, or broken XML after the
            // first, changes nothing.
            {envelope("<MResponse><MResult>a &amp; b &lt;c&gt;</MResult></MResponse>"
                      "<MResponse><MResult>second</MResult></MResponse>"),
             std::nullopt, joined},
            {"<r><MResponse><MResult>a &amp; b &lt;c&gt;</MResult></MResponse><<<", std::nullopt,
             joined},
            // Broken inside: the response element never completes, so nothing of it is taken.
            {"<MResponse><MResult>1</Oops></MResponse>", std::nullopt, VTRDictionary{}},
        };
    for (const auto& [body, boundary, results] : cases) {
        EXPECT_EQ(VTRSOAPMethodCaller::soapResultsFromData(body, "M", boundary, false, &error),
                  results)
            << body;
        EXPECT_EQ(error.code(), 0) << "cleared on success";
    }
}

TEST(SOAPResultsTest, UnusableBodiesGiveCode87AndMultipartBoundsAreExact) {
    std::string xml = "<MResponse><MResult>1</MResult></MResponse>";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"<html><body>500</body></html>", std::nullopt},  // HTML page
        {"<OtherResponse/>", std::nullopt},               // another method
        // Names are compared as written: a prefixed response element is another element.
        {envelope("<ns:MResponse><ns:MResult>1</ns:MResult></ns:MResponse>"), std::nullopt},
        {"", std::nullopt},                                       // nothing at all
        {"", std::string("B")},                                   // empty multipart
        {"--B\r\nX: y\r\n", std::string("B")},                    // no empty line
        {"\r\n\r\n", std::string("Boundary")},                    // shorter than the trailer
        {"--B\r\n\r\n" + xml.substr(0, 5), std::string("B")},     // truncated part
        {std::string("\0\xff\r\n\r\n\x01", 7), std::string("")},  // garbage
        {multipart("B", xml).substr(0, 20), std::string("B")},    // cut inside the headers
    };
    for (const auto& [body, boundary] : cases) {
        VTRError error;
        EXPECT_FALSE(VTRSOAPMethodCaller::soapResultsFromData(body, "M", boundary, false, &error))
            << body;
        EXPECT_EQ(error.domain(), VTRErrorDomain);
        EXPECT_EQ(error.code(), 87);
        EXPECT_EQ(error.localizedDescription(), "Webservice failure");
        EXPECT_EQ(error.localizedFailureReason(), "Failed to parse server response for method M");
        EXPECT_NE(find(error.userInfo(), VTRResponseBodyKey), nullptr);
    }
    // The closing delimiter plus one more CRLF leaves CR LF after the XML.
    EXPECT_EQ(VTRSOAPMethodCaller::bodyDataFromResponse(multipart("B", xml), std::string("B")),
              xml + "\r\n");
    // Exactly the header block and the trailer: an empty XML part, not a read past the end.
    EXPECT_EQ(VTRSOAPMethodCaller::bodyDataFromResponse("h\r\n\r\n\r\n--B--", std::string("B")),
              std::string(""));
    EXPECT_EQ(VTRSOAPMethodCaller::bodyDataFromResponse("h\r\n\r\n--B--", std::string("B")),
              std::nullopt);
}

// ---- the synchronous wrapper

using namespace std::chrono_literals;

// Keeps each call's callbacks so the test decides when and how it completes. When `immediate`
// is set, a call succeeds with it before callRemoteMethod returns.
class ScriptedCaller : public VTRRemoteMethodCaller {
  public:
    struct Call {
        VTRRemoteSuccess success;
        VTRRemoteFailure failure;
    };

    std::shared_ptr<HTTPRequestOperation> callRemoteMethod(const std::string&,
                                                           const std::vector<std::string>&,
                                                           VTRArray, VTRRemoteSuccess success,
                                                           VTRRemoteFailure failure) override {
        if (immediate) success(*immediate, nullptr);
        std::lock_guard lock(mutex);
        calls.push_back(Call{std::move(success), std::move(failure)});
        return std::make_shared<HTTPRequestOperation>(HTTPRequest("POST", "http://x/"));
    }
    size_t callCount() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    Call callAt(size_t index) {
        std::lock_guard lock(mutex);
        return calls.at(index);
    }

    // Not used by the wrapper's calls.
    std::string servicePath() const override { return {}; }
    void setServicePath(std::string) override {}
    std::shared_ptr<HTTPClient> client() const override { return nullptr; }
    void setClient(std::shared_ptr<HTTPClient>) override {}
    HTTPCallbackQueue callbackQueue() const override { return {}; }
    void setCallbackQueue(HTTPCallbackQueue) override {}

    std::optional<VTRDictionary> immediate;
    std::mutex mutex;
    std::vector<Call> calls;
};

struct Result {
    std::optional<VTRDictionary> results;
    std::optional<VTRError> error;
};

Result run(VTRRemoteMethodCaller_sync& sync) {
    Result result;
    sync.callRemoteMethod(
        "M", {}, {}, [&](const VTRDictionary& r, const HTTPURLResponse*) { result.results = r; },
        [&](const VTRError& e, const HTTPURLResponse*) { result.error = e; });
    return result;
}

TEST(SyncCallerTest, LateOutcomesAreDroppedAndTheNextCallWaitsForItsOwn) {
    auto scripted = std::make_unique<ScriptedCaller>();
    ScriptedCaller* inner = scripted.get();
    auto sync = std::make_unique<VTRRemoteMethodCaller_sync>(std::move(scripted), 50ms);

    for (int i = 0; i < 2; ++i) {
        Result timedOut = run(*sync);
        ASSERT_TRUE(timedOut.error);
        EXPECT_EQ(timedOut.error->domain(), VTRErrorDomain);
        EXPECT_EQ(timedOut.error->code(), 88);
        EXPECT_EQ(timedOut.error->localizedDescription(), "Operation timed out");
    }
    // The first call's answer arrives between calls, the second's while the third waits:
    // neither may end the third, whose own failure does.
    inner->callAt(0).success(VTRDictionary{{"response", "stale"}}, nullptr);
    sync->setWaitTimeout(600s);
    std::atomic<bool> done{false};
    Result third;
    std::thread caller([&] {
        third = run(*sync);
        done = true;
    });
    ASSERT_TRUE(test::waitUntil([&] { return inner->callCount() == 3; }));
    inner->callAt(1).success(VTRDictionary{{"response", "stale"}}, nullptr);
    inner->callAt(2).failure(VTRError(NSURLErrorDomain, -999), nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return done.load(); }));
    caller.join();
    ASSERT_TRUE(third.error);
    EXPECT_EQ(third.error->code(), -999);
    EXPECT_FALSE(third.results);
    // Meant for the AddressSanitizer run: an outcome after the wrapper is gone touches nothing
    // of it.
    ScriptedCaller::Call late = inner->callAt(0);
    sync.reset();
    late.success(VTRDictionary{{"response", "late"}}, nullptr);
    late.failure(VTRError(NSURLErrorDomain, -1001), nullptr);
}

// Under a low upload limit a request spends most of its time waiting for the bucket; that time
// does not count toward the wait time-out, the rest does.
TEST(SyncCallerTest, TimeWaitingForTheBandwidthLimitDoesNotCountAndAnEarlyOutcomeIsKept) {
    auto scripted = std::make_unique<ScriptedCaller>();
    ScriptedCaller* inner = scripted.get();
    VTRRemoteMethodCaller_sync sync(std::move(scripted), 500ms);
    std::atomic<bool> done{false};
    Result result;
    std::thread caller([&] {
        result = run(sync);
        done = true;
    });
    ASSERT_TRUE(test::waitUntil([&] { return sync.syncOperation() != nullptr; }));
    sync.syncOperation()->setThrottled(true);
    EXPECT_FALSE(test::waitUntil([&] { return done.load(); }, 1500ms)) << "timed out throttled";
    sync.syncOperation()->setThrottled(false);
    EXPECT_TRUE(test::waitUntil([&] { return done.load(); }, 5s)) << "never timed out";
    caller.join();
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code(), 88);
    EXPECT_EQ(inner->callCount(), 1u);

    // An outcome stored before the wait begins is not missed: with a long wait, passing this
    // test quickly shows the call did not sit out the deadline.
    inner->immediate = VTRDictionary{{"response", "now"}};
    sync.setWaitTimeout(600s);
    result = run(sync);
    EXPECT_EQ(result.results, (VTRDictionary{{"response", "now"}}));
}

}  // namespace
}  // namespace vtr
