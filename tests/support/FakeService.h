// FakeService: the built fake-recording-service run for a test, storing what it receives under
// a directory of the test's, and a client of its JSON control interface. Stopped (SIGTERM) on
// destruction. Use from one test thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RawHTTPClient.h"
#include "support/ChildProcess.h"

namespace vtr::test {

// One request to 127.0.0.1:`port` on a connection of its own, a body (with its length) for PUT
// and POST; status 0 when no whole reply came within `timeout`.
RawReply httpRequest(uint16_t port, const std::string& method, const std::string& path,
                     const std::string& body = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

class FakeService {
  public:
    // Starts the service storing files under `dataDirectory` (made if missing); `arguments` are
    // added (for example {"--port", "4711"} to come back on the port of an earlier run).
    explicit FakeService(const std::string& dataDirectory, std::vector<std::string> arguments = {});
    ~FakeService() { stop(); }

    bool started() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/Service.svc") const;
    std::string storedFilePath(const std::string& session, const std::string& remote) const;
    // The control interface's JSON answer, or null when it did not answer 200 with JSON.
    nlohmann::json control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr) const;
    // The call log's entries for `method` ("" for all).
    std::vector<nlohmann::json> calls(const std::string& method = {}) const;
    // Ends the process (SIGTERM, SIGKILL if it lingers).
    void stop();

  private:
    std::string dataDirectory_;
    std::unique_ptr<ChildProcess> process_;
    uint16_t port_ = 0;
};

}  // namespace vtr::test
