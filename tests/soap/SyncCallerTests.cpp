// The synchronous wrapper against a scripted asynchronous caller whose outcomes the test
// delivers by hand, from other threads and in awkward orders.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "httpclient/HTTPClient.h"
#include "httpclient/HTTPRequestOperation.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

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
