// The server's pure parts: the request line and field parser, the request reader (framing rules,
// limits and chunked decoding, with the input cut into pieces of every size a socket could
// deliver), and the JSON response.
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "RequestReaderDriver.h"
#include "foundation/VTRError.h"
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

TEST(VTRJSONResponseTest, WritesCompactJSONOrAnEmptyBodyWithAWarning) {
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
    EXPECT_EQ(response.httpHeaders(), (HTTPHeaderList{{"Content-Type", "application/json"}}));

    test::ScopedLogCapture capture;
    VTRJSONResponse absent(std::nullopt, 500);
    EXPECT_EQ(absent.contentLength(), 0u);
    EXPECT_TRUE(capture.contains("Unable to create JSON data for object: (null)"));
    // Text that is not UTF-8 is refused too (proved beside the job form's own writer).
    const VTRValue unwritable[] = {
        VTRValue(VTRBytes{1, 2}),
        VTRValue(std::numeric_limits<double>::infinity()),
        VTRValue(VTRDictionary{{"inner", VTRValue(VTRError("D", 1))}}),
    };
    for (const VTRValue& value : unwritable) {
        EXPECT_EQ(VTRJSONResponse(value, 200).description(), "") << value.description();
        EXPECT_FALSE(VTRJSONResponse::JSONData(value).has_value());
    }
    EXPECT_TRUE(capture.containsPart("Unable to create JSON data for object: "));
}

// The reader's output for `wire` fed in pieces of `split` bytes, with POST and PUT taking a body
// and every method supported; every step must keep the driver's invariants.
std::vector<std::string> transcript(const std::string& wire, size_t split, uint64_t limit) {
    test::RequestReaderDriver driver(
        wire, limit, 5,
        {[split] { return split; },
         [](const std::string& method) { return method == "POST" || method == "PUT"; },
         [](const char* what) { ADD_FAILURE() << "broken invariant: " << what; }});
    return driver.run();
}

std::string request(const std::string& line, const std::string& fields) {
    return line + "\r\n" + fields + "\r\n";
}

TEST(HTTPRequestReaderTest, EventsDoNotDependOnHowTheInputIsCut) {
    const std::string chunked = "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string fields;
    for (int i = 0; i < 99; ++i) fields += fmt::format("X-{}: v\r\n", i);
    auto line = [](size_t total) { return "X-Long: " + std::string(total - 10, 'a') + "\r\n"; };
    std::string footers;
    for (int i = 0; i < 98; ++i) footers += "X-Footer: yes\r\n";
    const std::string many = "0\r\n" + footers;
    const std::string unparsable =
        "error 400 Unable to parse Content-Length header into a valid number";
    struct Case {
        std::string wire;
        std::vector<std::string> events;
        uint64_t limit = 0;
    };
    const Case cases[] = {
        // Pipelined requests in both framings; chunk extensions and footers are skipped.
        {request("GET /a HTTP/1.1", "") + request("PUT /e HTTP/1.1", "Content-Length: 5\r\n") +
             "first" + request("POST /e HTTP/1.1", "Transfer-Encoding: Chunked\r\n") +
             "3;ext=1\r\nsec\r\n4 \r\nond!\r\n0\r\nX-Footer: yes\r\n\r\n" +
             request("GET /b HTTP/1.0", "Content-Length: 0\r\n"),
         {"GET /a", "done", "PUT /e", "body first", "done", "POST /e", "body second!", "done",
          "GET /b", "done"}},
        // Line limits: 100 lines, 8190 bytes with CRLF; beyond them nothing is answered.
        {request("GET / HTTP/1.1", fields), {"GET /", "done"}},
        {request("GET / HTTP/1.1", fields + "X-One-Too-Many: v\r\n"), {"error 0 "}},
        {request("GET / HTTP/1.1", line(8190)), {"GET /", "done"}},
        {request("GET / HTTP/1.1", line(8191)), {"error 0 "}},
        {"GET /" + std::string(9000, 'p'), {"error 0 "}},
        {chunked + std::string(250, '0'), {"POST /c", "error 0 "}},
        {chunked + many + "\r\n", {"POST /c", "done"}},
        {chunked + many + "X-Footer: no\r\n", {"POST /c", "error 0 "}},
        // Malformed input.
        {"this is not http\r\n\r\n", {"error 400 Malformed request"}},
        {chunked + "zz\r\n",
         {"POST /c", "error 400 Method expects chunk size, but received something else"}},
        {chunked + "3\r\nabcX\r\n",
         {"POST /c", "body abc", "error 400 Method expects chunk trailer, but is missing"}},
        // How a body is announced.
        {request("POST /p HTTP/1.1", ""),
         {"POST /p", "error 400 Method expects request body, but had no specified Content-Length"}},
        {request("GET /g HTTP/1.1", "Content-Length: 5\r\n"),
         {"GET /g", "error 400 Method not expecting request body had non-zero Content-Length"}},
        {request("GET /g HTTP/1.1", "Content-Length: abc\r\n"), {"GET /g", unparsable}},
        {request("PUT /p HTTP/1.1", "Content-Length: -3\r\n"), {"PUT /p", unparsable}},
        {request("PUT /p HTTP/1.1", "Content-Length: 99999999999999999999999\r\n"),
         {"PUT /p", unparsable}},
        {request("GET /g HTTP/1.1", "Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n",
         {"GET /g", "error 400 Method not expecting request body had Transfer-Encoding"}},
        {request("PUT /p HTTP/1.1", "Transfer-Encoding: gzip\r\n") + "hello",
         {"PUT /p", "error 501 gzip"}},
        {request("PUT /p HTTP/1.1", "Transfer-Encoding: gzip, chunked\r\n"),
         {"PUT /p", "error 501 gzip, chunked"}},
        {request("PUT /p HTTP/1.1", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"),
         {"PUT /p", "error 501 chunked, chunked"}},
        {request("PUT /p HTTP/1.1", "Transfer-Encoding: identity\r\nContent-Length: 5\r\n"),
         {"PUT /p", "error 501 identity"}},
        // The body limit: a counted body is refused unread, a chunked one once its chunk sizes
        // add up past it (the size line alone decides).
        {request("PUT /p HTTP/1.1", "Content-Length: 10\r\n") + "0123456789",
         {"PUT /p", "body 0123456789", "done"},
         10},
        {request("PUT /p HTTP/1.1", "Content-Length: 11\r\n") + "0123456789a",
         {"PUT /p", "error 413 "},
         10},
        {request("PUT /p HTTP/1.1", "Content-Length: 18446744073709551614\r\n"),
         {"PUT /p", "error 413 "},
         10},
        {chunked + "6\r\n012345\r\n4\r\n6789\r\n0\r\n\r\n",
         {"POST /c", "body 0123456789", "done"},
         10},
        {chunked + "6\r\n012345\r\n5\r\n6789a\r\n0\r\n\r\n",
         {"POST /c", "body 012345", "error 413 "},
         10},
        {chunked + "b\r\n", {"POST /c", "error 413 "}, 10},
    };
    for (const Case& c : cases) {
        for (size_t split : {c.wire.size(), size_t{1}, size_t{3}, size_t{4096}}) {
            EXPECT_EQ(transcript(c.wire, split, c.limit), c.events)
                << c.wire.substr(0, 80) << " in pieces of " << split;
        }
    }
}

}  // namespace
}  // namespace vtr
