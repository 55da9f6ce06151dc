// Runs a VTRFileUploadOperation the way the job service does (main() on a worker thread,
// reports on a run loop that the test thread runs) against the scripted recording service, with
// short fixed durations and recorded retry pauses, and records every report it delivers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VTRRunLoop.h"
#include "support/ScriptedUploadService.h"
#include "support/TestSupport.h"
#include "upload/VTRFileUploadOperation.h"
#include "upload/VTRFileUploadOperationDelegate.h"
#include "upload/VTRRetryController.h"

namespace vtr::test {

using Method = ScriptedUploadService::Method;

// Dates the file's last modification a minute back, as a recording finished a while ago: settled
// enough for the checksum computed while uploading to be kept.
inline void ageFile(const std::string& path) {
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// One delegate report as received.
struct Report {
    std::string kind;  // "uploaded", "failedUpload", "closed", "failedClose", "failedInit",
                       // "completed", "restarted", "failedVerify"
    std::optional<std::string> file = {};
    std::string recording = {};
    uint64_t bytes = 0;  // total for "uploaded", offset for "failedUpload"
    std::optional<VTRError> error = {};
    std::thread::id thread = {};
};

class RecordingDelegate : public VTRFileUploadOperationDelegate {
  public:
    using Op = VTRFileUploadOperation;
    void operationUploadedBytes(Op&, uint64_t bytes, const std::string& file,
                                const std::string& job) override {
        add({"uploaded", file, job, bytes});
    }
    void operationFailedToUploadBytesAtOffset(Op&, uint64_t offset, const std::string& file,
                                              const std::string& job, const VTRError& e) override {
        add({"failedUpload", file, job, offset, e});
    }
    void operationClosedFile(Op&, const std::string& file, const std::string& job) override {
        add({"closed", file, job});
    }
    void operationFailedToCloseFile(Op&, const std::string& file, const std::string& job,
                                    const VTRError& e) override {
        add({"failedClose", file, job, 0, e});
    }
    void operationFailedToInitializeUploadOfFile(Op&, const std::optional<std::string>& file,
                                                 const std::string& job,
                                                 const VTRError& e) override {
        add({"failedInit", file, job, 0, e});
    }
    void fileUploadOperationCompleted(Op&, const std::string& job) override {
        add({"completed", std::nullopt, job});
    }
    void operationRestartedUploadOfFile(Op&, const std::string& file, const std::string& job,
                                        const VTRError& e) override {
        add({"restarted", file, job, 0, e});
    }
    void operationFailedToVerifyFile(Op&, const std::string& file, const std::string& job,
                                     const VTRError& e) override {
        add({"failedVerify", file, job, 0, e});
    }

    std::vector<Report> reports() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    std::vector<Report> reportsOf(const std::string& kind) const {
        std::vector<Report> matching;
        for (const Report& report : reports())
            if (report.kind == kind) matching.push_back(report);
        return matching;
    }
    // The kinds in the order received, e.g. {"uploaded", "uploaded", "closed", "completed"}.
    std::vector<std::string> kinds() const {
        std::vector<std::string> kinds;
        for (const Report& report : reports()) kinds.push_back(report.kind);
        return kinds;
    }
    bool completed() const {
        std::lock_guard lock(mutex_);
        return !reports_.empty() && reports_.back().kind == "completed";
    }

  private:
    void add(Report report) {
        report.thread = std::this_thread::get_id();
        std::lock_guard lock(mutex_);
        reports_.push_back(std::move(report));
    }

    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

class OperationHarness {
  public:
    OperationHarness() {
        server.verifyChecksums = false;
        retry->setPauseFunction([this](double seconds) {
            std::lock_guard lock(mutex_);
            pauses_.push_back(seconds);
            VTROperation* operation = VTROperation::current();
            return !(operation && operation->isCancelled());
        });
        retry->setConsoleLog([](const std::string&) {});
    }

    // Real pauses (a wait that a cancel ends), starting at `firstPause` seconds.
    void useRealPauses(double firstPause) {
        retry->setPauseFunction(nullptr);
        retry->setFirstPause(firstPause);
    }

    std::string makeFile(const std::string& name, const std::string& bytes) {
        writeFile(dir.file(name), bytes);
        return dir.file(name);
    }

    // Over the scripted server unless given another service.
    std::shared_ptr<VTRFileUploadOperation> make(std::vector<VTRDictionary> files,
                                                 VTRFileUploadOperationDelegate* withDelegate,
                                                 std::unique_ptr<VTRUploadService> service = {}) {
        return std::make_shared<VTRFileUploadOperation>(
            "session-1", "job-1", std::move(files), maxUploadRetries, maxCloseRetries,
            pollingInterval, service ? std::move(service) : server.make(), retry, withDelegate,
            &loop);
    }
    std::shared_ptr<VTRFileUploadOperation> make(std::vector<VTRDictionary> files) {
        return make(std::move(files), &delegate);
    }
    // An operation for one file of the given bytes named "a", starting at `offset`.
    std::shared_ptr<VTRFileUploadOperation> makeOne(const std::string& bytes, uint64_t offset = 0) {
        return make({makeFileInfo(makeFile("a", bytes), "a", offset)});
    }

    // Starts main() on a worker thread and runs the loop until the completed report arrives.
    bool run(const std::shared_ptr<VTRFileUploadOperation>& operation,
             std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::thread worker([operation] { operation->start(); });
        bool completed = loop.runUntil([&] { return delegate.completed(); }, limit);
        worker.join();
        return completed;
    }

    // Starts the operation, cancels it once `ready` holds, and runs the loop until the completed
    // report arrives; false when either did not happen in time.
    bool runAndCancelWhen(const std::shared_ptr<VTRFileUploadOperation>& operation,
                          const std::function<bool()>& ready) {
        std::thread worker([operation] { operation->start(); });
        bool reached = waitUntil(ready);
        operation->cancel();
        bool completed =
            loop.runUntil([&] { return delegate.completed(); }, std::chrono::seconds(20));
        worker.join();
        return reached && completed;
    }

    // Runs the loop until `count` reports have arrived (for stages called directly).
    bool reportsArrive(size_t count) {
        return loop.runUntil([&] { return delegate.reports().size() >= count; },
                             std::chrono::seconds(10));
    }

    std::vector<double> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

    TempDir dir;
    VTRRunLoop loop;
    ScopedLogCapture logs;
    ScriptedUploadService server{&loop};
    std::shared_ptr<VTRRetryController> retry = std::make_shared<VTRRetryController>();
    RecordingDelegate delegate;
    uint32_t maxUploadRetries = 2;
    uint32_t maxCloseRetries = 2;
    double pollingInterval = 0.001;

  private:
    mutable std::mutex mutex_;
    std::vector<double> pauses_;
};

}  // namespace vtr::test
