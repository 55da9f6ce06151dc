#include "RawHTTPClient.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "httpserver/HTTPMessage.h"
#include "logging/VTRFileDescriptor.h"

namespace vtr::test {

std::optional<std::string> RawReply::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (HTTPEqualsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

RawHTTPClient::RawHTTPClient(uint16_t port, const std::string& host) {
    sockaddr_storage storage{};
    socklen_t length = sizeof(sockaddr_in);
    if (host.find(':') != std::string::npos) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &address->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &address->sin_addr);
    }
    fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&storage), length) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::unique_ptr<RawHTTPClient> RawHTTPClient::connectedAsUser(uint32_t uid, uint16_t port) {
    // The child hands its socket back over a socket pair.
    std::unique_ptr<RawHTTPClient> client(new RawHTTPClient(-1));
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return client;
    VTRFileDescriptor parentEnd(pair[0]);
    VTRFileDescriptor childEnd(pair[1]);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    char byte = 'x';
    iovec data{&byte, 1};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    pid_t child = ::fork();
    if (child < 0) return client;
    if (child == 0) {
        // Async-signal-safe calls only: the parent has threads.
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) _exit(2);
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            _exit(3);
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
        _exit(::sendmsg(childEnd.get(), &message, 0) == 1 ? 0 : 4);
    }
    childEnd.reset();
    ssize_t got = ::recvmsg(parentEnd.get(), &message, MSG_CMSG_CLOEXEC);
    int status = 0;
    ::waitpid(child, &status, 0);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (got == 1 && header && header->cmsg_type == SCM_RIGHTS)
        std::memcpy(&client->fd_, CMSG_DATA(header), sizeof client->fd_);
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

bool RawHTTPClient::readExactly(size_t count, std::string* out,
                                std::chrono::steady_clock::time_point deadline) {
    while (buffer_.size() < count)
        if (!fill(deadline)) return false;
    out->append(buffer_, 0, count);
    buffer_.erase(0, count);
    return true;
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
    if (auto encoding = reply.header("Transfer-Encoding"); encoding && *encoding == "chunked") {
        while (true) {
            if (!readLine(&line, deadline)) return std::nullopt;
            size_t size = std::stoul(line, nullptr, 16);
            if (size == 0) break;
            if (!readExactly(size, &reply.body, deadline)) return std::nullopt;
            std::string crlf;
            if (!readExactly(2, &crlf, deadline) || crlf != "\r\n") return std::nullopt;
        }
        if (!readLine(&line, deadline) || !line.empty()) return std::nullopt;
        return reply;
    }
    auto length = reply.header("Content-Length");
    if (!length) return std::nullopt;
    if (!readExactly(std::stoul(*length), &reply.body, deadline)) return std::nullopt;
    return reply;
}

bool RawHTTPClient::waitForClose(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) {
    }
    return closed_;
}

}  // namespace vtr::test
