#include "ScriptedHTTPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

namespace vtr::test {

namespace {

bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::vector<std::string> ScriptedHTTPServer::Request::headers(const std::string& name) const {
    std::vector<std::string> values;
    for (size_t start = head.find("\r\n"), end; start != std::string::npos; start = end) {
        if ((end = head.find("\r\n", start + 2)) == std::string::npos) break;
        std::string line = head.substr(start + 2, end - start - 2);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0)
            values.push_back(
                line.substr(std::min(line.find_first_not_of(' ', name.size() + 1), line.size())));
    }
    return values;
}

std::string ScriptedHTTPServer::Request::header(const std::string& name) const {
    std::vector<std::string> values = headers(name);
    return values.empty() ? "" : values.front();
}

ScriptedHTTPServer::ScriptedHTTPServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        std::abort();
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptedHTTPServer::~ScriptedHTTPServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    for (std::thread& thread : threads_) thread.join();
    for (int fd : connections_) ::close(fd);
}

std::string ScriptedHTTPServer::url(const std::string& path) const {
    return fmt::format("http://127.0.0.1:{}{}", port_, path);
}

std::vector<ScriptedHTTPServer::Request> ScriptedHTTPServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t ScriptedHTTPServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::string ScriptedHTTPServer::soapResponse(const std::string& method, const std::string& text) {
    return fmt::format(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><{0}Response "
        "xmlns=\"http://tempuri.org/\"><{0}Result>{1}</{0}Result></{0}Response></s:Body>"
        "</s:Envelope>",
        method, text);
}

void ScriptedHTTPServer::acceptLoop() {
    while (true) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        connections_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedHTTPServer::serve(int fd) {
    std::string buffer;
    char chunk[65536];
    while (true) {
        size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        Request request;
        request.head = buffer.substr(0, headEnd + 4);
        size_t length = std::strtoull(request.header("Content-Length").c_str(), nullptr, 10);
        while (buffer.size() < headEnd + 4 + length) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        request.body = buffer.substr(headEnd + 4, length);
        buffer.erase(0, headEnd + 4 + length);

        size_t index;
        {
            std::lock_guard lock(mutex_);
            index = requests_.size();
            requests_.push_back(request);
        }
        Reply reply = script_(request, index);
        if (reply.action == Reply::Action::Drop) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        if (reply.action == Reply::Action::Silent) {
            std::unique_lock lock(mutex_);
            stopped_.wait(lock, [&] { return stopping_; });
            return;
        }
        std::string response = fmt::format("HTTP/1.1 {} Scripted\r\n", reply.status);
        for (const auto& [name, value] : reply.headers) {
            response += fmt::format("{}: {}\r\n", name, value);
        }
        response += fmt::format("Content-Length: {}\r\n\r\n", reply.body.size());
        response += reply.body;
        if (!sendAll(fd, response)) return;
    }
}

}  // namespace vtr::test
