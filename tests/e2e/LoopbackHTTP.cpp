#include "LoopbackHTTP.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, remainingMs(deadline)) <= 0) return false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
    return true;
}

// Where the body starts and how long it is, once the header block is complete; length -1 means
// "until the connection closes".
bool headerComplete(const std::string& data, size_t* bodyStart, long long* length, int* status) {
    size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    *bodyStart = end + 4;
    *status = data.size() > 12 ? std::atoi(data.c_str() + 9) : 0;
    *length = -1;
    std::string head = data.substr(0, end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = head.find("\r\ncontent-length:");
    if (at != std::string::npos) *length = std::atoll(head.c_str() + at + 17);
    return true;
}

// Reads until a complete response (by Content-Length) or the peer closes or the deadline.
std::string readResponse(int fd, Clock::time_point deadline, bool* complete) {
    std::string data;
    *complete = false;
    char buffer[65536];
    for (;;) {
        size_t bodyStart;
        long long length;
        int status;
        if (headerComplete(data, &bodyStart, &length, &status) && length >= 0 &&
            data.size() >= bodyStart + static_cast<size_t>(length)) {
            *complete = true;
            return data;
        }
        pollfd entry{fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready <= 0) return data;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Closed: a response without a Content-Length ends here.
            *complete = headerComplete(data, &bodyStart, &length, &status);
            return data;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
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
        if (errno != EINPROGRESS) {
            ::close(fd);
            return -1;
        }
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

HTTPReply httpRequest(uint16_t port, const std::string& method, const std::string& path,
                      const std::string& body, std::chrono::milliseconds timeout) {
    HTTPReply reply;
    auto deadline = Clock::now() + timeout;
    int fd = connectLoopback(port, timeout);
    if (fd < 0) return reply;
    std::string request = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n";
    if (method == "PUT" || method == "POST" || !body.empty()) {
        request +=
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n";
    }
    request += "\r\n" + body;
    bool complete = false;
    std::string data;
    if (writeAll(fd, request, deadline)) data = readResponse(fd, deadline, &complete);
    ::close(fd);
    size_t bodyStart;
    long long length;
    if (!complete || !headerComplete(data, &bodyStart, &length, &reply.status)) return reply;
    reply.answered = true;
    reply.body = data.substr(bodyStart);
    return reply;
}

std::string rawExchange(uint16_t port, const std::string& bytes,
                        std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    int fd = connectLoopback(port, timeout);
    if (fd < 0) return {};
    std::string data;
    bool complete = false;
    if (writeAll(fd, bytes, deadline)) data = readResponse(fd, deadline, &complete);
    ::close(fd);
    return data;
}

}  // namespace vtr::test
