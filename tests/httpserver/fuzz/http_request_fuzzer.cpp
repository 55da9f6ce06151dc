// libFuzzer harness over the server's request reader: every input is sent as raw bytes on a
// fresh loopback connection to one running HTTPServer, the client half-closes, and the reply
// is read until the server closes. A server that neither closes nor answers within the
// deadline is a finding (abort), as is any sanitizer report on the server's thread.
//
// Build and run (clang 14, AddressSanitizer + UndefinedBehaviorSanitizer):
//   CC=clang CXX=clang++ cmake -S . -B build/http-fuzz -DCMAKE_BUILD_TYPE=Debug \
//       -DVTR_SANITIZE=address -DVTR_FUZZ=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
//   cmake --build build/http-fuzz --target http_request_fuzzer -j2
//   mkdir -p build/http-fuzz/corpus
//   build/http-fuzz/bin/http_request_fuzzer build/http-fuzz/corpus \
//       tests/httpserver/fuzz/seeds -max_total_time=600 -max_len=20000
// ctest -L fuzz runs it for 60 seconds from the seeds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "httpserver/HTTPConnection.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPServer.h"
#include "logging/VTRLog.h"

namespace {

// Accepts bodies on POST and PUT and echoes them; refuses DELETE (405); no reply for "/none".
class FuzzConnection : public vtr::HTTPConnection {
  public:
    using HTTPConnection::HTTPConnection;
    bool supportsMethod(const std::string& method, const std::string&) override {
        return method != "DELETE";
    }
    void prepareForBodyWithSize(uint64_t) override { body_.clear(); }
    void processBodyData(std::string_view data) override {
        if (body_.size() < 65536) body_.append(data.substr(0, 65536 - body_.size()));
    }
    std::unique_ptr<vtr::HTTPResponse> httpResponseForMethod(const std::string&,
                                                             const std::string& uri) override {
        if (uri == "/none") return nullptr;
        return std::make_unique<vtr::HTTPDataResponse>(body_, uri == "/s" ? 201 : 200);
    }

  private:
    std::string body_;
};

uint16_t serverPort() {
    static uint16_t port = [] {
        auto* server = new vtr::HTTPServer();  // lives for the whole run
        server->setInterface("127.0.0.1");
        server->setHeaderLineTimeout(std::chrono::seconds(2));
        server->setConnectionClass<FuzzConnection>();
        if (!server->start()) std::abort();
        return server->listeningPort();
    }();
    return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint16_t port = serverPort();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        ::close(fd);
        return 0;
    }
    // Write and read together so a large reply cannot block the server's writes meanwhile.
    size_t sent = 0;
    bool halfClosed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buffer[65536];
    while (true) {
        if (sent == size && !halfClosed) {
            ::shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        pollfd entry{fd, static_cast<short>(POLLIN | (halfClosed ? 0 : POLLOUT)), 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "server neither answered nor closed within the deadline\n");
            std::abort();
        }
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
        if (entry.revents & POLLOUT) {
            ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN) {
                sent = size;  // the server closed its side; nothing more can be written
                halfClosed = true;
            }
        }
        if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) break;
        }
    }
    ::close(fd);
    return 0;
}
