#include "RawHTTPClient.h"

#include <netdb.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "httpserver/HTTPMessage.h"

namespace vtr::test {

std::optional<std::string> RawReply::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (HTTPEqualsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

RawHTTPClient::RawHTTPClient(uint16_t port, const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return;
    fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, found->ai_addr, found->ai_addrlen) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::freeaddrinfo(found);
}

std::unique_ptr<RawHTTPClient> RawHTTPClient::connectedAsUser(uint32_t uid, uint16_t port) {
    // The kernel lists a socket under the file-system user of the thread that made it; this
    // thread's alone changes.
    auto own = static_cast<uid_t>(::setfsuid(uid));
    auto client = std::make_unique<RawHTTPClient>(port);
    ::setfsuid(own);
    return client;
}

RawReply RawHTTPClient::once(uint16_t port, const std::string& bytes, const std::string& host) {
    RawHTTPClient client(port, host);
    return client.exchange(bytes).value_or(RawReply{});
}

RawHTTPClient::~RawHTTPClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawHTTPClient::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::optional<RawReply> RawHTTPClient::exchange(const std::string& bytes, bool head) {
    if (!send(bytes)) return std::nullopt;
    return readReply(head);
}

bool RawHTTPClient::closesUnanswered(const std::string& bytes) {
    send(bytes);  // a failed send means the server has closed already
    return waitForClose() && buffer_.empty();
}

bool RawHTTPClient::fill(std::chrono::steady_clock::time_point deadline) {
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd_, POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
}

bool RawHTTPClient::readLine(std::string* line, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        size_t end = buffer_.find("\r\n");
        if (end != std::string::npos) {
            *line = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            return true;
        }
        if (!fill(deadline)) return false;
    }
}

std::optional<RawReply> RawHTTPClient::readReply(bool head, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    RawReply reply;
    if (!readLine(&reply.statusLine, deadline)) return std::nullopt;
    if (reply.statusLine.size() < 12) return std::nullopt;
    reply.status = std::stoi(reply.statusLine.substr(9, 3));
    std::string line;
    while (true) {
        if (!readLine(&line, deadline)) return std::nullopt;
        if (line.empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string::npos) return std::nullopt;
        size_t valueStart = line.find_first_not_of(' ', colon + 1);
        reply.headers.emplace_back(line.substr(0, colon), valueStart == std::string::npos
                                                              ? std::string()
                                                              : line.substr(valueStart));
    }
    if (head || reply.status / 100 == 1) return reply;  // interim replies have no body
    auto length = reply.header("Content-Length");
    if (!length) return std::nullopt;
    size_t count = std::stoul(*length);
    while (buffer_.size() < count)
        if (!fill(deadline)) return std::nullopt;
    reply.body = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return reply;
}

bool RawHTTPClient::readUntil(const std::string& text, size_t count,
                              std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto occurrences = [&] {
        size_t found = 0;
        for (size_t at = buffer_.find(text); at != std::string::npos;
             at = buffer_.find(text, at + text.size()))
            ++found;
        return found;
    };
    while (occurrences() < count)
        if (!fill(deadline)) return false;
    return true;
}

bool RawHTTPClient::waitForClose(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) {
    }
    return closed_;
}

}  // namespace vtr::test
