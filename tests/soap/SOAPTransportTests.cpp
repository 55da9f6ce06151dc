// The SOAP client over real sockets on 127.0.0.1 against a scripted server: what goes on the
// wire, status errors with the server's error code, transport errors and their codes, the
// synchronous wait, cancels from another thread and late completions.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ScriptedHTTPServer.h"
#include "httpclient/HTTPClient.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::ScriptedHTTPServer;
using Reply = ScriptedHTTPServer::Reply;
using namespace std::chrono_literals;

struct Outcome {
    std::optional<VTRDictionary> results;
    std::optional<VTRError> error;
    std::optional<HTTPURLResponse> response;
    std::thread::id thread;
};

std::unique_ptr<VTRRemoteMethodCaller_sync> makeCaller(
    const std::string& url, std::chrono::milliseconds wait = 120s,
    std::chrono::milliseconds requestTimeout = 60s) {
    auto soap = std::make_unique<VTRSOAPMethodCaller>(VTRRecordingServiceNamespace,
                                                      VTRRecordingServiceExtension);
    soap->setRequestTimeoutInterval(requestTimeout);
    auto sync = std::make_unique<VTRRemoteMethodCaller_sync>(std::move(soap), wait);
    sync->setClient(HTTPClient::clientWithBaseURL(url));
    sync->setServicePath("");
    return sync;
}

Outcome call(VTRRemoteMethodCaller_sync& caller, const std::string& method,
             const std::vector<std::string>& names = {}, VTRArray values = {}) {
    Outcome outcome;
    int calls = 0;
    caller.callRemoteMethod(
        method, names, std::move(values),
        [&](const VTRDictionary& results, const HTTPURLResponse* response) {
            ++calls;
            outcome.results = results;
            if (response) outcome.response = *response;
            outcome.thread = std::this_thread::get_id();
        },
        [&](const VTRError& error, const HTTPURLResponse* response) {
            ++calls;
            outcome.error = error;
            if (response) outcome.response = *response;
            outcome.thread = std::this_thread::get_id();
        });
    EXPECT_EQ(calls, 1);
    return outcome;
}

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
    auto caller = makeCaller(server.url("/upload/Service.svc"));
    std::string chunk = test::randomBytes(300000, 7);
    chunk.replace(0, 6, std::string("\r\n\0\xff\x80-", 6));
    Outcome outcome = call(*caller, "UploadChunk", {"sessionID", "fileName", "buffer", "offset"},
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
    EXPECT_EQ(request.headerCount("Content-Length"), 1);
    EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
    EXPECT_EQ(request.header("SOAPAction"), "\"http://tempuri.org/IWCFReceiver/UploadChunk\"");
    EXPECT_EQ(request.header("Content-Type").rfind("multipart/related;type=", 0), 0u);
    EXPECT_EQ(request.headerCount("Expect"), 0);
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
    auto caller = makeCaller(server.url());
    for (const std::string expectedCode : {"OutOfOrderUploadChunk", ""}) {
        Outcome outcome = call(*caller, "UploadChunk", {"buffer"}, {VTRBytes{1, 2}});
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
    auto caller = makeCaller(server.url());
    for (int i = 0; i < 2; ++i) {
        Outcome outcome = call(*caller, "ChunkSize");
        ASSERT_TRUE(outcome.results) << i;
        EXPECT_EQ(*outcome.results, (VTRDictionary{{"response", "1048576"}}));
    }
    Outcome html = call(*caller, "ChunkSize");
    ASSERT_TRUE(html.error);
    EXPECT_EQ(html.error->domain(), VTRErrorDomain);
    EXPECT_EQ(html.error->code(), 87);
    ASSERT_TRUE(html.response);
    EXPECT_EQ(html.response->statusCode(), 200);
}

TEST(SOAPTransportTest, RefusedConnectionIsCannotConnect) {
    // A port that was just free: nothing listens there.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);

    auto caller = makeCaller("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/s");
    Outcome outcome = call(*caller, "ChunkSize");
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(outcome.error->code(), -1004);
    EXPECT_EQ(outcome.error->localizedDescription(), "Could not connect to the server.");
    EXPECT_FALSE(outcome.response);
}

TEST(SOAPTransportTest, DroppedConnectionOrSilentServerGivesItsURLError) {
    // The silent server meets the request idle time-out (injected short).
    for (auto [what, code] :
         {std::pair{Reply::Action::Drop, -1005}, {Reply::Action::Silent, -1001}}) {
        ScriptedHTTPServer server([what = what](const auto&, size_t) { return action(what); });
        auto caller = makeCaller(server.url(), 120s, 1s);
        Outcome outcome = call(*caller, "ChunkSize");
        ASSERT_TRUE(outcome.error) << code;
        EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
        EXPECT_EQ(outcome.error->code(), code);
        if (code == -1001) {
            EXPECT_EQ(outcome.error->localizedDescription(), "The request timed out.");
        }
    }
}

TEST(SOAPTransportTest, SynchronousWaitGivesUpWithCode88) {
    ScriptedHTTPServer server([](const auto&, size_t) { return action(Reply::Action::Silent); });
    auto caller = makeCaller(server.url(), 200ms);
    Outcome outcome = call(*caller, "ChunkSize");
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
    auto caller = makeCaller(server.url());
    std::atomic<bool> done{false};
    Outcome outcome;
    std::thread worker([&] {
        outcome = call(*caller, "UploadChunk", {"buffer"}, {VTRBytes(1 << 20, 0x5A)});
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

TEST(SOAPTransportTest, LateAnswerOfATimedOutCallIsNotTakenByTheNextCall) {
    ScriptedHTTPServer server([](const auto&, size_t index) {
        Reply reply =
            answer(200, ScriptedHTTPServer::soapResponse("M", index == 0 ? "late" : "own"));
        if (index == 0) reply.action = Reply::Action::HoldThenAnswer;
        return reply;
    });
    auto caller = makeCaller(server.url(), 300ms);
    Outcome first = call(*caller, "M");
    ASSERT_TRUE(first.error);
    EXPECT_EQ(first.error->code(), 88);
    auto late = caller->syncOperation();
    server.release();
    ASSERT_TRUE(test::waitUntil([&] { return late->isFinished(); }));
    Outcome second = call(*caller, "M");
    ASSERT_TRUE(second.results) << (second.error ? second.error->description() : "");
    EXPECT_EQ(*second.results, (VTRDictionary{{"response", "own"}}));
}

}  // namespace
}  // namespace vtr
