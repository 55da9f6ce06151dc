// Accuracy of the upload bandwidth limit: five request streams share one bucket and post 1 MiB
// bodies to a loopback sink for a few seconds at each set rate; the sink counts the body bytes
// it reads. Printed next to the same streams without a limit, measured in the same run, which
// shows what the machine could carry.
//   limiter_accuracy [seconds per rate]
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VTRDispatch.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "httpclient/HTTPClient.h"

using namespace vtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kStreams = 5;
constexpr size_t kBodySize = 1 << 20;
constexpr double MiB = 1 << 20;

// Answers every request 200 with an empty body, counting the body bytes it reads.
class Sink {
  public:
    Sink() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 64);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        std::thread([this] { accept(); }).detach();
    }
    uint16_t port() const { return port_; }
    uint64_t bytes() const { return bytes_.load(); }

  private:
    void accept() {
        while (true) {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            std::thread([this, fd] { serve(fd); }).detach();
        }
    }
    void serve(int fd) {
        std::string pending;
        char buffer[65536];
        while (true) {
            size_t end = pending.find("\r\n\r\n");
            while (end == std::string::npos) {
                ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got <= 0) return (void)::close(fd);
                pending.append(buffer, static_cast<size_t>(got));
                end = pending.find("\r\n\r\n");
            }
            size_t field = pending.find("Content-Length: ");
            uint64_t left =
                field < end ? std::strtoull(pending.c_str() + field + 16, nullptr, 10) : 0;
            uint64_t already = std::min<uint64_t>(left, pending.size() - end - 4);
            bytes_ += already;
            left -= already;
            pending.erase(0, end + 4 + already);
            while (left > 0) {
                ssize_t got = ::read(fd, buffer, std::min<uint64_t>(left, sizeof buffer));
                if (got <= 0) return (void)::close(fd);
                bytes_ += static_cast<uint64_t>(got);
                left -= static_cast<uint64_t>(got);
            }
            const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            if (::write(fd, reply, sizeof reply - 1) < 0) return (void)::close(fd);
        }
    }

    int listener_;
    uint16_t port_ = 0;
    std::atomic<uint64_t> bytes_{0};
};

// Keeps kStreams posts going through `limiter` for `seconds` (after a quarter second to settle)
// and returns the sink's rate in MiB/s over that time.
double measure(Sink& sink, std::shared_ptr<HTTPBandwidthLimiter> limiter, double seconds) {
    auto client = HTTPClient::clientWithBaseURL("http://127.0.0.1:" + std::to_string(sink.port()));
    client->setBandwidthLimiter(limiter);
    HTTPRequestBody body;
    body.append(std::string(kBodySize, 'b'));
    std::atomic<bool> stop{false};
    std::vector<std::thread> streams;
    for (size_t i = 0; i < kStreams; ++i) {
        streams.emplace_back([&] {
            while (!stop.load()) {
                HTTPRequest request = client->requestWithMethod("POST", "/sink");
                request.setBody(body);
                auto done = std::make_shared<std::promise<void>>();
                auto operation = client->HTTPRequestOperationWithRequest(
                    std::move(request), [done](auto&, auto&) { done->set_value(); },
                    [done](auto&, auto&) { done->set_value(); });
                operation->setSuccessCallbackQueue(globalCallbackQueue());
                operation->setFailureCallbackQueue(globalCallbackQueue());
                client->enqueueHTTPRequestOperation(operation);
                done->get_future().wait();
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    uint64_t before = sink.bytes();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    uint64_t after = sink.bytes();
    stop = true;
    limiter->setRate(0);  // lets the last bodies finish at once
    for (auto& stream : streams) stream.join();
    return static_cast<double>(after - before) / MiB / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    Sink sink;
    double unlimited = measure(sink, std::make_shared<HTTPBandwidthLimiter>(0), seconds);
    std::printf("unlimited (baseline): %.1f MiB/s\n", unlimited);
    for (uint64_t rate : {1, 10, 100}) {
        double achieved =
            measure(sink, std::make_shared<HTTPBandwidthLimiter>(rate << 20), seconds);
        std::printf("limit %llu MiB/s: achieved %.2f MiB/s ratio %.3f\n",
                    static_cast<unsigned long long>(rate), achieved,
                    achieved / static_cast<double>(rate));
    }
    return 0;
}
