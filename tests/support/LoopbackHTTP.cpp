#include "support/LoopbackHTTP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vtr::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool writeAll(int fd, const std::string& bytes, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, remainingMs(deadline)) <= 0) return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

// Where the body starts, once the header block is complete; `length` -1 means "until the
// connection closes".
bool headerComplete(const std::string& data, size_t* bodyStart, long long* length) {
    size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    *bodyStart = end + 4;
    *length = -1;
    std::string head = data.substr(0, end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = head.find("\r\ncontent-length:");
    if (at != std::string::npos) *length = std::atoll(head.c_str() + at + 17);
    return true;
}

// Sends `bytes` and reads until a complete response (by Content-Length), the peer closes or
// the deadline passes.
std::string exchange(uint16_t port, const std::string& bytes, std::chrono::milliseconds timeout,
                     bool* complete) {
    auto deadline = Clock::now() + timeout;
    *complete = false;
    std::string data;
    int fd = connectLoopback(port, timeout);
    if (fd < 0) return data;
    char buffer[65536];
    size_t bodyStart;
    long long length;
    bool sent = writeAll(fd, bytes, deadline);
    while (sent) {
        if (headerComplete(data, &bodyStart, &length) && length >= 0 &&
            data.size() >= bodyStart + static_cast<size_t>(length)) {
            *complete = true;
            break;
        }
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, remainingMs(deadline)) <= 0) break;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {  // closed: a response without a Content-Length ends here
            *complete = headerComplete(data, &bodyStart, &length);
            break;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

}  // namespace

int connectLoopback(uint16_t port, std::chrono::milliseconds timeout) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || ::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

uint16_t unusedLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

HTTPReply httpRequest(uint16_t port, const std::string& method, const std::string& path,
                      const std::string& body, std::chrono::milliseconds timeout,
                      const std::string& contentType, const std::string& headers) {
    std::string request = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n" + headers;
    if (method == "PUT" || method == "POST" || !body.empty()) {
        request += "Content-Type: " + contentType +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    bool complete = false;
    std::string data = exchange(port, request + "\r\n" + body, timeout, &complete);
    HTTPReply reply;
    size_t bodyStart;
    long long length;
    if (!complete || !headerComplete(data, &bodyStart, &length)) return reply;
    reply.answered = true;
    reply.status = statusOf(data);
    reply.body = data.substr(bodyStart);
    return reply;
}

std::string rawExchange(uint16_t port, const std::string& bytes,
                        std::chrono::milliseconds timeout) {
    bool complete = false;
    return exchange(port, bytes, timeout, &complete);
}

int statusOf(const std::string& response) {
    return response.rfind("HTTP/1.", 0) == 0 && response.size() > 12
               ? std::atoi(response.c_str() + 9)
               : 0;
}

}  // namespace vtr::test
