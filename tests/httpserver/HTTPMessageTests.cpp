// The request parser, the response header writer and the three response classes.
#include <gtest/gtest.h>

#include "foundation/VTRError.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPErrorResponse.h"
#include "httpserver/HTTPMessage.h"
#include "httpserver/VTRJSONResponse.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

TEST(HTTPMessageTest, ParsesRequestLineAndFieldsCaseInsensitively) {
    HTTPMessage request;
    EXPECT_TRUE(request.appendHeaderLine("PUT /jobs/a%20b?x=1 HTTP/1.1"));
    EXPECT_TRUE(request.appendHeaderLine("content-length:  12 "));
    EXPECT_TRUE(request.appendHeaderLine("X-Many: a"));
    EXPECT_TRUE(request.appendHeaderLine("x-many: b"));
    EXPECT_FALSE(request.isHeaderComplete());
    EXPECT_TRUE(request.appendHeaderLine(""));
    EXPECT_TRUE(request.isHeaderComplete());

    EXPECT_EQ(request.method(), "PUT");
    EXPECT_EQ(request.url(), "/jobs/a%20b?x=1");
    EXPECT_EQ(request.version(), "HTTP/1.1");
    EXPECT_EQ(request.headerField("Content-Length"), "12");
    EXPECT_EQ(request.headerField("X-MANY"), "a, b");
    EXPECT_EQ(request.headerField("Absent"), std::nullopt);
    // Nothing more belongs to a complete header.
    EXPECT_FALSE(request.appendHeaderLine("Late: field"));
}

TEST(HTTPMessageTest, RefusesMalformedLines) {
    for (const char* line : {"GET /", "GET  HTTP/1.1", "GET / HTTP/x.1", "GET / FTP/1.0",
                             "G(T / HTTP/1.1", "GET /a\x01 HTTP/1.1", "GET / HTTP/1.1 extra"}) {
        HTTPMessage request;
        EXPECT_FALSE(request.appendHeaderLine(line)) << line;
    }
    for (const char* field :
         {"NoColon", ": empty-name", "Bad Name: x", " folded: x", "Ctl: a\x01z"}) {
        HTTPMessage request;
        ASSERT_TRUE(request.appendHeaderLine("GET / HTTP/1.1"));
        EXPECT_FALSE(request.appendHeaderLine(field)) << field;
    }
    HTTPMessage request;
    EXPECT_TRUE(request.appendHeaderLine("GET / HTTP/2.0")) << "other versions parse (505 later)";
}

TEST(HTTPMessageTest, WritesResponseHeaderReplacingFieldsInPlace) {
    HTTPMessage response(404, {}, HTTPVersion1_1);
    response.setHeaderField("Content-Length", "0");
    response.setHeaderField("Accept-Ranges", "bytes");
    response.setHeaderField("accept-ranges", "none");
    // The first spelling of a name stays, with the last value.
    EXPECT_EQ(response.messageData(),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nAccept-Ranges: none\r\n\r\n");
    EXPECT_EQ(HTTPMessage::reasonPhrase(505), "HTTP Version Not Supported");
    EXPECT_EQ(HTTPMessage::reasonPhrase(799), "Unknown");
}

TEST(HTTPResponseTest, DataResponseReadsInPiecesWithoutRunningPastTheEnd) {
    HTTPDataResponse response("abcdefg");
    EXPECT_EQ(response.contentLength(), 7u);
    EXPECT_EQ(response.readDataOfLength(3), "abc");
    EXPECT_EQ(response.offset(), 3u);
    EXPECT_FALSE(response.isDone());
    EXPECT_EQ(response.readDataOfLength(100), "defg");
    EXPECT_TRUE(response.isDone());
    EXPECT_EQ(response.readDataOfLength(5), "");
    response.setOffset(1);
    EXPECT_EQ(response.readDataOfLength(2), "bc");
    response.setOffset(1000);
    EXPECT_TRUE(response.isDone());
    EXPECT_EQ(response.readDataOfLength(10), "");

    HTTPDataResponse empty("");
    EXPECT_TRUE(empty.isDone());
    EXPECT_EQ(empty.status(), 200);
}

TEST(VTRJSONResponseTest, WritesCompactJSONWithItsContentType) {
    VTRDictionary job{{"id", "a\"b\\c\n\x01/é"},
                      {"bytes", int64_t{5000000000}},
                      {"done", true},
                      {"ratio", 0.5},
                      {"nothing", VTRNull{}},
                      {"files", VTRArray{VTRValue(uint32_t{1}), VTRValue(VTRArray{})}}};
    VTRJSONResponse response(VTRValue(job), 201);
    EXPECT_EQ(response.description(),
              "{\"bytes\":5000000000,\"done\":true,\"files\":[1,[]],\"id\":\"a\\\"b\\\\c\\n"
              "\\u0001/é\",\"nothing\":null,\"ratio\":0.5}");
    EXPECT_EQ(response.status(), 201);
    EXPECT_EQ(response.statusCode(), 201);
    ASSERT_EQ(response.httpHeaders().size(), 1u);
    EXPECT_EQ(response.httpHeaders()[0],
              std::make_pair(std::string("Content-Type"), std::string("application/json")));

    VTRJSONResponse emptyArray(VTRValue(VTRArray{}));
    EXPECT_EQ(emptyArray.description(), "[]");
    EXPECT_EQ(emptyArray.contentLength(), 2u);
    EXPECT_EQ(emptyArray.status(), 200);
}

TEST(VTRJSONResponseTest, ValueWithoutJSONFormGivesEmptyBodyAndWarning) {
    test::ScopedLogCapture capture;
    VTRJSONResponse absent(std::nullopt, 500);
    EXPECT_EQ(absent.contentLength(), 0u);
    EXPECT_EQ(absent.status(), 500);
    EXPECT_TRUE(capture.contains("Unable to create JSON data for object: (null)"));

    const VTRValue unwritable[] = {
        VTRValue(VTRBytes{1, 2}),
        VTRValue(std::numeric_limits<double>::infinity()),
        VTRValue(std::string("bad \xC3\x28 utf8")),
        VTRValue(std::string("surrogate \xED\xA0\x80")),
        VTRValue(VTRDictionary{{"inner", VTRValue(VTRError("D", 1))}}),
    };
    for (const VTRValue& value : unwritable) {
        VTRJSONResponse response(value, 200);
        EXPECT_EQ(response.description(), "") << value.description();
        EXPECT_EQ(response.status(), 200);
        EXPECT_FALSE(VTRJSONResponse::JSONData(value).has_value());
    }
    EXPECT_TRUE(capture.containsPart("Unable to create JSON data for object: "));
}

}  // namespace
}  // namespace vtr
