#include "FakeServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

#include "httpclient/HTTPClient.h"

extern char** environ;

namespace vtr::test {

std::string FakeServiceProcess::executablePath() {
    return std::string(VTR_BIN_DIR) + "/fake-recording-service";
}

FakeServiceProcess::FakeServiceProcess(std::vector<std::string> arguments,
                                       const std::string& dataDirectory) {
    if (!dataDirectory.empty()) {
        arguments.push_back("--data-dir");
        arguments.push_back(dataDirectory);
    }
    std::string program = executablePath();
    std::vector<char*> argv{program.data()};
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        pid_ = -1;
        ::close(out[0]);
        return;
    }
    // The first line is the port; wait for it with a deadline.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd descriptor{out[0], POLLIN, 0};
        if (::poll(&descriptor, 1, 1000) <= 0) continue;
        char buffer[64];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (line.find('\n') != std::string::npos) port_ = static_cast<uint16_t>(std::stoi(line));
}

FakeServiceProcess::~FakeServiceProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

std::string FakeServiceProcess::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

FakeServiceProcess::Reply FakeServiceProcess::control(const std::string& method,
                                                      const std::string& path,
                                                      const std::string& json) const {
    auto client = HTTPClient::clientWithBaseURL(url("/"));
    HTTPRequest request = client->requestWithMethod(method, path);
    if (!json.empty()) {
        HTTPRequestBody body;
        body.append(json);
        request.setBody(std::move(body));
        request.setValueForHTTPHeaderField("application/json", "Content-Type");
    }
    auto done = std::make_shared<std::promise<Reply>>();
    auto reply = [done](HTTPRequestOperation& operation, std::string body) {
        auto response = operation.response();
        done->set_value(Reply{response ? response->statusCode() : 0, std::move(body)});
    };
    auto operation = client->HTTPRequestOperationWithRequest(
        std::move(request),
        [reply](HTTPRequestOperation& operation, const std::string& body) {
            reply(operation, body);
        },
        [reply](HTTPRequestOperation& operation, const VTRError& error) {
            const VTRValue* text = find(error.userInfo(), "NSLocalizedRecoverySuggestion");
            reply(operation, text ? text->stringValue() : error.description());
        });
    operation->setSuccessCallbackQueue(globalCallbackQueue());
    operation->setFailureCallbackQueue(globalCallbackQueue());
    client->enqueueHTTPRequestOperation(operation);
    auto future = done->get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return {};
    return future.get();
}

}  // namespace vtr::test
