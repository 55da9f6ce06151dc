// The HTTP client: the Accept-Language header, then real transfers on loopback: what goes on
// the wire, status and transport errors with their codes, the response size limit, the schemes
// it speaks, additional certificate authorities and cancelling from another thread.

#include <cstdlib>
#include <future>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "RecordingConnection.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "httpclient/HTTPCertificateAuthorities.h"
#include "httpclient/HTTPClient.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPMessage.h"
#include "support/TLSFront.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

using test::RecordingServer;
using namespace std::chrono_literals;

TEST(HTTPClientTest, AcceptLanguageComesFromTheEnvironment) {
    EXPECT_EQ(HTTPClient::acceptLanguageForLanguages({"a", "b", "c", "d", "e", "f", "g", "h"}),
              "a;q=1, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    std::string saved = std::getenv("LANGUAGE") ? std::getenv("LANGUAGE") : "";
    setenv("LANGUAGE", "de_DE.UTF-8:fr", 1);
    EXPECT_EQ(HTTPClient::defaultAcceptLanguage(), "de-DE;q=1, fr;q=0.9");
    setenv("LANGUAGE", saved.c_str(), 1);
}

struct Outcome {
    std::optional<std::string> body;  // on success
    std::optional<VTRError> error;
    std::shared_ptr<const HTTPURLResponse> response;
};

// One operation on the shared network thread, its handlers on the global queue.
struct Transfer {
    // `cancelled`: cancelled before it is enqueued.
    // `limiter`: the bucket the body's bytes come from.
    explicit Transfer(HTTPRequest request, bool cancelled = false,
                      std::shared_ptr<HTTPBandwidthLimiter> limiter = nullptr) {
        auto client = HTTPClient::clientWithBaseURL(request.URL());
        client->setBandwidthLimiter(std::move(limiter));
        auto done = std::make_shared<std::promise<Outcome>>();
        outcome = done->get_future();
        operation = client->HTTPRequestOperationWithRequest(
            std::move(request),
            [done](HTTPRequestOperation& op, const std::string& body) {
                done->set_value({body, std::nullopt, op.response()});
            },
            [done](HTTPRequestOperation& op, const VTRError& error) {
                done->set_value({std::nullopt, error, op.response()});
            });
        operation->setSuccessCallbackQueue(globalCallbackQueue());
        operation->setFailureCallbackQueue(globalCallbackQueue());
        if (cancelled) operation->cancel();
        client->enqueueHTTPRequestOperation(operation);
    }
    Outcome wait() {
        if (outcome.wait_for(60s) != std::future_status::ready) {
            ADD_FAILURE() << "no handler ran";
            return {};
        }
        return outcome.get();
    }

    std::shared_ptr<HTTPRequestOperation> operation;
    std::future<Outcome> outcome;
};

HTTPRequest post(const std::string& url, std::chrono::milliseconds timeout = 60s) {
    // With the client's default headers, and the URL as given.
    HTTPRequest request = HTTPClient::clientWithBaseURL(url)->requestWithMethod("POST", "");
    request.setURL(url);
    request.setTimeoutInterval(timeout);
    return request;
}

TEST(HTTPClientTransferTest, ABodyOfPiecesGoesOutByteForByteAndTheReplyComesBack) {
    std::promise<std::pair<HTTPMessage, std::string>> seen;
    RecordingServer server({}, 30s, [&](const HTTPMessage& request, std::string body) {
        seen.set_value({request, body});
        return std::make_unique<HTTPDataResponse>(std::string("re\0ply", 6), 200,
                                                  HTTPHeaderList{{"Content-Type", "text/xml"}});
    });
    auto chunk = std::make_shared<std::string>(test::randomBytes(300000, 7));
    chunk->replace(0, 6, std::string("\r\n\0\xff\x80-", 6));
    HTTPRequestBody body;
    body.append("--head\r\n");
    body.appendReference(chunk, reinterpret_cast<const uint8_t*>(chunk->data()), chunk->size());
    body.append("\r\n--tail--\r\n");
    HTTPRequest request = post(server.url("/upload/Service.svc?x=1"));
    request.setValueForHTTPHeaderField("application/octet-stream", "Content-Type");
    request.setBody(body);

    Outcome outcome = Transfer(request).wait();
    ASSERT_TRUE(outcome.body) << (outcome.error ? outcome.error->description() : "");
    EXPECT_EQ(*outcome.body, std::string("re\0ply", 6));
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode(), 200);
    EXPECT_EQ(*outcome.response->valueForHTTPHeaderField("content-type"), "text/xml");

    auto [head, received] = seen.get_future().get();
    EXPECT_EQ(head.method() + " " + head.url() + " " + head.version(),
              "POST /upload/Service.svc?x=1 HTTP/1.1");
    // Repeated fields would be joined with commas.
    EXPECT_EQ(head.headerField("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(head.headerField("Content-Type"), "application/octet-stream");
    EXPECT_EQ(head.headerField("Expect"), std::nullopt);
    std::string agent = head.headerField("User-Agent").value_or("");
    EXPECT_NE(agent.find("/1.0.0 (Linux "), std::string::npos) << agent;
    EXPECT_EQ(agent.back(), ')');
    EXPECT_FALSE(head.headerField("Accept-Language").value_or("").empty());
    EXPECT_TRUE(received == body.joined()) << "the body arrived changed";
}

TEST(HTTPClientTransferTest, TransportFailuresSchemesStatusesAndTheResponseSizeLimit) {
    const size_t limit = size_t{16} * 1024 * 1024;
    const std::string gopher = "gopher://127.0.0.1:9/_HELO%20attacker%0D%0A";
    RecordingServer server({}, 30s, [&](const HTTPMessage& request, std::string) {
        const std::string& url = request.url();
        if (url == "/fault")
            return std::make_unique<HTTPDataResponse>("<fault>bad offset</fault>", 500);
        if (url == "/redirect")
            return std::make_unique<HTTPDataResponse>("", 302,
                                                      HTTPHeaderList{{"Location", gopher}});
        if (url.rfind("/size/", 0) != 0) return std::unique_ptr<HTTPDataResponse>();
        return std::make_unique<HTTPDataResponse>(std::string(std::stoul(url.substr(6)), 'x'));
    });
    Outcome whole = Transfer(post(server.url("/size/" + std::to_string(limit)))).wait();
    ASSERT_TRUE(whole.body) << (whole.error ? whole.error->description() : "");
    EXPECT_EQ(whole.body->size(), limit);

    const std::tuple<std::string, int, std::string> cases[] = {
        {"http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) + "/s", -1004,
         "Could not connect to the server."},
        {server.url("/drop"), -1005, ""},
        // The idle time-out of the request, set short below.
        {server.url("/silent"), -1001, "The request timed out."},
        {server.url("/size/" + std::to_string(limit + 1)), -1011,
         "The response body exceeds the maximum of 16777216 bytes"},
        // No scheme but http and https is spoken: refused before any connection is tried (one to
        // the discard port, where nothing listens, would end in -1004 instead).
        {gopher, -1, "not supported"},
        {"file:///etc/passwd", -1, "not supported"},
    };
    for (const auto& [url, code, reason] : cases) {
        SCOPED_TRACE(url);
        Outcome outcome = Transfer(post(url, 1s)).wait();
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
        EXPECT_EQ(outcome.error->code(), code);
        std::string texts =
            outcome.error->localizedDescription() + "|" + outcome.error->localizedFailureReason();
        EXPECT_NE(texts.find(reason), std::string::npos) << texts;
    }
    // A status outside 200-299, a redirect too (never followed), is an error carrying the body.
    for (int status : {302, 500}) {
        Outcome outcome = Transfer(post(server.url(status == 500 ? "/fault" : "/redirect"))).wait();
        ASSERT_TRUE(outcome.error && outcome.response) << status;
        EXPECT_EQ(outcome.error->domain(), AFNetworkingErrorDomain);
        EXPECT_EQ(outcome.error->code(), -1011);
        EXPECT_EQ(outcome.error->localizedDescription(),
                  "Expected status code in (200-299), got " + std::to_string(status));
        EXPECT_EQ(outcome.response->statusCode(), status);
        const VTRValue* body = find(outcome.error->userInfo(), "NSLocalizedRecoverySuggestion");
        EXPECT_EQ(body ? *body : VTRValue(),
                  VTRValue(status == 500 ? "<fault>bad offset</fault>" : ""));
    }
}

TEST(HTTPClientTransferTest, CancelBeforeOrDuringTheTransferEndsItWithCancelled) {
    RecordingServer server;
    Transfer early(post("http://127.0.0.1:9/never"), true);
    EXPECT_EQ(early.wait().error.value_or(VTRError()).code(), -999);
    EXPECT_TRUE(early.operation->isFinished());

    // A large body to a server that never answers, cancelled from another thread far sooner
    // than the request's time-out.
    HTTPRequest request = post(server.url("/silent"));
    HTTPRequestBody body;
    body.append(std::string(1 << 20, 'Z'));
    request.setBody(body);
    Transfer transfer(request);
    ASSERT_TRUE(test::waitUntil([&] { return server.record->count("finishBody") == 1; }));
    std::thread([&] { transfer.operation->cancel(); }).join();
    ASSERT_EQ(transfer.outcome.wait_for(5s), std::future_status::ready);
    Outcome outcome = transfer.outcome.get();
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), NSURLErrorDomain);
    EXPECT_EQ(outcome.error->code(), -999);
    EXPECT_TRUE(transfer.operation->isFinished());
}

