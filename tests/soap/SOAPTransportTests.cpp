// The SOAP client over real sockets on 127.0.0.1 against a scripted server: what goes on the
// wire, status errors with the server's error code, transport errors and their codes, the
// synchronous wait and cancels from another thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "SOAPCall.h"
#include "ScriptedHTTPServer.h"
#include "support/LoopbackHTTP.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::ScriptedHTTPServer;
using Reply = ScriptedHTTPServer::Reply;
using namespace std::chrono_literals;

using Outcome = test::SOAPOutcome;
using test::callSOAP;
using test::makeSOAPCaller;

Reply answer(int status, std::string body,
             std::vector<std::pair<std::string, std::string>> headers = {}) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.headers = std::move(headers);
    return reply;
}

Reply action(Reply::Action what) {
    Reply reply;
    reply.action = what;
    return reply;
}

TEST(SOAPTransportTest, UploadChunkGoesOutByteForByteAndItsResultComesBack) {
    ScriptedHTTPServer server([](const auto&, size_t) {
        return answer(200, ScriptedHTTPServer::soapResponse("UploadChunk", "HASH=="),
                      {{"Content-Type", "text/xml; charset=utf-8"}});
    });
    auto caller = makeSOAPCaller(server.url("/upload/Service.svc"));
    std::string chunk = test::randomBytes(300000, 7);
    chunk.replace(0, 6, std::string("\r\n\0\xff\x80-", 6));
    Outcome outcome =
        callSOAP(*caller, "UploadChunk", {"sessionID", "fileName", "buffer", "offset"},
                 {"S", "f.mov", VTRBytes(chunk.begin(), chunk.end()), uint64_t{42}});

    ASSERT_TRUE(outcome.results) << (outcome.error ? outcome.error->description() : "");
    EXPECT_EQ(*outcome.results, (VTRDictionary{{"response", "HASH=="}}));
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode(), 200);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.head.substr(0, request.head.find("\r\n")),
              "POST /upload/Service.svc/ HTTP/1.1");
    EXPECT_EQ(request.headers("Content-Length").size(), 1u);
    EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
    EXPECT_EQ(request.header("SOAPAction"), "\"http://tempuri.org/IWCFReceiver/UploadChunk\"");
    EXPECT_EQ(request.header("Content-Type").rfind("multipart/related;type=", 0), 0u);
    EXPECT_TRUE(request.headers("Expect").empty());
    EXPECT_NE(request.header("User-Agent").find("(Linux "), std::string::npos);
    EXPECT_FALSE(request.header("Accept-Language").empty());
    EXPECT_EQ(request.body.rfind("--Boundary+0xAbCdEfGbOuNdArY\r\n", 0), 0u);
    EXPECT_NE(request.body.find("<offset>42</offset>"), std::string::npos);
    std::string tail = "\r\n--Boundary+0xAbCdEfGbOuNdArY--\r\n";
    ASSERT_GT(request.body.size(), tail.size() + chunk.size());
    EXPECT_EQ(request.body.substr(request.body.size() - tail.size()), tail);
    EXPECT_EQ(request.body.substr(request.body.size() - tail.size() - chunk.size(), chunk.size()),
              chunk);
}

TEST(SOAPTransportTest, ServerErrorStatusCarriesTheServerErrorCode) {
    ScriptedHTTPServer server([](const auto&, size_t index) {
        std::vector<std::pair<std::string, std::string>> headers{{"Content-Type", "text/xml"}};
        headers.emplace_back("X-VTRErrorCode", index == 0 ? "OutOfOrderUploadChunk" : "");
        return answer(500, "<fault>bad offset</fault>", headers);
    });
    auto caller = makeSOAPCaller(server.url());
    for (const std::string expectedCode : {"OutOfOrderUploadChunk", ""}) {
        Outcome outcome = callSOAP(*caller, "UploadChunk", {"buffer"}, {VTRBytes{1, 2}});
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain(), AFNetworkingErrorDomain);
        EXPECT_EQ(outcome.error->code(), -1011);
        EXPECT_EQ(outcome.error->localizedDescription(),
                  "Expected status code in (200-299), got 500");
        EXPECT_EQ(*find(outcome.error->userInfo(), "NSLocalizedRecoverySuggestion"),
                  VTRValue("<fault>bad offset</fault>"));
        const VTRValue* code = find(outcome.error->userInfo(), "X-VTRErrorCode");
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->stringValue(), expectedCode);
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->statusCode(), 500);
    }
}

