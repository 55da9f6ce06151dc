// The request side of the SOAP client: documents, serializers, SOAPAction and MTOM framing,
// compared byte for byte with what the recording service expects.
#include <gtest/gtest.h>

#include <cstdlib>

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

TEST(SOAPSerializerTest, EscapesTheFiveCharactersOnceAndNothingElse) {
    EXPECT_EQ(VTRSOAPMethodCaller::serializeCharacters("&<>'\""), "&amp;&lt;&gt;&apos;&quot;");
    EXPECT_EQ(VTRSOAPMethodCaller::serializeCharacters("&amp;"), "&amp;amp;");
    std::string controls = "tab\there\x01 \xC3\xA9";
    EXPECT_EQ(VTRSOAPMethodCaller::serializeCharacters(controls), controls);
}

TEST(SOAPSerializerTest, NumbersAreBareAtTopLevelAndTypedInsideCollections) {
    VTRSOAPMethodCaller caller("http://tempuri.org/", "IWCFReceiver");
    VTRArray values{int32_t{7}, VTRValue(VTRArray{int32_t{7}, 2.5, uint64_t{9}})};
    std::string body = caller.createSOAPBody("M", {"a", "b"}, values, -1);
    EXPECT_NE(body.find("<a>7</a><b><int>7</int><double>2.5</double>9</b>"), std::string::npos)
        << body;
}

TEST(SOAPSerializerTest, NullOmitsTheParameterAndOthersKeepTheirOrder) {
    VTRSOAPMethodCaller caller("http://tempuri.org/", "IWCFReceiver");
    std::string body = caller.createSOAPBody("M", {"a", "b", "c"}, {"1", VTRNull{}, "3"}, -1);
    EXPECT_NE(body.find("<M xmlns=\"http://tempuri.org/\"><a>1</a><c>3</c></M>"), std::string::npos)
        << body;
    EXPECT_EQ(body.find("<b>"), std::string::npos);
}

TEST(SOAPSerializerTest, DictionariesGuidsAndSurplusValues) {
    VTRSOAPMethodCaller caller("http://tempuri.org/", "IWCFReceiver");
    VTRArray values{VTRValue(VTRDictionary{{"k", "v&"}}), VTRGuid("abc"), "dropped"};
    std::string body = caller.createSOAPBody("M", {"d", "g"}, values, -1);
    EXPECT_NE(
        body.find("<d><k>v&amp;</k></d><g>" + VTRGuid("abc").soapParameterValue() + "</g></M>"),
        std::string::npos)
        << body;
    EXPECT_EQ(body.find("dropped"), std::string::npos);
}

TEST(SOAPSerializerTest, OnlyTheLastByteBufferBecomesTheAttachment) {
    VTRArray values{VTRBytes{1}, "x", VTRBytes{2}};
    EXPECT_EQ(VTRSOAPMethodCaller::bufferIndex(values), 2);
    EXPECT_EQ(VTRSOAPMethodCaller::bufferIndex({}), -1);
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

TEST(HTTPClientTest, BaseURLGetsOneSlashAndPathsResolveBelowIt) {
    EXPECT_EQ(HTTPClient("http://h:1/a/b").baseURL(), "http://h:1/a/b/");
    EXPECT_EQ(HTTPClient("http://h:1/a/").baseURL(), "http://h:1/a/");
    EXPECT_EQ(HTTPClient("http://h:1").baseURL(), "http://h:1");
    HTTPClient client("http://h:1/a/b");
    EXPECT_EQ(client.URLForPath(""), "http://h:1/a/b/");
    EXPECT_EQ(client.URLForPath("c"), "http://h:1/a/b/c");
    EXPECT_EQ(client.URLForPath("/c"), "http://h:1/c");
    EXPECT_EQ(HTTPClient("http://h:1").URLForPath("c"), "http://h:1/c");
}

TEST(HTTPClientTest, AcceptLanguageStopsAtTheFirstQualityOfOneHalf) {
    EXPECT_EQ(HTTPClient::acceptLanguageForLanguages({"en-US"}), "en-US;q=1");
    EXPECT_EQ(HTTPClient::acceptLanguageForLanguages({"a", "b", "c", "d", "e", "f", "g", "h"}),
              "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
}

TEST(HTTPClientTest, DefaultHeadersComeFromTheEnvironmentAndTheSystem) {
    std::string saved = std::getenv("LANGUAGE") ? std::getenv("LANGUAGE") : "";
    setenv("LANGUAGE", "de_DE.UTF-8:fr", 1);
    EXPECT_EQ(HTTPClient::defaultAcceptLanguage(), "de-DE;q=1, fr;q=0.9");
    setenv("LANGUAGE", saved.c_str(), 1);
    std::string agent = HTTPClient::defaultUserAgent();
    EXPECT_NE(agent.find("/1.0.0 (Linux "), std::string::npos) << agent;
    EXPECT_EQ(agent.back(), ')');
}

}  // namespace
}  // namespace vtr
