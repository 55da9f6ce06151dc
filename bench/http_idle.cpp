// Opens N keep-alive connections to 127.0.0.1:PORT, sends one GET on each and reads its reply,
// then holds them all open and reports how much the server process (PID) grew in resident
// memory per connection. Finally sends a second GET on every connection to prove each one
// still works. Used by bench/http-idle.
//   http_idle PORT PID [N=1000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

long residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// One GET and its whole reply (the header ends the read when the length is known).
bool exchange(int fd) {
    const char request[] = "GET /job HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) != sizeof request - 1) return false;
    std::string reply;
    char buffer[4096];
    while (true) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        reply.append(buffer, static_cast<size_t>(n));
        size_t end = reply.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        size_t at = reply.find("Content-Length: ");
        if (at == std::string::npos) at = reply.find("content-length: ");
        if (at == std::string::npos) return false;
        size_t length = std::strtoul(reply.c_str() + at + 16, nullptr, 10);
        if (reply.size() >= end + 4 + length) return reply.compare(0, 12, "HTTP/1.1 200") == 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: http_idle PORT PID [N]\n");
        return 2;
    }
    uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
    int pid = std::atoi(argv[2]);
    int count = argc > 3 ? std::atoi(argv[3]) : 1000;

    // One warm-up exchange so one-time allocations do not count against the connections.
    int warm = connectTo(port);
    if (warm < 0 || !exchange(warm)) return 1;
    ::close(warm);
    long before = residentKiB(pid);

    std::vector<int> descriptors;
    for (int i = 0; i < count; ++i) {
        int fd = connectTo(port);
        if (fd < 0 || !exchange(fd)) {
            std::fprintf(stderr, "connection %d failed\n", i);
            return 1;
        }
        descriptors.push_back(fd);
    }
    long after = residentKiB(pid);
    int failures = 0;
    for (int fd : descriptors) failures += exchange(fd) ? 0 : 1;
    for (int fd : descriptors) ::close(fd);
    std::printf(
        "connections %d failed %d rss_before_kib %ld rss_after_kib %ld per_connection_bytes %.0f\n",
        count, failures, before, after, (after - before) * 1024.0 / count);
    return failures == 0 ? 0 : 1;
}