TEST(SOAPTransportTest, BodiesWithAndWithoutContentType) {
    std::string xml = ScriptedHTTPServer::soapResponse("ChunkSize", "1048576");
    ScriptedHTTPServer server([&](const auto&, size_t index) {
        if (index == 0) return answer(200, xml);  // no Content-Type: parsed whole
        if (index == 1)
            return answer(200,
                          "--uuid:1\r\nContent-Type: application/xop+xml\r\n\r\n" + xml +
                              "\r\n--uuid:1--\r\n",
                          {{"Content-Type", "multipart/related; boundary=\"uuid:1\"; type=x"}});
        return answer(200, "<html><body>Service Unavailable</body></html>",
                      {{"Content-Type", "text/html"}});
    });
    auto caller = makeSOAPCaller(server.url());
    for (int i = 0; i < 2; ++i) {
        Outcome outcome = callSOAP(*caller, "ChunkSize");
        ASSERT_TRUE(outcome.results) << i;
        EXPECT_EQ(*outcome.results, (VTRDictionary{{"response", "1048576"}}));
    }
    Outcome html = callSOAP(*caller, "ChunkSize");
    ASSERT_TRUE(html.error);
    EXPECT_EQ(html.error->domain(), VTRErrorDomain);
    EXPECT_EQ(html.error->code(), 87);
    ASSERT_TRUE(html.response);
    EXPECT_EQ(html.response->statusCode(), 200);
}

TEST(SOAPTransportTest, RefusedDroppedOrSilentConnectionGivesItsURLError) {
    struct Case {
        std::optional<Reply::Action> server;  // none: nothing listens
        int code;
        std::string description;
    };
    // The silent server meets the request idle time-out (injected short).
    for (const Case& c :
         std::vector<Case>{{std::nullopt, -1004, "Could not connect to the server."},
                           {Reply::Action::Drop, -1005, ""},
                           {Reply::Action::Silent, -1001, "The request timed out."}}) {
        std::optional<ScriptedHTTPServer> server;
        std::string url = "http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) + "/s";
        if (c.server) {
            server.emplace([what = *c.server](const auto&, size_t) { return action(what); });
            url = server->url();
        }
        Outcome outcome = callSOAP(*makeSOAPCaller(url, 120s, 1s), "ChunkSize");
        ASSERT_TRUE(outcome.error) << c.code;
        EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
        EXPECT_EQ(outcome.error->code(), c.code);
        if (!c.description.empty()) {
            EXPECT_EQ(outcome.error->localizedDescription(), c.description);
        }
        EXPECT_FALSE(outcome.response) << c.code;
    }
}

