#include "support/ConnectProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>

#include <gtest/gtest.h>

#include "logging/VTRFileDescriptor.h"

namespace vtr::test {

namespace {

bool sendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

// The port of "CONNECT 127.0.0.1:<port> HTTP/1.x"; 0 for any other request line.
uint16_t connectPort(const std::string& head) {
    const std::string prefix = "CONNECT 127.0.0.1:";
    if (!head.starts_with(prefix)) return 0;
    uint16_t port = 0;
    const char* begin = head.data() + prefix.size();
    auto [end, error] = std::from_chars(begin, head.data() + head.size(), port);
    return error == std::errc() && *end == ' ' ? port : 0;
}

}  // namespace

ConnectProxy::ConnectProxy() {
    start();
}

void ConnectProxy::start() {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(stopFd_, 0);
    ASSERT_GE(listenFd_, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listenFd_, 16), 0);
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ConnectProxy::~ConnectProxy() {
    if (stopFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(stopFd_, &one, sizeof one);
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (std::thread& thread : threads) thread.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
}

std::string ConnectProxy::url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void ConnectProxy::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard lock(mutex_);
        threads_.emplace_back([this, client] { serve(client); });
    }
}

void ConnectProxy::serve(int clientFd) {
    VTRFileDescriptor client(clientFd);
    char buffer[16384];
    // The request head, read until its blank line; a proxy client sends nothing more before
    // the answer.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < sizeof buffer) {
        pollfd fds[2] = {{client.get(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
        if (got <= 0) return;
        head.append(buffer, static_cast<size_t>(got));
    }
    VTRFileDescriptor target(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(connectPort(head));
    if (address.sin_port == 0 || !target.valid() ||
        ::connect(target.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const std::string refusal = "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
        sendAll(client.get(), refusal.data(), refusal.size());
        return;
    }
    ++tunnels_;
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (!sendAll(client.get(), established.data(), established.size())) return;
    for (;;) {
        pollfd fds[3] = {
            {client.get(), POLLIN, 0}, {target.get(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) continue;
        if (fds[2].revents) return;
        for (int side = 0; side < 2; ++side) {
            if (!fds[side].revents) continue;
            int from = side == 0 ? client.get() : target.get();
            int to = side == 0 ? target.get() : client.get();
            ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
            if (got <= 0 || !sendAll(to, buffer, static_cast<size_t>(got))) return;
        }
    }
}

}  // namespace vtr::test
