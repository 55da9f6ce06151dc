#include "support/FakeService.h"

#include <signal.h>
#include <sys/stat.h>

namespace vtr::test {

RawReply httpRequest(uint16_t port, const std::string& method, const std::string& path,
                     const std::string& body, std::chrono::milliseconds timeout) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (method == "PUT" || method == "POST")
        text += "Content-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n";
    RawHTTPClient client(port);
    auto reply = client.send(text + "\r\n" + body) ? client.readReply(false, timeout) : std::nullopt;
    return reply.value_or(RawReply{});
}

FakeService::FakeService(const std::string& dataDirectory, std::vector<std::string> arguments)
    : dataDirectory_(dataDirectory) {
    ::mkdir(dataDirectory.c_str(), 0700);
    arguments.insert(arguments.begin(), {std::string(VTR_BIN_DIR) + "/fake-recording-service",
                                         "--data-dir", dataDirectory});
    process_ = std::make_unique<ChildProcess>(arguments);
    // It announces its port alone on the first line, once it accepts requests.
    if (process_->waitForOutput("\n", std::chrono::seconds(60)))
        port_ = static_cast<uint16_t>(std::atoi(process_->output().c_str()));
}

std::string FakeService::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string FakeService::storedFilePath(const std::string& session,
                                        const std::string& remote) const {
    return dataDirectory_ + "/" + session + "/" + remote;
}

nlohmann::json FakeService::control(const std::string& method, const std::string& path,
                                    const nlohmann::json& body) const {
    RawReply reply = httpRequest(port_, method, path, body.is_null() ? "" : body.dump());
    if (reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

std::vector<nlohmann::json> FakeService::calls(const std::string& method) const {
    std::vector<nlohmann::json> found;
    nlohmann::json log = control("GET", "/control/calls");
    if (!log.is_object() || !log["calls"].is_array()) return found;
    for (const auto& call : log["calls"])
        if (method.empty() || call.value("method", "") == method) found.push_back(call);
    return found;
}

void FakeService::stop() {
    if (process_ && !process_->stop(SIGTERM, std::chrono::seconds(20)))
        process_->stop(SIGKILL, std::chrono::seconds(20));
    process_.reset();
    port_ = 0;
}

}  // namespace vtr::test
