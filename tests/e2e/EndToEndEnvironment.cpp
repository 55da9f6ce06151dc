#include "EndToEndEnvironment.h"

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace vtr::test {

std::string binaryPath(const std::string& name) {
    return std::string(VTR_BIN_DIR) + "/" + name;
}

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

std::optional<std::string> fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

FakeService::FakeService(const std::string& dataDirectory, std::vector<std::string> arguments)
    : dataDirectory_(dataDirectory) {
    ::mkdir(dataDirectory.c_str(), 0700);
    std::vector<std::string> command{binaryPath("fake-recording-service"), "--data-dir",
                                     dataDirectory};
    command.insert(command.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<ChildProcess>(command, std::map<std::string, std::string>{},
                                              dataDirectory + "/../service.log");
    if (auto line = process_->readFirstLine(std::chrono::seconds(60))) {
        port_ = static_cast<uint16_t>(std::atoi(line->c_str()));
    }
}

std::string FakeService::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/Service.svc";
}

std::string FakeService::storedFilePath(const std::string& session,
                                        const std::string& remote) const {
    return dataDirectory_ + "/" + session + "/" + remote;
}

nlohmann::json FakeService::control(const std::string& method, const std::string& path,
                                    const nlohmann::json& body) const {
    HTTPReply reply = httpRequest(port_, method, path, body.is_null() ? "" : body.dump(),
                                  std::chrono::seconds(30));
    if (!reply.answered || reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

std::vector<nlohmann::json> FakeService::calls(const std::string& method) const {
    std::vector<nlohmann::json> found;
    nlohmann::json log = control("GET", "/control/calls");
    if (!log.is_object() || !log["calls"].is_array()) return found;
    for (const auto& call : log["calls"]) {
        if (method.empty() || call.value("method", "") == method) found.push_back(call);
    }
    return found;
}

void FakeService::stop() {
    if (!process_) return;
    if (!process_->stop(SIGTERM, std::chrono::seconds(20))) {
        process_->stop(SIGKILL, std::chrono::seconds(20));
    }
    process_.reset();
    port_ = 0;
}

UploadDaemon::UploadDaemon(const std::string& root) : root_(root), locator_(root + "/locator") {
    ::mkdir(root.c_str(), 0700);
    for (const char* name : {"/home", "/data", "/locator"}) ::mkdir((root + name).c_str(), 0700);
}

bool UploadDaemon::start(std::chrono::milliseconds timeout) {
    ++runs_;
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{binaryPath("vantrel-uploadd"), "-p", locator_},
        std::map<std::string, std::string>{{"HOME", root_ + "/home"},
                                           {"XDG_DATA_HOME", root_ + "/data"}},
        root_ + "/daemon.log");
    if (!process_->started()) return false;
    const std::string pid = std::to_string(process_->pid());
    port_ = 0;
    // Ready once the locator files name this process and the server behind the port answers.
    return pollUntil(
               [&] {
                   if (process_->hasExited()) return true;
                   if (fileContents(locator_ + "/UploadDaemon.pid").value_or("") != pid)
                       return false;
                   int port = std::atoi(
                       fileContents(locator_ + "/UploadDaemon.port").value_or("").c_str());
                   if (port <= 0 || port > 65535) return false;
                   HTTPReply reply = httpRequest(static_cast<uint16_t>(port), "GET", "/", {},
                                                 std::chrono::seconds(5));
                   if (!reply.answered || reply.status != 200) return false;
                   port_ = static_cast<uint16_t>(port);
                   return true;
               },
               timeout) &&
           port_ != 0 && !process_->hasExited();
}

bool UploadDaemon::kill() {
    if (!process_) return true;
    bool gone = process_->stop(SIGKILL, std::chrono::seconds(30)).has_value();
    process_.reset();
    return gone;
}

bool UploadDaemon::running() {
    return process_ && !process_->hasExited();
}

std::string UploadDaemon::output() const {
    return fileContents(root_ + "/daemon.log").value_or("");
}

HTTPReply UploadDaemon::request(const std::string& method, const std::string& path,
                                const std::string& body) const {
    return httpRequest(port_, method, path, body, std::chrono::seconds(30));
}

int UploadDaemon::putJob(const nlohmann::json& job) const {
    HTTPReply reply = request("PUT", "/jobs/" + job.value("id", std::string()), job.dump());
    return reply.answered ? reply.status : 0;
}

nlohmann::json UploadDaemon::job(const std::string& id) const {
    HTTPReply reply = request("GET", "/jobs/" + id);
    if (!reply.answered || reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

bool UploadDaemon::waitForState(const std::string& id, const std::string& state,
                                std::chrono::milliseconds timeout, nlohmann::json* last) const {
    nlohmann::json current;
    bool reached = pollUntil(
        [&] {
            current = job(id);
            if (!current.is_object()) return false;
            std::string now = current.value("state", "");
            return now == state || (state != "errored" && now == "errored");
        },
        timeout);
    if (last) *last = current;
    return reached && current.value("state", "") == state;
}

nlohmann::json jobJSON(const std::string& id, const std::string& serverURL,
                       const std::string& session,
                       const std::vector<std::pair<std::string, std::string>>& files,
                       const std::string& state) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [local, remote] : files) {
        list.push_back({{"local_path", local}, {"remote_path", remote}});
    }
    return {{"id", id},           {"server_url", serverURL}, {"session_id", session},
            {"credentials", "c"}, {"state", state},          {"file_list", list}};
}

uint64_t bytesUploaded(const nlohmann::json& job) {
    uint64_t total = 0;
    if (!job.is_object() || !job["file_list"].is_array()) return 0;
    for (const auto& file : job["file_list"]) total += file.value("bytes_uploaded", uint64_t{0});
    return total;
}

}  // namespace vtr::test
