// The request side of the SOAP client: documents, serializers, SOAPAction and MTOM framing,
// compared byte for byte with what the recording service expects.
#include <gtest/gtest.h>

#include <tuple>

#include "httpclient/HTTPClient.h"
#include "soap/VTRSOAPMethodCaller.h"

namespace vtr {
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

TEST_F(SOAPRequestTest, ChunkSizeIsAPlainRequestWithAnEmptyMethodElement) {
    HTTPRequest r = request("ChunkSize", {}, {});
    EXPECT_EQ(r.HTTPMethod(), "POST");
    EXPECT_EQ(r.URL(), "http://127.0.0.1:8080/upload/Service.svc/");
    EXPECT_EQ(r.body().joined(), document("<ChunkSize xmlns=\"http://tempuri.org/\"></ChunkSize>"));
    EXPECT_EQ(*r.valueForHTTPHeaderField("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(*r.valueForHTTPHeaderField("SOAPAction"),
              "\"http://tempuri.org/IWCFReceiver/ChunkSize\"");
    EXPECT_EQ(r.valueForHTTPHeaderField("Content-Length"), nullptr);  // left to the transport
    EXPECT_NE(r.valueForHTTPHeaderField("User-Agent"), nullptr);
    EXPECT_NE(r.valueForHTTPHeaderField("Accept-Language"), nullptr);
    EXPECT_EQ(r.timeoutInterval(), std::chrono::seconds(60));
}

TEST_F(SOAPRequestTest, VerifyFileAndTryCloseFileSendSessionFirst) {
    HTTPRequest verify = request("VerifyFile", {"sessionID", "fileName", "checksum"},
                                 {"S-1", "clip 1.mov", "1B2M2Y8AsgTpgAmY7PhCfg=="});
    EXPECT_EQ(verify.body().joined(),
              document("<VerifyFile xmlns=\"http://tempuri.org/\"><sessionID>S-1</sessionID>"
                       "<fileName>clip 1.mov</fileName>"
                       "<checksum>1B2M2Y8AsgTpgAmY7PhCfg==</checksum></VerifyFile>"));
    EXPECT_EQ(*verify.valueForHTTPHeaderField("SOAPAction"),
              "\"http://tempuri.org/IWCFReceiver/VerifyFile\"");

    HTTPRequest close = request("TryCloseFile", {"sessionID", "fileName"}, {"S-1", "clip.mov"});
    EXPECT_EQ(close.body().joined(),
              document("<TryCloseFile xmlns=\"http://tempuri.org/\"><sessionID>S-1</sessionID>"
                       "<fileName>clip.mov</fileName></TryCloseFile>"));
    EXPECT_EQ(*close.valueForHTTPHeaderField("SOAPAction"),
              "\"http://tempuri.org/IWCFReceiver/TryCloseFile\"");
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

TEST(SOAPSerializerTest, NamespaceJoining) {
    std::string ext = "IWCFReceiver", method = "UploadChunk", empty;
    EXPECT_EQ(VTRSOAPMethodCaller::combineNamespace("http://tempuri.org/", &ext, &method),
              "http://tempuri.org/IWCFReceiver/UploadChunk");
    EXPECT_EQ(VTRSOAPMethodCaller::combineNamespace("http://tempuri.org", nullptr, nullptr),
              "http://tempuri.org/");
    EXPECT_EQ(VTRSOAPMethodCaller::combineNamespace("http://tempuri.org//", &ext, &empty),
              "http://tempuri.org/IWCFReceiver/");
    // Configured without a trailing slash: the method element gets one, the envelope keeps it.
    VTRSOAPMethodCaller caller("urn:x:y", "IWCFReceiver");
    std::string body = caller.createSOAPBody("M", {}, {}, -1);
    EXPECT_NE(body.find(" xmlns=\"urn:x:y\"><soap:Body><M xmlns=\"urn:x:y/\"></M>"),
              std::string::npos)
        << body;
}

}  // namespace
}  // namespace vtr
