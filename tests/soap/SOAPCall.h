// Calls through the real synchronous SOAP caller for the soap tests, keeping everything that
// came back. Use from the calling test thread.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpclient/HTTPClient.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"

namespace vtr::test {

struct SOAPOutcome {
    std::optional<VTRDictionary> results;
    std::optional<VTRError> error;
    std::optional<HTTPURLResponse> response;
    std::thread::id thread;  // where the callback ran

    // The result's text, or "<failed>".
    std::string text() const {
        const VTRValue* result = results ? find(*results, "response") : nullptr;
        return result ? result->stringValue() : "<failed>";
    }
    // The server's error code that the error carries, or "".
    std::string serverCode() const {
        const VTRValue* code = error ? find(error->userInfo(), "X-VTRErrorCode") : nullptr;
        return code ? code->stringValue() : "";
    }
};

// A synchronous caller of the recording service's methods at `url`.
inline std::unique_ptr<VTRRemoteMethodCaller_sync> makeSOAPCaller(
    const std::string& url, std::chrono::milliseconds wait = std::chrono::seconds(120),
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(60)) {
    auto soap = std::make_unique<VTRSOAPMethodCaller>(VTRRecordingServiceNamespace,
                                                      VTRRecordingServiceExtension);
    soap->setRequestTimeoutInterval(requestTimeout);
    auto sync = std::make_unique<VTRRemoteMethodCaller_sync>(std::move(soap), wait);
    sync->setClient(HTTPClient::clientWithBaseURL(url));
    sync->setServicePath("");
    return sync;
}

// One call; a test failure unless exactly one of the callbacks ran, once.
inline SOAPOutcome callSOAP(VTRRemoteMethodCaller_sync& caller, const std::string& method,
                            const std::vector<std::string>& names = {}, VTRArray values = {}) {
    SOAPOutcome outcome;
    int calls = 0;
    auto keep = [&](const HTTPURLResponse* response) {
        ++calls;
        if (response) outcome.response = *response;
        outcome.thread = std::this_thread::get_id();
    };
    caller.callRemoteMethod(
        method, names, std::move(values),
        [&](const VTRDictionary& results, const HTTPURLResponse* response) {
            outcome.results = results;
            keep(response);
        },
        [&](const VTRError& error, const HTTPURLResponse* response) {
            outcome.error = error;
            keep(response);
        });
    EXPECT_EQ(calls, 1);
    return outcome;
}

}  // namespace vtr::test
