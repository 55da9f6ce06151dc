#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "logging/VTRFileDescriptor.h"
#include "support/TestSupport.h"

namespace vtr::test {

LoopbackServer::LoopbackServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
    start();
}

void LoopbackServer::start() {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    listenFd_ = listenOnLoopback(&port_);
    ASSERT_GE(stopFd_, 0);
    ASSERT_GE(listenFd_, 0);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    if (stopFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(stopFd_, &one, sizeof one);
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
    }
    for (std::thread& thread : threads) thread.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
}

void LoopbackServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard lock(mutex_);
        connections_.push_back(client);
        threads_.emplace_back([this, client] {
            VTRFileDescriptor closed(client);
            serve_(client);
            std::lock_guard lock(mutex_);
            connections_.erase(std::find(connections_.begin(), connections_.end(), client));
        });
    }
}

bool sendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

int connectToLoopback(uint16_t port) {
    VTRFileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (port == 0 || !socket.valid() ||
        ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    return socket.release();
}

}  // namespace vtr::test
