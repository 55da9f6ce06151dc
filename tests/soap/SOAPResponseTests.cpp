// The response side of the SOAP client: the accumulator's tree shapes, boundary extraction and
// result extraction from plain and multipart bodies, including bodies too short or malformed
// to hold what they claim (run these under AddressSanitizer).
#include <gtest/gtest.h>

#include "soap/MTOMBoundary.h"
#include "soap/VTRSOAPMethodCaller.h"
#include "soap/VTRSOAPXMLAccumulator.h"
#include "support/TestSupport.h"

namespace vtr {

void PrintTo(const VTRValue& value, std::ostream* out) {
    *out << value.description();
}

namespace {

std::optional<VTRDictionary> accumulate(const std::string& xml, const std::string& method = "M") {
    VTRSOAPXMLAccumulator accumulator(method + "Response", method + "Result");
    accumulator.parse(xml);
    return accumulator.finalValue();
}

std::string envelope(const std::string& inner) {
    return "<?xml version=\"1.0\"?><s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<s:Header><Other>h</Other></s:Header>"
           "<s:Body>" +
           inner + "</s:Body></s:Envelope>";
}

const VTRValue& responseOf(const std::optional<VTRDictionary>& value) {
    static const VTRValue missing;
    const VTRValue* response = value ? find(*value, "response") : nullptr;
    return response ? *response : missing;
}

TEST(SOAPXMLAccumulatorTest, NoResponseElementGivesNothing) {
    EXPECT_FALSE(accumulate(envelope("<OtherResponse><OtherResult>1</OtherResult></OtherResponse>"))
                     .has_value());
    EXPECT_FALSE(accumulate("<html><body>Server Error</body></html>").has_value());
    EXPECT_FALSE(accumulate("").has_value());
    // Names are compared as written: a prefixed response element is another element.
    EXPECT_FALSE(accumulate(envelope("<ns:MResponse><ns:MResult>1</ns:MResult></ns:MResponse>"))
                     .has_value());
}

TEST(SOAPXMLAccumulatorTest, ShapesOfTheResponseElement) {
    // Text result: whole tree, before the caller reduces it.
    auto text = accumulate("<MResponse><MResult>ok</MResult></MResponse>");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 1u);
    EXPECT_EQ(responseOf(text), VTRValue(VTRDictionary{{"MResult", "ok"}}));

    // Empty result element; empty response element; whitespace-only response element.
    EXPECT_EQ(responseOf(accumulate("<MResponse><MResult/></MResponse>")),
              VTRValue(VTRDictionary{{"MResult", VTRValue(VTRDictionary{})}}));
    EXPECT_EQ(responseOf(accumulate("<MResponse></MResponse>")), VTRValue(VTRDictionary{}));
    EXPECT_EQ(responseOf(accumulate("<MResponse> \n\t</MResponse>")), VTRValue(" \n\t"));

    // Repeated children become an array in document order; text beside children is dropped;
    // children that contribute nothing vanish; attributes never count.
    auto nested = accumulate(
        "<MResponse>\n <MResult a=\"1\">lead<i>1</i><i>2</i><j>x</j><k/><e><z/></e></MResult>"
        "</MResponse>");
    const VTRValue* result = responseOf(nested).find("MResult");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(*result, VTRValue(VTRDictionary{{"i", VTRValue(VTRArray{"1", "2"})},
                                              {"j", "x"},
                                              {"e", VTRValue(VTRDictionary{})}}));
}

TEST(SOAPXMLAccumulatorTest, TextSplitByEntitiesJoinsAndLaterElementsChangeNothing) {
    auto value =
        accumulate(envelope("<MResponse><MResult>a &amp; b &lt;c&gt;</MResult></MResponse>"
                            "<MResponse><MResult>second</MResult></MResponse>"));
    EXPECT_EQ(responseOf(value), VTRValue(VTRDictionary{{"MResult", "a & b <c>"}}));
}

TEST(SOAPXMLAccumulatorTest, MalformedXMLInsideOrAfterTheResponse) {
    test::ScopedLogCapture capture;
    // Broken inside: the response element never completes, so the root has no entries.
    auto inside = accumulate("<MResponse><MResult>1</Oops></MResponse>");
    ASSERT_TRUE(inside);
    EXPECT_TRUE(inside->empty());
    EXPECT_TRUE(capture.contains("XML parsing error occurred"));
    EXPECT_TRUE(capture.contains("-[VTRSOAPXMLAccumulator parser:parseErrorOccurred:]"));
    // Broken after: the completed response stands.
    auto after = accumulate("<r><MResponse><MResult>1</MResult></MResponse><<<");
    EXPECT_EQ(responseOf(after), VTRValue(VTRDictionary{{"MResult", "1"}}));
}

TEST(MTOMBoundaryTest, FindsTheParameterWithOrWithoutQuotes) {
    std::string quoted =
        "multipart/related; type=\"application/xop+xml\"; boundary=\"uuid:a-b\"; start=\"<x>\"";
    EXPECT_EQ(MTOMBoundary(&quoted), "uuid:a-b");
    std::string last = "multipart/related;type=\"application/xop+xml\";boundary=Boundary+0xAb";
    EXPECT_EQ(MTOMBoundary(&last), "Boundary+0xAb");
    std::string none = "text/xml; charset=utf-8";
    EXPECT_EQ(MTOMBoundary(&none), std::nullopt);
    std::string capital = "multipart/related; Boundary=abc";
    EXPECT_EQ(MTOMBoundary(&capital), std::nullopt);
    EXPECT_EQ(MTOMBoundary(nullptr), std::nullopt);
}

std::string multipart(const std::string& boundary, const std::string& xml) {
    return "--" + boundary + "\r\nContent-ID: <root>\r\nContent-Type: application/xop+xml\r\n\r\n" +
           xml + "\r\n--" + boundary + "--\r\n";
}

TEST(SOAPResultsTest, PlainAndMultipartResultsReduceToTheResultText) {
    VTRError error(VTRErrorDomain, 1);
    std::string xml = envelope(
        "<ChunkSizeResponse xmlns=\"http://tempuri.org/\">"
        "<ChunkSizeResult>1048576</ChunkSizeResult></ChunkSizeResponse>");
    auto plain =
        VTRSOAPMethodCaller::soapResultsFromData(xml, "ChunkSize", std::nullopt, false, &error);
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, (VTRDictionary{{"response", "1048576"}}));
    EXPECT_EQ(error.code(), 0);  // cleared on success