// An https front whose authority only the bundle knows: refused without it, trusted with it.
TEST(HTTPClientTransferTest, AdditionalAuthoritiesAreTrustedAndUnusableFilesSayWhy) {
    RecordingServer server({}, 30s, [](const HTTPMessage&, std::string) {
        return std::make_unique<HTTPDataResponse>("behind the front");
    });
    test::TLSFront front(server.port);
    test::TempDir dir;
    test::writeFile(dir.file("ca.pem"), front.authorityPEM());
    std::string problem;
    auto authorities = HTTPCertificateAuthorities::fromPEMFile(dir.file("ca.pem"), &problem);
    ASSERT_TRUE(authorities) << problem;

    Outcome refused = Transfer(post(front.url("/x"))).wait();
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code(), NSURLErrorServerCertificateUntrusted);
    HTTPRequest request = post(front.url("/x"));
    request.setAdditionalAuthorities(authorities);
    Outcome trusted = Transfer(request).wait();
    EXPECT_EQ(trusted.body, "behind the front")
        << (trusted.error ? trusted.error->description() : "");

    std::string pem = front.authorityPEM();
    test::writeFile(dir.file("text"), "not a certificate\n");
    test::writeFile(dir.file("cut.pem"), pem.substr(0, pem.size() / 2));
    for (const auto& [name, reason] : std::vector<std::pair<std::string, std::string>>{
             {"missing", "No such file or directory"},
             {"text", "it holds no certificate"},
             {"cut.pem", "it is not a PEM file of certificates"}}) {
        problem.clear();
        EXPECT_EQ(HTTPCertificateAuthorities::fromPEMFile(dir.file(name), &problem), nullptr);
        EXPECT_EQ(problem, reason) << name;
    }
}

