// One upload operation sending a large file to fake-recording-service, next to the sum of its
// unavoidable parts measured in the same run: the bare UploadChunk calls over the same bytes
// (the SOAP client alone, no file reading, hashing or reporting) plus two MD5 passes over the
// file (one chunk by chunk, one for the whole-file check). Also the operation's peak resident
// memory above the idle process, in chunk sizes.
//
// usage: upload_operation [file MiB=1024] [chunk MiB=4]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "BenchProcess.h"
#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRRunLoop.h"
#include "foundation/VTRStreamAdditions.h"
#include "httpclient/HTTPClient.h"
#include "soap/VTRRemoteMethodCaller_sync.h"
#include "soap/VTRSOAPMethodCaller.h"
#include "upload/VTRFileUploadOperation.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRRetryController.h"
#include "upload/VTRUploadServiceWithVerify.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

using vtr::bench::spawn;

void runAndWait(std::vector<std::string> args) {
    pid_t pid = spawn(std::move(args), -1);
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
}

// Counts the reports; the bench only needs to know that every chunk went and the file closed.
class CountingDelegate : public vtr::VTRFileUploadOperationDelegate {
  public:
    std::atomic<uint64_t> uploaded{0};
    std::atomic<int> failures{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> completed{false};

    void operationUploadedBytes(vtr::VTRFileUploadOperation&, uint64_t bytes, const std::string&,
                                const std::string&) override {
        uploaded = bytes;
    }
    void operationFailedToUploadBytesAtOffset(vtr::VTRFileUploadOperation&, uint64_t,
                                              const std::string&, const std::string&,
                                              const vtr::VTRError& error) override {
        fail(error);
    }
    void operationClosedFile(vtr::VTRFileUploadOperation&, const std::string&,
                             const std::string&) override {
        closed = true;
    }
    void operationFailedToCloseFile(vtr::VTRFileUploadOperation&, const std::string&,
                                    const std::string&, const vtr::VTRError& error) override {
        fail(error);
    }
    void operationFailedToInitializeUploadOfFile(vtr::VTRFileUploadOperation&,
                                                 const std::optional<std::string>&,
                                                 const std::string&,
                                                 const vtr::VTRError& error) override {
        fail(error);
    }
    void fileUploadOperationCompleted(vtr::VTRFileUploadOperation&, const std::string&) override {
        completed = true;
    }
    void operationRestartedUploadOfFile(vtr::VTRFileUploadOperation&, const std::string&,
                                        const std::string&, const vtr::VTRError& error) override {
        fail(error);
    }
    void operationFailedToVerifyFile(vtr::VTRFileUploadOperation&, const std::string&,
                                     const std::string&, const vtr::VTRError& error) override {
        fail(error);
    }

  private:
    void fail(const vtr::VTRError& error) {
        ++failures;
        fmt::print(stderr, "report: {}\n", error.description());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const size_t fileMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const size_t chunkSize = (argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4) << 20;
    const uint64_t fileSize = uint64_t(fileMiB) << 20;

    std::string work = std::filesystem::temp_directory_path() / "upload_operation_bench.XXXXXX";
    if (!mkdtemp(work.data())) return 1;
    const std::string path = work + "/recording.mov";
    {
        std::ofstream out(path, std::ios::binary);
        std::vector<uint32_t> block(chunkSize / sizeof(uint32_t));
        std::mt19937 random(7);
        for (uint64_t written = 0; written < fileSize; written += chunkSize) {
            for (auto& word : block) word = random();
            out.write(
                reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(std::min<uint64_t>(chunkSize, fileSize - written)));
        }
    }

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return 1;
    pid_t service = spawn({std::string(VTR_BIN_DIR) + "/fake-recording-service", "--chunk-size",
                           std::to_string(chunkSize), "--data-dir", work + "/data"},
                          out[1]);
    close(out[1]);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        char buffer[64];
        if (poll(&p, 1, 30000) <= 0) return 1;
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) return 1;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    const std::string root = fmt::format("http://127.0.0.1:{}", std::stoi(line));
    const std::string url = root + "/Service.svc";
    auto reset = [&] {
        runAndWait({"curl", "-s", "-o", "/dev/null", "-X", "POST", root + "/control/reset"});
    };

    // 1. The operation, first, so that nothing measured before it raises the peak.
    vtr::VTRRunLoop loop;
    CountingDelegate delegate;
    auto operation = std::make_shared<vtr::VTRFileUploadOperation>(
        "bench", "job",
        std::vector<vtr::VTRDictionary>{vtr::makeFileInfo(path, "recording.mov", 0)},
        vtr::VTRFileUploadOperation::kDefaultMaxUploadRetries,
        vtr::VTRFileUploadOperation::kDefaultMaxCloseRetries,
        vtr::VTRFileUploadOperation::kDefaultPollingInterval,
        std::make_unique<vtr::VTRUploadServiceWithVerify>(url),
        std::make_shared<vtr::VTRRetryController>(), &delegate, &loop);
    // The idle process has its transport running (network thread, TLS library, global queue):
    // one small call sets them up before the baseline memory is read.
    long coldKiB = statusKiB("VmRSS");
    {
        vtr::VTRUploadServiceWithVerify warmUp(url);
        vtr::VTRError error;
        if (warmUp.chunkSizeError(&error) <= 0) return 1;
    }
    long idleKiB = statusKiB("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak from here
    auto start = Clock::now();
    std::thread worker([operation] { operation->start(); });
    loop.runUntil([&] { return delegate.completed.load(); }, std::chrono::hours(2));
    worker.join();
    double operationSeconds = secondsSince(start);
    long peakKiB = statusKiB("VmHWM");
    if (delegate.failures || !delegate.closed || delegate.uploaded != fileSize) {
        fmt::print(stderr, "the upload did not complete cleanly\n");
        return 1;
    }

    // 2. The bare UploadChunk calls over the same bytes; only the calls are timed.
    reset();
    auto soap = std::make_unique<vtr::VTRSOAPMethodCaller>(vtr::VTRRecordingServiceNamespace,
                                                           vtr::VTRRecordingServiceExtension);
    vtr::VTRRemoteMethodCaller_sync caller(std::move(soap));
    caller.setClient(vtr::HTTPClient::clientWithBaseURL(url));
    caller.setServicePath("");
    std::vector<std::string> names{"sessionID", "fileName", "buffer", "offset"};
    double callSeconds = 0;
    {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        vtr::VTRBytes chunk(chunkSize);
        for (uint64_t offset = 0; offset < fileSize; offset += chunkSize) {
            ssize_t n = pread(fd, chunk.data(), chunkSize, static_cast<off_t>(offset));
            if (n <= 0) return 1;
            vtr::VTRBytes bytes(chunk.begin(), chunk.begin() + n);
            bool ok = false;
            auto callStart = Clock::now();
            caller.callRemoteMethod(
                "UploadChunk", names, {"bench", "bare.bin", std::move(bytes), offset},
                [&](const vtr::VTRDictionary&, const vtr::HTTPURLResponse*) { ok = true; },
                [&](const vtr::VTRError& error, const vtr::HTTPURLResponse*) {
                    fmt::print(stderr, "bare call failed: {}\n", error.description());
                });
            callSeconds += secondsSince(callStart);
            if (!ok) return 1;
        }
        close(fd);
    }

    // 3. Two MD5 passes over the file.
    double md5Seconds = 0;
    for (int pass = 0; pass < 2; ++pass) {
        auto md5Start = Clock::now();
        vtr::VTRFileInputStream stream(path);
        if (!stream.open() || !vtr::md5Digest(stream)) return 1;
        md5Seconds += secondsSince(md5Start);
    }

    double sum = callSeconds + md5Seconds;
    double chunkMiB = double(chunkSize) / (1 << 20);
    double aboveIdleMiB = double(peakKiB - idleKiB) / 1024;
    fmt::print("Upload operation, {} MiB file in {} MiB chunks\n", fileMiB, chunkSize >> 20);
    fmt::print("  operation wall time:            {:.2f} s ({:.0f} MiB/s)\n", operationSeconds,
               fileMiB / operationSeconds);
    fmt::print("  baseline: bare UploadChunk calls {:.2f} s + two MD5 passes {:.2f} s = {:.2f} s\n",
               callSeconds, md5Seconds, sum);
    fmt::print("  ratio {:.3f} (target <= 1.2)\n", operationSeconds / sum);
    fmt::print(
        "  resident memory: idle {:.1f} MiB (before the transport started {:.1f} MiB), peak "
        "{:.1f} MiB, above idle {:.1f} MiB = {:.2f} chunk sizes (target <= 3)\n",
        idleKiB / 1024.0, coldKiB / 1024.0, peakKiB / 1024.0, aboveIdleMiB,
        aboveIdleMiB / chunkMiB);

    kill(service, SIGTERM);
    int status;
    waitpid(service, &status, 0);
    std::filesystem::remove_all(work);
    return 0;
}
