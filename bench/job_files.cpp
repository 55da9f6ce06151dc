// One job of N small files (1 KiB each) uploaded by the job service to fake-recording-service,
// every report saved in the job store, next to the bare upload operation sending the same files
// with a delegate that only counts (no store), measured in the same run, alternately, best of two
// rounds each. The per-file time of the job should not grow with N.
//
// usage: job_files [N ...]   (default 1000 5000 20000)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "BenchProcess.h"
#include "foundation/VTRRunLoop.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteStatement.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"
#include "logging/VTRLog.h"
#include "service/VTRRemoteUploadJobService.h"
#include "upload/VTRFileInfo.h"
#include "upload/VTRFileUploadOperation.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRRetryController.h"
#include "upload/VTRUploadServiceWithVerify.h"

namespace {

using namespace vtr;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void check(bool ok, const std::string& what) {
    if (!ok) {
        fmt::print(stderr, "job_files: {} failed\n", what);
        std::exit(1);
    }
}

// Counts closed files and failures; the baseline needs nothing else.
class CountingDelegate : public VTRFileUploadOperationDelegate {
  public:
    std::atomic<size_t> closed{0};
    std::atomic<int> failures{0};
    std::atomic<bool> completed{false};

    void operationUploadedBytes(VTRFileUploadOperation&, uint64_t, const std::string&,
                                const std::string&) override {}
    void operationFailedToUploadBytesAtOffset(VTRFileUploadOperation&, uint64_t, const std::string&,
                                              const std::string&, const VTRError&) override {
        ++failures;
    }
    void operationClosedFile(VTRFileUploadOperation&, const std::string&,
                             const std::string&) override {
        ++closed;
    }
    void operationFailedToCloseFile(VTRFileUploadOperation&, const std::string&, const std::string&,
                                    const VTRError&) override {
        ++failures;
    }
    void operationFailedToInitializeUploadOfFile(VTRFileUploadOperation&,
                                                 const std::optional<std::string>&,
                                                 const std::string&, const VTRError&) override {
        ++failures;
    }
    void fileUploadOperationCompleted(VTRFileUploadOperation&, const std::string&) override {
        completed = true;
    }
    void operationRestartedUploadOfFile(VTRFileUploadOperation&, const std::string&,
                                        const std::string&, const VTRError&) override {
        ++failures;
    }
    void operationFailedToVerifyFile(VTRFileUploadOperation&, const std::string&,
                                     const std::string&, const VTRError&) override {
        ++failures;
    }
};

// Writes `count` files of 1 KiB under `directory`; their paths.
std::vector<std::string> writeFiles(const std::string& directory, size_t count) {
    std::filesystem::create_directories(directory);
    std::vector<std::string> paths;
    std::string bytes(1024, '\0');
    for (size_t i = 0; i < count; ++i) {
        for (size_t b = 0; b < bytes.size(); ++b) bytes[b] = char((i * 31 + b * 7) & 0xff);
        paths.push_back(fmt::format("{}/segment-{:05}.ts", directory, i));
        std::ofstream(paths.back(), std::ios::binary) << bytes;
    }
    return paths;
}

std::string remoteName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// The bare operation over the files, reports counted on a run loop of its own; seconds.
double uploadWithOperation(const std::vector<std::string>& paths, const std::string& url,
                           const std::string& session) {
    std::vector<VTRDictionary> fileInfo;
    for (const std::string& path : paths)
        fileInfo.push_back(makeFileInfo(path, remoteName(path), 0));
    VTRRunLoop loop;
    CountingDelegate delegate;
    auto operation = std::make_shared<VTRFileUploadOperation>(
        session, "job", std::move(fileInfo), VTRFileUploadOperation::kDefaultMaxUploadRetries,
        VTRFileUploadOperation::kDefaultMaxCloseRetries,
        VTRFileUploadOperation::kDefaultPollingInterval,
        std::make_unique<VTRUploadServiceWithVerify>(url),
        std::make_shared<VTRRetryController>(/*shouldSleep=*/true, /*quiet=*/true), &delegate,
        &loop);
    auto start = Clock::now();
    std::thread worker([operation] { operation->start(); });
    loop.runUntil([&] { return delegate.completed.load(); }, std::chrono::hours(2));
    worker.join();
    double seconds = secondsSince(start);
    check(delegate.failures == 0 && delegate.closed == paths.size(), "the bare operation");
    return seconds;
}

// The job's stored state, read without its files.
int64_t storedState(VTRStoreCoordinator& coordinator) {
    auto lock = coordinator.lock();
    sqlite3_stmt* statement =
        coordinator.statement("SELECT \"stateValue\" FROM \"UploadJob\" LIMIT 1", nullptr);
    VTRStatementScope scope(statement);
    return sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
}

// CPU seconds the calling thread has used.
double threadCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct JobRun {
    double seconds;
    // On the run loop's thread: every report's store update, and the completion checks.
    double reportCPUSeconds;
};

// The job service uploading one stored running job of the files; seconds from the service's
// start to the job stored as completed.
JobRun uploadWithJobService(const std::vector<std::string>& paths, const std::string& url,
                            const std::string& session, const std::string& database) {
    VTRError error;
    auto coordinator = VTRStoreCoordinator::open(database, &error);
    check(coordinator != nullptr, "open: " + error.description());
    nlohmann::json files = nlohmann::json::array();
    for (const std::string& path : paths)
        files.push_back({{"local_path", path}, {"remote_path", remoteName(path)}});
    {
        VTRSQLiteUploadJobStore store(coordinator);
        check(store.addJob({{"id", "job"},
                            {"session_id", session},
                            {"server_url", url},
                            {"state", "running"},
                            {"credentials", "secret"},
                            {"file_list", files}},
                           &error),
              "addJob: " + error.description());
    }
    VTRRunLoop loop;
    auto start = Clock::now();
    double cpuStart = threadCPUSeconds();
    VTRRemoteUploadJobService service(coordinator, loop, {});
    bool done =
        loop.runUntil([&] { return storedState(*coordinator) == VTRUploadJobStateCompleted; },
                      std::chrono::hours(2));
    JobRun run{secondsSince(start), threadCPUSeconds() - cpuStart};
    check(done, "the job");
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> counts;
    for (int i = 1; i < argc; ++i) counts.push_back(std::strtoul(argv[i], nullptr, 10));
    if (counts.empty()) counts = {1000, 5000, 20000};

    std::string work = std::filesystem::temp_directory_path() / "job_files_bench.XXXXXX";
    check(mkdtemp(work.data()) != nullptr, "mkdtemp");
    bench::FakeService service = bench::startFakeService(VTR_BIN_DIR, work + "/data");
    check(service.port != 0, "the service's port");
    const std::string url = fmt::format("http://127.0.0.1:{}/Service.svc", service.port);

    fmt::print("One job of N files of 1 KiB against fake-recording-service (per-file ms)\n");
    fmt::print("{:>7} {:>12} {:>12} {:>16} {:>7} {:>17}\n", "N", "job service", "per file",
               "bare operation", "ratio", "report CPU/file");
    double firstPerFile = 0, lastPerFile = 0;
    for (size_t count : counts) {
        std::string directory = fmt::format("{}/files-{}", work, count);
        std::vector<std::string> paths = writeFiles(directory, count);
        // Alternately, best of two rounds each: the machine's load moves between runs.
        double bare = 1e300;
        JobRun job{1e300, 1e300};
        for (int round = 0; round < 2; ++round) {
            bare = std::min(bare, uploadWithOperation(
                                      paths, url, fmt::format("operation-{}-{}", count, round)));
            JobRun run =
                uploadWithJobService(paths, url, fmt::format("service-{}-{}", count, round),
                                     fmt::format("{}/UploadDaemon-{}.sqlite", directory, round));
            job.seconds = std::min(job.seconds, run.seconds);
            job.reportCPUSeconds = std::min(job.reportCPUSeconds, run.reportCPUSeconds);
        }
        double perFile = 1000 * job.seconds / double(count);
        double barePerFile = 1000 * bare / double(count);
        if (firstPerFile == 0) firstPerFile = perFile;
        lastPerFile = perFile;
        fmt::print("{:>7} {:>10.2f} s {:>9.3f} ms {:>13.3f} ms {:>7.2f} {:>14.3f} ms\n", count,
                   job.seconds, perFile, barePerFile, perFile / barePerFile,
                   1000 * job.reportCPUSeconds / double(count));
        std::fflush(stdout);
        std::filesystem::remove_all(directory);
    }
    if (counts.size() > 1) {
        fmt::print(
            "growth: per-file time at {} over per-file time at {} = {:.2f} (target <= 1.3)\n",
            counts.back(), counts.front(), lastPerFile / firstPerFile);
    }
    kill(service.pid, SIGTERM);
    int status;
    waitpid(service.pid, &status, 0);
    std::filesystem::remove_all(work);
    return 0;
}
