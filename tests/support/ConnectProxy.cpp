#include "support/ConnectProxy.h"

#include <poll.h>
#include <sys/socket.h>

#include <charconv>

#include "logging/VTRFileDescriptor.h"

namespace vtr::test {

namespace {

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

std::string ConnectProxy::url() const {
    return "http://127.0.0.1:" + std::to_string(port());
}

void ConnectProxy::serve(int client) {
    char buffer[16384];
    // The request head, read until its blank line; a proxy client sends nothing more before
    // the answer.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < sizeof buffer) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server_.stopFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        head.append(buffer, static_cast<size_t>(got));
    }
    VTRFileDescriptor target(connectToLoopback(connectPort(head)));
    if (!target.valid()) return;
    ++tunnels_;
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (!sendAll(client, established.data(), established.size())) return;
    for (;;) {
        pollfd fds[3] = {
            {client, POLLIN, 0}, {target.get(), POLLIN, 0}, {server_.stopFd(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) continue;
        if (fds[2].revents) return;
        for (int side = 0; side < 2; ++side) {
            if (!fds[side].revents) continue;
            int from = side == 0 ? client : target.get();
            int to = side == 0 ? target.get() : client;
            ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
            if (got <= 0 || !sendAll(to, buffer, static_cast<size_t>(got))) return;
        }
    }
}

}  // namespace vtr::test
