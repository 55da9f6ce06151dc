// ScriptedHTTPServer: a stand-in for the recording service's web server in transport tests. It
// listens on 127.0.0.1, keeps every request it reads, and answers each one as the test's script
// says: a reply, silence, or a dropped connection. Its methods may be called from any thread;
// the script runs on the connection's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vtr::test {

class ScriptedHTTPServer {
  public:
    struct Request {
        std::string head;  // request line and header lines, up to and including the empty line
        std::string body;
        // The values of the header lines of that name (case-insensitive), in order.
        std::vector<std::string> headers(const std::string& name) const;
        // The first of them, or "".
        std::string header(const std::string& name) const;
    };
    struct Reply {
        enum class Action { Answer, Silent, Drop };
        Action action = Action::Answer;
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
    };
    using Script = std::function<Reply(const Request& request, size_t index)>;

    explicit ScriptedHTTPServer(Script script);
    ~ScriptedHTTPServer();
    ScriptedHTTPServer(const ScriptedHTTPServer&) = delete;
    ScriptedHTTPServer& operator=(const ScriptedHTTPServer&) = delete;

    std::string url(const std::string& path = "/service") const;
    std::vector<Request> requests() const;
    size_t requestCount() const;

    // A SOAP response body with `method`Result holding `text`.
    static std::string soapResponse(const std::string& method, const std::string& text);

  private:
    void acceptLoop();
    void serve(int fd);

    Script script_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<Request> requests_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

}  // namespace vtr::test