TEST(SOAPTransportTest, ResponseBodyBeyondSixteenMiBFailsTheCall) {
    const size_t limit = size_t{16} * 1024 * 1024;
    ScriptedHTTPServer server([&](const auto&, size_t index) {
        return answer(200, std::string(index == 0 ? limit : limit + 1, 'x'));
    });
    auto caller = makeSOAPCaller(server.url());
    // At the limit the body arrives whole (and is no SOAP answer).
    Outcome whole = callSOAP(*caller, "ChunkSize");
    ASSERT_TRUE(whole.error);
    EXPECT_EQ(whole.error->domain(), VTRErrorDomain);
    EXPECT_EQ(whole.error->code(), 87);
    Outcome over = callSOAP(*caller, "ChunkSize");
    ASSERT_TRUE(over.error);
    EXPECT_EQ(over.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(over.error->code(), -1011);
    EXPECT_EQ(over.error->localizedFailureReason(),
              "The response body exceeds the maximum of 16777216 bytes");
}

TEST(SOAPTransportTest, NoSchemeButHttpAndHttpsIsSpokenNorFollowedInARedirect) {
    // Stands for whatever a foreign scheme would let a job's URL reach on this machine.
    struct Listener {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~Listener() { ::close(fd); }
    } listener;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.fd, 4), 0);
    ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const std::string gopher = "gopher://" + target + "/_HELO%20attacker%0D%0A";
    ScriptedHTTPServer redirecting([&](const auto&, size_t) {
        return answer(302, "", {{"Location", gopher}});
    });

    struct Case {
        std::string url;
        std::string domain;
        std::string reasonPart;
    };
    const Case cases[] = {
        {gopher, NSURLErrorDomain, "not supported"},
        {"dict://" + target + "/d:attacker", NSURLErrorDomain, "not supported"},
        {"telnet://" + target + "/", NSURLErrorDomain, "not supported"},
        {"smtp://" + target + "/", NSURLErrorDomain, "not supported"},
        {"file:///etc/passwd", NSURLErrorDomain, "not supported"},
        // The redirect is an answer like any other status outside 200-299.
        {redirecting.url(), AFNetworkingErrorDomain, ""},
    };
    for (const Case& c : cases) {
        // Short time-outs, so that a transfer that did reach the listener ends soon.
        Outcome outcome = callSOAP(*makeSOAPCaller(c.url, 10s, 2s), "ChunkSize");
        ASSERT_TRUE(outcome.error) << c.url;
        EXPECT_EQ(outcome.error->domain(), c.domain) << c.url;
        EXPECT_NE(outcome.error->localizedFailureReason().find(c.reasonPart), std::string::npos)
            << c.url << ": " << outcome.error->description();
    }
    EXPECT_EQ(redirecting.requestCount(), 1u);
    // Every call has ended: a connection any of them made would be waiting to be accepted.
    pollfd pending{listener.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0);
}

TEST(SOAPTransportTest, SynchronousWaitGivesUpWithCode88) {
    ScriptedHTTPServer server([](const auto&, size_t) { return action(Reply::Action::Silent); });
    auto caller = makeSOAPCaller(server.url(), 200ms);
    Outcome outcome = callSOAP(*caller, "ChunkSize");
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), VTRErrorDomain);
    EXPECT_EQ(outcome.error->code(), 88);
    EXPECT_EQ(outcome.error->localizedDescription(), "Operation timed out");
    EXPECT_EQ(outcome.error->userInfo().size(), 1u);
    // The request itself goes on until cancelled.
    auto operation = caller->syncOperation();
    ASSERT_TRUE(operation);
    EXPECT_FALSE(operation->isFinished());
    operation->cancel();
    EXPECT_TRUE(test::waitUntil([&] { return operation->isFinished(); }));
}

TEST(SOAPTransportTest, CancelFromAnotherThreadEndsTheWaitWithCancelled) {
    ScriptedHTTPServer server([](const auto&, size_t) { return action(Reply::Action::Silent); });
    auto caller = makeSOAPCaller(server.url());
    std::atomic<bool> done{false};
    Outcome outcome;
    std::thread worker([&] {
        outcome = callSOAP(*caller, "UploadChunk", {"buffer"}, {VTRBytes(1 << 20, 0x5A)});
        done = true;
    });
    ASSERT_TRUE(test::waitUntil([&] { return server.requestCount() == 1; }));
    caller->syncOperation()->cancel();
    // Far sooner than any time-out in force (60 s request, 120 s wait).
    EXPECT_TRUE(test::waitUntil([&] { return done.load(); }, 5s));
    worker.join();
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(outcome.error->code(), -999);
}

TEST(SOAPTransportTest, CancelBeforeTheTransferStartsStillCompletes) {
    auto client = HTTPClient::clientWithBaseURL("http://127.0.0.1:9/never");
    std::promise<VTRError> failed;
    auto operation = client->HTTPRequestOperationWithRequest(
        client->requestWithMethod("POST", ""), nullptr,
        [&](HTTPRequestOperation&, const VTRError& error) { failed.set_value(error); });
    operation->setFailureCallbackQueue(globalCallbackQueue());
    operation->cancel();
    client->enqueueHTTPRequestOperation(operation);
    auto future = failed.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(future.get().code(), -999);
    EXPECT_TRUE(operation->isFinished());
}

}  // namespace
}  // namespace vtr