    auto mtom = VTRSOAPMethodCaller::soapResultsFromData(multipart("b1", xml), "ChunkSize",
                                                         std::string("b1"), false, nullptr);
    ASSERT_TRUE(mtom);
    EXPECT_EQ(*mtom, (VTRDictionary{{"response", "1048576"}}));
}

TEST(SOAPResultsTest, EmptyResultIsTheNullMarkerAndEmptyResponseTheEmptyDictionary) {
    auto empty = VTRSOAPMethodCaller::soapResultsFromData(
        "<UploadChunkResponse><UploadChunkResult/></UploadChunkResponse>", "UploadChunk",
        std::nullopt, false, nullptr);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(find(*empty, "response")->isNull());

    auto bare =
        VTRSOAPMethodCaller::soapResultsFromData("<XResponse/>", "X", std::nullopt, false, nullptr);
    ASSERT_TRUE(bare);
    EXPECT_EQ(*find(*bare, "response"), VTRValue(VTRDictionary{}));
}

TEST(SOAPResultsTest, UnusableBodiesGiveCode87WithTheBody) {
    struct Case {
        std::string body;
        std::optional<std::string> boundary;
    };
    std::string xml = "<MResponse><MResult>1</MResult></MResponse>";
    std::vector<Case> cases{
        {"<html><body>500</body></html>", std::nullopt},          // HTML page
        {"<OtherResponse/>", std::nullopt},                       // another method
        {"", std::nullopt},                                       // nothing at all
        {"", std::string("B")},                                   // empty multipart
        {"--B\r\nX: y\r\n", std::string("B")},                    // no empty line
        {"\r\n\r\n", std::string("Boundary")},                    // shorter than the trailer
        {"--B\r\n\r\n" + xml.substr(0, 5), std::string("B")},     // truncated part
        {std::string("\0\xff\r\n\r\n\x01", 7), std::string("")},  // garbage
        {multipart("B", xml).substr(0, 20), std::string("B")},    // cut inside the headers
    };
    for (const Case& c : cases) {
        VTRError error;
        auto results =
            VTRSOAPMethodCaller::soapResultsFromData(c.body, "M", c.boundary, false, &error);
        EXPECT_FALSE(results) << c.body;
        EXPECT_EQ(error.domain(), VTRErrorDomain);
        EXPECT_EQ(error.code(), 87);
        EXPECT_EQ(error.localizedDescription(), "Webservice failure");
        EXPECT_EQ(error.localizedFailureReason(), "Failed to parse server response for method M");
        EXPECT_NE(find(error.userInfo(), VTRResponseBodyKey), nullptr);
    }
}

TEST(SOAPResultsTest, MultipartBodyBoundsAreExact) {
    std::string xml = "<MResponse><MResult>1</MResult></MResponse>";
    // The closing delimiter plus one more CRLF leaves CR LF after the XML.
    EXPECT_EQ(VTRSOAPMethodCaller::bodyDataFromResponse(multipart("B", xml), std::string("B")),
              xml + "\r\n");
    // Exactly the header block and the trailer: an empty XML part, not a read past the end.
    EXPECT_EQ(VTRSOAPMethodCaller::bodyDataFromResponse("h\r\n\r\n\r\n--B--", std::string("B")),
              std::string(""));
    EXPECT_EQ(VTRSOAPMethodCaller::bodyDataFromResponse("h\r\n\r\n--B--", std::string("B")),
              std::nullopt);
}

}  // namespace
}  // namespace vtr
