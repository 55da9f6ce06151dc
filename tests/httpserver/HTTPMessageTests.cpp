// The server's pure parts: the request line and field parser, the request reader (framing rules,
// limits and chunked decoding, with the input cut into pieces of every size a socket could
// deliver), the JSON response, and the peer check against socket tables written by the test,
// every verdict (the server tests check it against this machine's own tables).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "RequestReaderDriver.h"
#include "foundation/VTRError.h"
#include "httpserver/HTTPMessage.h"
#include "httpserver/HTTPSocketOwner.h"
#include "httpserver/VTRJSONResponse.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

TEST(HTTPMessageTest, ParsesRequestLineAndFieldsCaseInsensitivelyAndRefusesMalformedLines) {
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

    for (const char* line : {"GET /", "GET  HTTP/1.1", "GET / HTTP/x.1", "GET / FTP/1.0",
                             "G(T / HTTP/1.1", "GET /a\x01 HTTP/1.1", "GET / HTTP/1.1 extra"}) {
        HTTPMessage malformed;
        EXPECT_FALSE(malformed.appendHeaderLine(line)) << line;
    }
    for (const char* field :
         {"NoColon", ": empty-name", "Bad Name: x", " folded: x", "Ctl: a\x01z"}) {
        HTTPMessage malformed;
        ASSERT_TRUE(malformed.appendHeaderLine("GET / HTTP/1.1"));
        EXPECT_FALSE(malformed.appendHeaderLine(field)) << field;
    }
    HTTPMessage other;
    EXPECT_TRUE(other.appendHeaderLine("GET / HTTP/2.0")) << "other versions parse (505 later)";
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

// ---- the peer check

// `host`:`port` as a socket address, and as the kernel's socket tables list it: each 32-bit word
// of the address printed as a number in the machine's byte order, then the port.
std::pair<sockaddr_storage, std::string> endpoint(const std::string& host, uint16_t port) {
    sockaddr_storage storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    bool v6 = host.find(':') != std::string::npos;
    storage.ss_family = v6 ? AF_INET6 : AF_INET;
    (v6 ? in6->sin6_port : in->sin_port) = htons(port);
    void* address = v6 ? static_cast<void*>(&in6->sin6_addr) : &in->sin_addr;
    inet_pton(storage.ss_family, host.c_str(), address);
    std::string listed;
    for (int word = 0; word < (v6 ? 4 : 1); ++word)
        listed += fmt::format("{:08X}", static_cast<const uint32_t*>(address)[word]);
    return {storage, listed + fmt::format(":{:04X}", port)};
}

std::string tableAddress(const std::string& host, uint16_t port) {
    return endpoint(host, port).second;
}

// A table line for the socket at `own` connected to `remote`.
std::string tableLine(const std::string& own, const std::string& remote, const char* state,
                      const std::string& uid, uint64_t inode) {
    return fmt::format(
        "   0: {} {} {} 00000000:00000000 00:00000000 00000000 {:>5} 0 {} 1 "
        "0000000000000000 20 4 30 10 -1\n",
        own, remote, state, uid, inode);
}

TEST(HTTPSocketOwnerTest, OnlyOneConnectedHeldEntryOfTheAllowedUserOrRootAdmits) {
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    const std::string server4 = tableAddress("127.0.0.1", 8080);
    const std::string peer4 = tableAddress("127.0.0.1", 50000);
    const std::string mappedServer = tableAddress("::ffff:127.0.0.1", 8080);
    const std::string mappedPeer = tableAddress("::ffff:127.0.0.1", 50000);
    auto peerLine = [&](const char* state, const char* uid, uint64_t inode) {
        return tableLine(peer4, server4, state, uid, inode);
    };
    // The server's side of the same connection: never to be taken for the peer's.
    const std::string serverSide = tableLine(server4, peer4, "01", "0", 77);
    const std::string allowed = peerLine("01", "1000", 88);
    const std::optional<std::string> absent;
    struct Case {
        const char* name;
        std::optional<std::string> tcp;  // nothing: the table does not exist
        std::optional<std::string> tcp6;
        HTTPPeerVerdict verdict;
        uint32_t userID;
        const char* peerHost = "127.0.0.1";
    };
    using enum HTTPPeerVerdict;
    const Case cases[] = {
        {"the allowed user", serverSide + allowed, "", Admitted, 1000},
        {"root, connected and held", peerLine("01", "0", 88), "", Admitted, 0},
        {"another user", peerLine("01", "1001", 88), "", OtherUser, 1001},
        {"only the server's side", serverSide, "", NoEntry, 0},
        {"the peer's port connected elsewhere",
         tableLine(peer4, tableAddress("127.0.0.1", 8081), "01", "1000", 88), "", NoEntry, 0},
        {"two matching lines", allowed + allowed, "", SeveralEntries, 0},
        {"a line in each table", allowed, tableLine(mappedPeer, mappedServer, "01", "1000", 89),
         SeveralEntries, 0},
        {"connected but held by no process", peerLine("01", "1000", 0), "", NotHeld, 0},
        {"TIME_WAIT, listed as root", peerLine("06", "0", 0), "", NotConnected, 0},
        {"FIN_WAIT1, still held", peerLine("04", "1000", 88), "", NotConnected, 0},
        {"a user that is not a number", peerLine("01", "x", 88), "", Unreadable, 0},
        {"no tables", absent, absent, Unreadable, 0},
        {"an IPv6 peer, no IPv4 table", absent,
         tableLine(tableAddress("::1", 40000), tableAddress("::1", 8080), "01", "1000", 88),
         Admitted, 1000, "::1"},
        {"a dual-stack peer listed IPv4-mapped", "",
         tableLine(mappedPeer, mappedServer, "01", "0", 88), Admitted, 0},
        // A table that exists but cannot be read counts against the peer, whatever the other says.
        {"an unreadable table", std::nullopt, tableLine(mappedPeer, mappedServer, "01", "1000", 88),
         Unreadable, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir tables;
        if (c.tcp) test::writeFile(tables.file("tcp"), header + *c.tcp);
        if (c.tcp6) test::writeFile(tables.file("tcp6"), header + *c.tcp6);
        if (std::string(c.name) == "an unreadable table")
            std::filesystem::create_directory(tables.file("tcp"));
        bool v6 = std::string(c.peerHost) == "::1";
        auto peer = endpoint(c.peerHost, v6 ? 40000 : 50000).first;
        auto server = endpoint(c.peerHost, 8080).first;
        HTTPPeerCheck check = HTTPCheckPeerUser(tables.path(), reinterpret_cast<sockaddr*>(&peer),
                                                reinterpret_cast<sockaddr*>(&server), 1000);
        EXPECT_EQ(check.verdict, c.verdict);
        // The listed user means something only for these two.
        EXPECT_EQ(c.verdict == Admitted || c.verdict == OtherUser ? check.userID : 0u, c.userID);
    }
}

}  // namespace
}  // namespace vtr