// ---- the bandwidth limit

// The bucket on a clock of the test's own: over ten seconds of a body that always wants more,
// what it grants is the rate's worth plus at most its capacity, in pieces no smaller than
// useful; without a rate everything goes at once.
TEST(HTTPBandwidthLimiterTest, GrantsTheRateOverTimeWhateverIsAsked) {
    for (uint64_t rate : {uint64_t{16} * 1024, uint64_t{4} << 20, uint64_t{100} << 20}) {
        SCOPED_TRACE(rate);
        HTTPBandwidthLimiter limiter(rate);
        auto start = HTTPBandwidthLimiter::Clock::now();
        uint64_t granted = 0;
        size_t smallest = SIZE_MAX;
        for (int step = 1; step <= 10000; ++step) {
            size_t piece = limiter.take(512 * 1024, start + step * 1ms);
            granted += piece;
            if (piece > 0) smallest = std::min(smallest, piece);
        }
        EXPECT_GE(granted, rate * 10 - rate / 100);
        EXPECT_LE(granted, rate * 10 + rate / 10);
        EXPECT_GE(smallest, std::min<size_t>(rate / 50, 16 * 1024));
    }
    HTTPBandwidthLimiter unlimited;
    EXPECT_EQ(unlimited.take(512 * 1024), 512u * 1024);
    EXPECT_EQ(unlimited.waitTime(), HTTPBandwidthLimiter::Clock::duration::zero());
}

// A 4 MiB body at 2 MiB/s takes two seconds, far past the request's 300 ms idle time-out: the
// waits for the bucket are not idleness, and the operation says how long they took.
TEST(HTTPBandwidthLimiterTest, WaitingForTheBucketIsNoTimeOut) {
    HTTPServerLimits limits;
    limits.maximumRequestBodySize = 8 << 20;
    RecordingServer server(limits);
    HTTPRequest request = post(server.url("/echo"), 300ms);
    HTTPRequestBody body;
    body.append(std::string(4 << 20, 'L'));
    request.setBody(body);
    auto limiter = std::make_shared<HTTPBandwidthLimiter>(2 << 20);
    Transfer transfer(request, false, limiter);
    Outcome outcome = transfer.wait();
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.body.value_or("").size(), size_t{4} << 20);
    EXPECT_GT(transfer.operation->throttledTime(), 1s);
}

}  // namespace
}  // namespace vtr
