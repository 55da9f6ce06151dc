#include "support/UploadDaemon.h"

#include <signal.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace vtr::test {

using namespace std::chrono_literals;

UploadDaemon::UploadDaemon(const std::string& root) : root_(root) {
    for (const char* name : {"/home", "/data", "/locator"})
        std::filesystem::create_directories(root + name);
}

std::unique_ptr<ChildProcess> UploadDaemon::launch(const std::vector<std::string>& arguments,
                                                   const std::vector<std::string>& prefix) const {
    std::vector<std::string> command = prefix;
    command.insert(command.end(),
                   {"env", "HOME=" + root_ + "/home", "XDG_DATA_HOME=" + root_ + "/data"});
    command.insert(command.end(), environment_.begin(), environment_.end());
    command.push_back(std::string(VTR_BIN_DIR) + "/vantrel-uploadd");
    command.insert(command.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(command, ChildProcess::Terminal::Errors);
}

bool UploadDaemon::start(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout) {
    std::vector<std::string> command{"-p", locatorDirectory()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    stop();
    process_ = launch(command);
    // Ready once the locator files name this process and the server behind the port answers.
    port_ = 0;
    waitUntil(
        [&] {
            if (process_->hasExited()) return true;
            std::optional<int> port = waitForLocatorFiles(process_->pid(), 0ms);
            if (!port || *port <= 0 || *port > 65535) return false;
            if (httpRequest(static_cast<uint16_t>(*port), "GET", "/", {}, 5s).status == 200)
                port_ = static_cast<uint16_t>(*port);
            return port_ != 0;
        },
        timeout, 50ms);
    return port_ != 0 && !process_->hasExited();
}

std::optional<int> UploadDaemon::stop(int signal) {
    if (!process_) return std::nullopt;
    std::optional<int> status = process_->stop(signal);
    earlierOutput_ += process_->errors();
    process_.reset();
    return status;
}

std::optional<int> UploadDaemon::waitForExit(std::chrono::milliseconds timeout) {
    return process_ ? process_->waitForExit(timeout) : std::nullopt;
}

bool UploadDaemon::running() {
    return process_ && !process_->hasExited();
}

std::string UploadDaemon::output() const {
    return earlierOutput_ + (process_ ? process_->errors() : "");
}

std::optional<int> UploadDaemon::waitForLocatorFiles(pid_t pid,
                                                     std::chrono::milliseconds timeout) const {
    std::string port;
    bool written = waitUntil(
        [&] {
            port = readFile(portFile());
            return readFile(pidFile()) == std::to_string(pid) && !port.empty();
        },
        timeout, 20ms);
    if (!written) return std::nullopt;
    return std::atoi(port.c_str());
}

RawReply UploadDaemon::request(const std::string& method, const std::string& path,
                               const std::string& body) const {
    return httpRequest(port_, method, path, body);
}

int UploadDaemon::putJob(const nlohmann::json& job) const {
    return request("PUT", "/jobs/" + job.value("id", std::string()), job.dump()).status;
}

nlohmann::json UploadDaemon::job(const std::string& id) const {
    RawReply reply = request("GET", "/jobs/" + id);
    if (reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

nlohmann::json jobJSON(const std::string& id, const std::string& serverURL,
                       const std::string& session,
                       const std::vector<std::pair<std::string, std::string>>& files,
                       const std::string& state) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [local, remote] : files)
        list.push_back({{"local_path", local}, {"remote_path", remote}});
    return {{"id", id},           {"server_url", serverURL}, {"session_id", session},
            {"credentials", "c"}, {"state", state},          {"file_list", list}};
}

std::vector<std::string> clientCommand(const std::string& locatorDirectory,
                                       const std::vector<std::string>& arguments) {
    std::vector<std::string> command{std::string(VTR_BIN_DIR) + "/vantrel-upload", "-p",
                                     locatorDirectory};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

uint64_t bytesUploaded(const nlohmann::json& job) {
    uint64_t total = 0;
    if (!job.is_object() || !job["file_list"].is_array()) return 0;
    for (const auto& file : job["file_list"]) total += file.value("bytes_uploaded", uint64_t{0});
    return total;
}

}  // namespace vtr::test
