// The daemon uploading five jobs at once to fake-recording-service while 100 clients follow
// GET /events, next to the same upload with no stream open, measured in the same run: upload
// throughput (all bytes over the wall time from the first PUT to the last completion) and the
// daemon's CPU time over that span. Runs alternate between the two, and medians are printed.
//
// usage: event_streams [MiB per job=64] [rounds=3]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "BenchProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kJobs = 5;
constexpr int kStreams = 100;

int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& text) {
    for (size_t sent = 0; sent < text.size();) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Requests over one kept-alive connection, as the command-line client sends them: a new
// connection per request would cost the daemon its peer check each time, which grows with the
// number of open sockets and would swamp what is measured here.
class Client {
  public:
    explicit Client(uint16_t port) : port_(port) {}
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }

    // The answer's body; empty when none came.
    std::string request(const std::string& method, const std::string& path,
                        const std::string& body = {}) {
        if (fd_ < 0) fd_ = connectTo(port_);
        std::string text =
            fmt::format("{} {} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {}\r\n\r\n{}", method,
                        path, body.size(), body);
        if (fd_ < 0 || !sendAll(fd_, text)) return {};
        size_t headerEnd;
        while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return {};
        size_t at = buffer_.find("Content-Length: ");
        size_t length = at < headerEnd ? std::strtoull(buffer_.c_str() + at + 16, nullptr, 10) : 0;
        while (buffer_.size() < headerEnd + 4 + length)
            if (!fill()) return {};
        std::string answer = buffer_.substr(headerEnd + 4, length);
        buffer_.erase(0, headerEnd + 4 + length);
        return answer;
    }

  private:
    bool fill() {
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ::close(fd_);
            fd_ = -1;
            buffer_.clear();
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    uint16_t port_;
    int fd_ = -1;
    std::string buffer_;
};

// utime + stime of `pid` in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream file(fmt::format("/proc/{}/stat", pid));
    std::string stat((std::istreambuf_iterator<char>(file)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// 100 clients reading GET /events on one thread until stopped.
class StreamReaders {
  public:
    explicit StreamReaders(uint16_t port) {
        for (int i = 0; i < kStreams; ++i) {
            int fd = connectTo(port);
            if (fd >= 0 && sendAll(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
                fds_.push_back(fd);
            else if (fd >= 0)
                ::close(fd);
        }
        thread_ = std::thread([this] { read(); });
    }
    ~StreamReaders() {
        stop_ = true;
        thread_.join();
        for (int fd : fds_) ::close(fd);
    }
    // Every stream has had its snapshot (within 30 s).
    bool waitUntilReady() {
        auto deadline = Clock::now() + std::chrono::seconds(30);
        while (ready_ < static_cast<int>(fds_.size()) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ready_ == static_cast<int>(fds_.size());
    }
    size_t opened() const { return fds_.size(); }
    uint64_t bytes() const { return bytes_; }
    int closed() const { return closed_; }

  private:
    void read() {
        std::vector<pollfd> entries;
        for (int fd : fds_) entries.push_back({fd, POLLIN, 0});
        std::vector<std::string> tails(entries.size());
        char buffer[65536];
        while (!stop_) {
            if (::poll(entries.data(), entries.size(), 50) <= 0) continue;
            for (pollfd& entry : entries) {
                if (entry.fd < 0 || !(entry.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = ::recv(entry.fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    bytes_ += static_cast<uint64_t>(n);
                    // The snapshot ends with "event: ready", which may span two reads.
                    std::string& tail = tails[static_cast<size_t>(&entry - entries.data())];
                    if (tail != "ready") {
                        tail.append(buffer, static_cast<size_t>(n));
                        if (tail.find("event: ready") != std::string::npos) {
                            tail = "ready";
                            ++ready_;
                        } else {
                            tail.erase(0, tail.size() > 16 ? tail.size() - 16 : 0);
                        }
                    }
                } else {
                    ++closed_;
                    entry.fd = -1;
                }
            }
        }
    }

    std::vector<int> fds_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<int> closed_{0};
    std::atomic<int> ready_{0};
};

struct Run {
    double seconds = 0;
    double cpu = 0;
};

// Five jobs, one file each, uploaded at once; returns when all are completed.
Run uploadJobs(Client& client, pid_t daemon, const std::string& serviceURL,
               const std::vector<std::string>& files, const std::string& tag) {
    double cpuBefore = cpuSeconds(daemon);
    auto start = Clock::now();
    for (int i = 0; i < kJobs; ++i) {
        std::string id = fmt::format("{}-{}", tag, i);
        std::string job =
            fmt::format(R"({{"id":"{0}","session_id":"{0}","server_url":"{1}","state":"running",)"
                        R"("file_list":[{{"local_path":"{2}","remote_path":"take.mov"}}]}})",
                        id, serviceURL, files[static_cast<size_t>(i)]);
        client.request("PUT", "/jobs/" + id, job);
    }
    for (int i = 0; i < kJobs;) {
        std::string answer = client.request("GET", fmt::format("/jobs/{}-{}", tag, i));
        if (answer.find("\"state\":\"completed\"") != std::string::npos) {
            ++i;
        } else if (answer.find("\"state\":\"errored\"") != std::string::npos || answer.empty()) {
            std::fprintf(stderr, "job %s-%d failed: %s\n", tag.c_str(), i, answer.c_str());
            std::exit(1);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    Run run{std::chrono::duration<double>(Clock::now() - start).count(), 0};
    run.cpu = cpuSeconds(daemon) - cpuBefore;
    for (int i = 0; i < kJobs; ++i) client.request("DELETE", fmt::format("/jobs/{}-{}", tag, i));
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char pattern[] = "/tmp/event-streams.XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string work = pattern;
    fs::create_directories(work + "/locator");
    std::vector<std::string> files;
    std::mt19937_64 random(11);
    std::vector<uint64_t> block(1 << 17);
    for (int i = 0; i < kJobs; ++i) {
        files.push_back(fmt::format("{}/take{}.mov", work, i));
        std::ofstream out(files.back(), std::ios::binary);
        for (uint64_t written = 0; written < mib; ++written) {
            for (auto& word : block) word = random();
            out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
        }
    }

    vtr::bench::FakeService service = vtr::bench::startFakeService(VTR_BIN_DIR, work + "/data");
    const std::string serviceURL = fmt::format("http://127.0.0.1:{}/Service.svc", service.port);
    ::setenv("XDG_DATA_HOME", (work + "/xdg").c_str(), 1);
    pid_t daemon = vtr::bench::spawn(
        {std::string(VTR_BIN_DIR) + "/vantrel-uploadd", "-p", work + "/locator", "-l", "none"}, -1);
    uint16_t port = 0;
    for (int i = 0; i < 300 && port == 0; ++i) {
        std::ifstream portFile(work + "/locator/UploadDaemon.port");
        if (!(portFile >> port)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (service.port == 0 || daemon <= 0 || port == 0) {
        std::fprintf(stderr, "could not start the service or the daemon\n");
        return 1;
    }

    Client client(port);
    std::vector<double> plainRate, plainCPU, streamRate, streamCPU;
    const double totalMiB = static_cast<double>(mib) * kJobs;
    for (int round = 0; round < rounds; ++round) {
        // Alternating which goes first spreads the machine's drift over both.
        for (int turn = 0; turn < 2; ++turn) {
            bool withStreams = (round + turn) % 2 == 1;
            std::string tag = fmt::format("r{}{}", round, withStreams ? "s" : "p");
            std::unique_ptr<StreamReaders> readers;
            if (withStreams) readers = std::make_unique<StreamReaders>(port);
            if (readers && !readers->waitUntilReady()) std::fprintf(stderr, "streams not ready\n");
            Run run = uploadJobs(client, daemon, serviceURL, files, tag);
            double rate = totalMiB / run.seconds;
            (withStreams ? streamRate : plainRate).push_back(rate);
            (withStreams ? streamCPU : plainCPU).push_back(run.cpu);
            std::printf("round %d %-11s %7.1f MiB/s  daemon CPU %.2f s", round,
                        withStreams ? "100 streams" : "no streams", rate, run.cpu);
            if (readers)
                std::printf("  (%zu opened, %d closed, %.1f KiB read each)", readers->opened(),
                            readers->closed(),
                            static_cast<double>(readers->bytes()) / 1024.0 / kStreams);
            std::printf("\n");
            std::fflush(stdout);
            fs::remove_all(work + "/data");
        }
    }
    double ratio = median(streamRate) / median(plainRate);
    std::printf("no streams (baseline): %.1f MiB/s, daemon CPU %.2f s (medians of %d)\n",
                median(plainRate), median(plainCPU), rounds);
    std::printf("100 event streams: %.1f MiB/s, daemon CPU %.2f s\n", median(streamRate),
                median(streamCPU));
    std::printf("throughput ratio: %.3f (target >= 0.95)\n", ratio);

    ::kill(daemon, SIGTERM);
    ::kill(service.pid, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
    ::waitpid(service.pid, nullptr, 0);
    fs::remove_all(work);
    return 0;
}
