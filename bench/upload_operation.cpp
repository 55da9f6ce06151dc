// The upload operation sending a large file to fake-recording-service, next to its bound measured
// in the same run: the bare UploadChunk calls over the same bytes (the SOAP client alone, no file
// reading, hashing or reporting), and the older bound of those calls plus two MD5 passes over the
// file. Per round: the whole file from offset 0, the same from a stored offset of half the file
// (against the bare calls over that half), and five operations of a fifth of the file each at
// once (aggregate rate against the single operation). Also the process's CPU seconds per GiB for
// the operation and for the bare calls, and the operation's peak resident memory above the idle
// process, in chunk sizes (first operation only). Figures are medians over the rounds.
//
// usage: upload_operation [file MiB=1024] [chunk MiB=4] [rounds=3]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// CPU seconds (user and system) of this process so far.
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (user and system) of another process so far.
double processCpuSeconds(pid_t pid) {
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::strtod(field.c_str(), nullptr);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The median of the per-round ratios ours[i] / (base[i] + extra[i]): each round's figures share
// the machine's load of the moment, which on a shared machine varies more between rounds.
double medianRatio(const std::vector<double>& ours, const std::vector<double>& base,
                   const std::vector<double>& extra = {}) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i)
        ratios.push_back(ours[i] / (base[i] + (extra.empty() ? 0.0 : extra[i])));
    return median(ratios);
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

// Writes the file and dates its last modification a minute back, as a recording finished a
// while ago (the operation trusts its own reads only for a file that has settled).
void writeRandomFile(const std::string& path, uint64_t size, uint32_t seed) {
    {
        std::ofstream out(path, std::ios::binary);
        std::vector<uint32_t> block(1 << 18);
        std::mt19937 random(seed);
        for (uint64_t written = 0; written < size; written += block.size() * sizeof(uint32_t)) {
            for (auto& word : block) word = random();
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(
                          std::min<uint64_t>(block.size() * sizeof(uint32_t), size - written)));
        }
    }
    timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 60, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Runs operations, one per file ({local path, remote name, stored offset}), each on a thread of
