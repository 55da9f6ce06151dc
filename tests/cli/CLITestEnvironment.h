// A real upload daemon and a real fake-recording-service for the client's tests, each with
// throw-away directories, and a way to run the built vantrel-upload against them.
// Use from one test thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CommandRun.h"
#include "daemon/DaemonProcess.h"
#include "soap/FakeServiceProcess.h"
#include "support/TestSupport.h"

namespace vtr::test {

std::string clientExecutable();

// Runs vantrel-upload with "-p `locatorDirectory`" in front of `arguments`.
CommandResult runClient(const std::string& locatorDirectory,
                        const std::vector<std::string>& arguments);
// The same command line, for a command to follow while it runs.
std::vector<std::string> clientCommand(const std::string& locatorDirectory,
                                       const std::vector<std::string>& arguments);

class UploadDaemonUnderTest {
  public:
    // Starts the daemon with its own HOME, XDG_DATA_HOME and locator directory, and waits
    // until it answers at the port its locator files name. `ready()` says whether it did.
    UploadDaemonUnderTest();
    // Stops it with SIGTERM, as a user would.
    ~UploadDaemonUnderTest();

    bool ready() const { return ready_; }
    const std::string& locatorDirectory() const { return locator_; }
    pid_t pid() const { return process_->pid(); }
    // SIGTERM and the exit status (nothing when it did not end in time).
    std::optional<int> stop();
    std::string output() { return process_->terminalOutput(); }

  private:
    TempDir root_;
    std::string locator_;
    std::unique_ptr<DaemonProcess> process_;
    bool ready_ = false;
};

// The fake service's JSON answer to a control request, or null when there was none.
nlohmann::json controlJSON(const FakeServiceProcess& service, const std::string& method,
                           const std::string& path, const std::string& body = {});

}  // namespace vtr::test
