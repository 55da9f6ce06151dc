#include "CLITestEnvironment.h"

#include <signal.h>
#include <sys/stat.h>

#include "ControlClient.h"
#include "DaemonLocation.h"

namespace vtr::test {

std::string clientExecutable() {
    return std::string(VTR_BIN_DIR) + "/vantrel-upload";
}

std::vector<std::string> clientCommand(const std::string& locatorDirectory,
                                       const std::vector<std::string>& arguments) {
    std::vector<std::string> command{clientExecutable(), "-p", locatorDirectory};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

CommandResult runClient(const std::string& locatorDirectory,
                        const std::vector<std::string>& arguments) {
    return runCommand(clientCommand(locatorDirectory, arguments));
}

UploadDaemonUnderTest::UploadDaemonUnderTest() : locator_(root_.file("locator")) {
    ::mkdir(locator_.c_str(), 0700);
    ::mkdir(root_.file("home").c_str(), 0700);
    ::mkdir(root_.file("data").c_str(), 0700);
    process_ = std::make_unique<DaemonProcess>(
        std::vector<std::string>{daemonExecutable(), "-p", locator_},
        std::map<std::string, std::string>{{"HOME", root_.file("home")},
                                           {"XDG_DATA_HOME", root_.file("data")}});
    // Ready once the locator files name this process and its server answers.
    ready_ = waitUntil(
        [this] {
            if (process_->hasExited()) return true;
            auto location = vtr::cli::locateDaemon(locator_, nullptr);
            if (!location || location->pid != process_->pid()) return false;
            vtr::cli::ControlClient client(location->port, std::chrono::seconds(5));
            auto reply = client.send("GET", "/");
            return reply.answered && reply.status == 200;
        },
        std::chrono::seconds(60));
    ready_ = ready_ && !process_->hasExited();
}

UploadDaemonUnderTest::~UploadDaemonUnderTest() {
    stop();
}

std::optional<int> UploadDaemonUnderTest::stop() {
    if (!process_->hasExited()) ::kill(process_->pid(), SIGTERM);
    return process_->waitForExit(std::chrono::seconds(30));
}

nlohmann::json controlJSON(const FakeServiceProcess& service, const std::string& method,
                           const std::string& path, const std::string& body) {
    auto reply = service.control(method, path, body);
    if (reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

}  // namespace vtr::test
