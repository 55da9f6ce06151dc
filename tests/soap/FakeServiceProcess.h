// FakeServiceProcess: runs the built fake-recording-service executable for a test, reads the
// port it announces, and stops it (SIGTERM, then waits) on destruction. Also a small blocking
// HTTP helper for its JSON control interface. Use from one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vtr::test {

class FakeServiceProcess {
  public:
    // `arguments` come after the program name; --data-dir is added when `dataDirectory` is set.
    explicit FakeServiceProcess(std::vector<std::string> arguments = {},
                                const std::string& dataDirectory = {});
    ~FakeServiceProcess();
    FakeServiceProcess(const FakeServiceProcess&) = delete;
    FakeServiceProcess& operator=(const FakeServiceProcess&) = delete;

    bool started() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/Service.svc") const;

    struct Reply {
        int status = 0;  // 0 when no HTTP response arrived
        std::string body;
    };
    // A control request ("GET", "/control/state") with an optional JSON body.
    Reply control(const std::string& method, const std::string& path,
                  const std::string& json = {}) const;

    static std::string executablePath();

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

}  // namespace vtr::test