// its own as the job service's queue does, until all have completed; false on any failure.
bool runOperations(const std::string& url,
                   const std::vector<std::tuple<std::string, std::string, uint64_t>>& files,
                   uint64_t expectedBytesEach) {
    vtr::VTRRunLoop loop;
    std::vector<std::unique_ptr<CountingDelegate>> delegates;
    std::vector<std::shared_ptr<vtr::VTRFileUploadOperation>> operations;
    for (const auto& [path, remote, offset] : files) {
        delegates.push_back(std::make_unique<CountingDelegate>());
        operations.push_back(std::make_shared<vtr::VTRFileUploadOperation>(
            "bench", "job-" + remote,
            std::vector<vtr::VTRDictionary>{vtr::makeFileInfo(path, remote, offset)},
            vtr::VTRFileUploadOperation::kDefaultMaxUploadRetries,
            vtr::VTRFileUploadOperation::kDefaultMaxCloseRetries,
            vtr::VTRFileUploadOperation::kDefaultPollingInterval,
            std::make_unique<vtr::VTRUploadServiceWithVerify>(url),
            std::make_shared<vtr::VTRRetryController>(), delegates.back().get(), &loop));
    }
    std::vector<std::thread> workers;
    for (auto& operation : operations) workers.emplace_back([operation] { operation->start(); });
    loop.runUntil(
        [&] {
            return std::all_of(delegates.begin(), delegates.end(),
                               [](const auto& d) { return d->completed.load(); });
        },
        std::chrono::hours(2));
    for (auto& worker : workers) worker.join();
    bool clean = true;
    for (auto& d : delegates)
        clean = clean && !d->failures && d->closed && d->uploaded == expectedBytesEach;
    if (!clean) fmt::print(stderr, "an upload did not complete cleanly\n");
    return clean;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t fileMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const size_t chunkSize = (argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4) << 20;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    const uint64_t fileSize = uint64_t(fileMiB) << 20;
    const uint64_t half = fileSize / 2 / chunkSize * chunkSize;
    constexpr int kJobs = 5;
    const uint64_t jobSize = fileSize / kJobs;

    std::string work = std::filesystem::temp_directory_path() / "upload_operation_bench.XXXXXX";
    if (!mkdtemp(work.data())) return 1;
    const std::string path = work + "/recording.mov";
    writeRandomFile(path, fileSize, 7);
    std::vector<std::string> jobPaths;
    for (int i = 0; i < kJobs; ++i) {
        jobPaths.push_back(fmt::format("{}/segment{}.mov", work, i));
        writeRandomFile(jobPaths.back(), jobSize, 100 + i);
    }

    vtr::bench::FakeService service = vtr::bench::startFakeService(
        VTR_BIN_DIR, work + "/data", {"--chunk-size", std::to_string(chunkSize)});
    if (service.port == 0) return 1;
    const std::string root = fmt::format("http://127.0.0.1:{}", service.port);
    const std::string url = root + "/Service.svc";
    auto reset = [&] {
        runAndWait({"curl", "-s", "-o", "/dev/null", "-X", "POST", root + "/control/reset"});
    };

    // The idle process has its transport running (network thread, TLS library, global queue):
    // one small call sets them up before the baseline memory is read.
    long coldKiB = statusKiB("VmRSS");
    {
        vtr::VTRUploadServiceWithVerify warmUp(url);
        vtr::VTRError error;
        if (warmUp.chunkSizeError(&error) <= 0) return 1;
    }
    long idleKiB = statusKiB("VmRSS");
    long peakKiB = 0;

    auto soap = std::make_unique<vtr::VTRSOAPMethodCaller>(vtr::VTRRecordingServiceNamespace,
                                                           vtr::VTRRecordingServiceExtension);
    vtr::VTRRemoteMethodCaller_sync caller(std::move(soap));
    caller.setClient(vtr::HTTPClient::clientWithBaseURL(url));
    caller.setServicePath("");
    const std::vector<std::string> names{"sessionID", "fileName", "buffer", "offset"};
    // The bare UploadChunk calls over the file: only the calls are timed and their CPU counted;
    // the seconds spent on the second half go to `halfSeconds`.
    auto bareLoop = [&](double& seconds, double& halfSeconds, double& cpu) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        vtr::VTRBytes chunk(chunkSize);
        for (uint64_t offset = 0; offset < fileSize; offset += chunkSize) {
            ssize_t n = pread(fd, chunk.data(), chunkSize, static_cast<off_t>(offset));
            if (n <= 0) return false;
            vtr::VTRBytes bytes(chunk.begin(), chunk.begin() + n);
            bool ok = false;
            double cpuStart = cpuSeconds();
            auto callStart = Clock::now();
            caller.callRemoteMethod(
                "UploadChunk", names, {"bench", "bare.bin", std::move(bytes), offset},
                [&](const vtr::VTRDictionary&, const vtr::HTTPURLResponse*) { ok = true; },
                [&](const vtr::VTRError& error, const vtr::HTTPURLResponse*) {
                    fmt::print(stderr, "bare call failed: {}\n", error.description());
                });
            double call = secondsSince(callStart);
            cpu += cpuSeconds() - cpuStart;
            seconds += call;
            if (offset >= half) halfSeconds += call;
            if (!ok) return false;
        }
        close(fd);
        return true;
    };
    // The calls that end a file on the wire, VerifyFile (the server hashes its copy) and
    // TryCloseFile, as bare calls; their seconds.
    auto bareEnd = [&] {
        auto start = Clock::now();
        bool ok = true;
        auto failed = [&](const vtr::VTRError& error, const vtr::HTTPURLResponse*) {
            fmt::print(stderr, "bare call failed: {}\n", error.description());
            ok = false;
        };
        auto done = [](const vtr::VTRDictionary&, const vtr::HTTPURLResponse*) {};
        caller.callRemoteMethod("VerifyFile", {"sessionID", "fileName", "checksum"},
                                {"bench", "bare.bin", "1B2M2Y8AsgTpgAmY7PhCfg=="}, done, failed);
        caller.callRemoteMethod("TryCloseFile", {"sessionID", "fileName"}, {"bench", "bare.bin"},
                                done, failed);
        return ok ? secondsSince(start) : -1.0;
    };

    std::vector<double> whole, fromHalf, five, bare, bareHalf, ends, md5Passes;
    std::vector<double> cpuWhole, cpuBare, serverWhole, serverBare;
    for (int round = 0; round < rounds; ++round) {
        // 1. The whole file from offset 0; the first one also gives the memory peak, so that
        //    nothing measured before it raises it.
        reset();
        if (round == 0) std::ofstream("/proc/self/clear_refs") << "5";
        double cpuStart = cpuSeconds();
        double serverStart = processCpuSeconds(service.pid);
        auto start = Clock::now();
        if (!runOperations(url, {{path, "recording.mov", 0}}, fileSize)) return 1;
        whole.push_back(secondsSince(start));
        cpuWhole.push_back(cpuSeconds() - cpuStart);
        serverWhole.push_back(processCpuSeconds(service.pid) - serverStart);
        if (round == 0) peakKiB = statusKiB("VmHWM");

        // 2. From a stored offset of half the file: the server has every byte from step 1.
        start = Clock::now();
        if (!runOperations(url, {{path, "recording.mov", half}}, fileSize)) return 1;
        fromHalf.push_back(secondsSince(start));

        // 3. Five operations of a fifth of the file each, at once.
        reset();
        std::vector<std::tuple<std::string, std::string, uint64_t>> jobs;
        for (int i = 0; i < kJobs; ++i)
            jobs.emplace_back(jobPaths[i], fmt::format("segment{}.mov", i), 0);
        start = Clock::now();
        if (!runOperations(url, jobs, jobSize)) return 1;
        five.push_back(secondsSince(start));

        // 4. The bare calls over the same bytes.
        reset();
        double seconds = 0, halfSeconds = 0, cpu = 0;
        serverStart = processCpuSeconds(service.pid);
        if (!bareLoop(seconds, halfSeconds, cpu)) return 1;
        ends.push_back(bareEnd());
        if (ends.back() < 0) return 1;
        serverBare.push_back(processCpuSeconds(service.pid) - serverStart);
        bare.push_back(seconds);
        bareHalf.push_back(halfSeconds);
        cpuBare.push_back(cpu);

        // 5. Two MD5 passes over the file.
        auto md5Start = Clock::now();
        for (int pass = 0; pass < 2; ++pass) {
            vtr::VTRFileInputStream stream(path);
            if (!stream.open() || !vtr::md5Digest(stream)) return 1;
        }
        md5Passes.push_back(secondsSince(md5Start));
        fmt::print(stderr,
                   "round {}: whole {:.2f} s, from half {:.2f} s, five jobs {:.2f} s, bare {:.2f} "
                   "s (half {:.2f} s, verify and close {:.2f} s), two MD5 passes {:.2f} s\n",
                   round + 1, whole.back(), fromHalf.back(), five.back(), bare.back(),
                   bareHalf.back(), ends.back(), md5Passes.back());
    }

    const double gib = double(fileSize) / double(1 << 30);
    const double wholeS = median(whole), halfS = median(fromHalf), fiveS = median(five);
    const double bareS = median(bare), bareHalfS = median(bareHalf), md5S = median(md5Passes);
    const double chunkMiB = double(chunkSize) / (1 << 20);
    const double aboveIdleMiB = double(peakKiB - idleKiB) / 1024;
    fmt::print(
        "Upload operation, {} MiB file in {} MiB chunks, medians of {} rounds (ratios: median of "
        "the per-round ratios)\n",
        fileMiB, chunkSize >> 20, rounds);
    fmt::print("  operation wall time:            {:.2f} s ({:.0f} MiB/s)\n", wholeS,
               fileMiB / wholeS);
    fmt::print("  baseline: bare UploadChunk calls {:.2f} s, ratio {:.3f} (target <= 1.10)\n",
               bareS, medianRatio(whole, bare));
    fmt::print("  older bound: bare calls + two MD5 passes {:.2f} s = {:.2f} s, ratio {:.3f}\n",
               md5S, bareS + md5S, medianRatio(whole, bare, md5Passes));
    const double endS = median(ends);
    fmt::print(
        "  with the file's bare VerifyFile and close ({:.2f} s) added to the bare calls: "
        "{:.2f} s, ratio {:.3f}\n",
        endS, bareS + endS, medianRatio(whole, bare, ends));
    fmt::print("  CPU per GiB in this process: operation {:.2f} s, bare calls {:.2f} s\n",
               median(cpuWhole) / gib, median(cpuBare) / gib);
    fmt::print(
        "  CPU per GiB in the service: operation {:.2f} s, bare calls with verify and close "
        "{:.2f} s\n",
        median(serverWhole) / gib, median(serverBare) / gib);
    fmt::print(
        "  from half: operation {:.2f} s, bare calls over the half {:.2f} s, ratio {:.3f} "
        "(target <= 1.15)\n",
        halfS, bareHalfS, medianRatio(fromHalf, bareHalf));
    fmt::print("  from half, with the bare VerifyFile and close added: {:.2f} s, ratio {:.3f}\n",
               bareHalfS + endS, medianRatio(fromHalf, bareHalf, ends));
    fmt::print(
        "  five jobs of {} MiB at once: {:.2f} s = {:.0f} MiB/s aggregate; one job {:.0f} "
        "MiB/s, ratio {:.3f}\n",
        jobSize >> 20, fiveS, double(kJobs * jobSize >> 20) / fiveS, fileMiB / wholeS,
        medianRatio(whole, five) * double(kJobs * jobSize) / double(fileSize));
    fmt::print(
        "  resident memory: idle {:.1f} MiB (before the transport started {:.1f} MiB), peak "
        "{:.1f} MiB, above idle {:.1f} MiB = {:.2f} chunk sizes (target <= 3)\n",
        idleKiB / 1024.0, coldKiB / 1024.0, peakKiB / 1024.0, aboveIdleMiB,
        aboveIdleMiB / chunkMiB);

    kill(service.pid, SIGTERM);
    int status;
    waitpid(service.pid, &status, 0);
    std::filesystem::remove_all(work);
    return 0;
}
