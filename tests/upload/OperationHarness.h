// Runs a VTRFileUploadOperation the way the job service does (main() on a worker thread,
// reports on a run loop that the test thread runs) against a scripted recording service, with
// short fixed durations and recorded retry pauses.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedUploadService.h"
#include "foundation/VTRRunLoop.h"
#include "support/TestSupport.h"
#include "upload/VTRFileUploadOperation.h"
#include "upload/VTRRetryController.h"

namespace vtr::test {

class OperationHarness {
  public:
    OperationHarness() {
        retry->setPauseFunction([this](double seconds) {
            std::lock_guard lock(mutex_);
            pauses_.push_back(seconds);
            VTROperation* operation = VTROperation::current();
            return !(operation && operation->isCancelled());
        });
        retry->setConsoleLog([this](const std::string& text) {
            std::lock_guard lock(mutex_);
            consoleLines_.push_back(text);
        });
    }

    // Real pauses (a wait that a cancel ends), starting at `firstPause` seconds.
    void useRealPauses(double firstPause) {
        retry->setPauseFunction(nullptr);
        retry->setFirstPause(firstPause);
    }

    std::string makeFile(const std::string& name, const std::string& bytes) {
        std::string path = dir.file(name);
        writeFile(path, bytes);
        return path;
    }

    std::shared_ptr<VTRFileUploadOperation> make(std::vector<VTRDictionary> files,
                                                 VTRFileUploadOperationDelegate* withDelegate) {
        return std::make_shared<VTRFileUploadOperation>(
            "session-1", "job-1", std::move(files), maxUploadRetries, maxCloseRetries,
            pollingInterval, std::make_unique<ScriptedUploadService>(script, cancellable), retry,
            withDelegate, &loop);
    }
    std::shared_ptr<VTRFileUploadOperation> make(std::vector<VTRDictionary> files) {
        return make(std::move(files), &delegate);
    }

    // Starts main() on a worker thread and runs the loop until the completed report arrives.
    bool run(const std::shared_ptr<VTRFileUploadOperation>& operation,
             std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::thread worker = startWorker(operation);
        bool completed = loop.runUntil([&] { return delegate.completed(); }, limit);
        worker.join();
        return completed;
    }

    // Starts the operation, cancels it once `ready` holds, and runs the loop until the completed
    // report arrives; false when either did not happen in time.
    bool runAndCancelWhen(const std::shared_ptr<VTRFileUploadOperation>& operation,
                          const std::function<bool()>& ready) {
        std::thread worker = startWorker(operation);
        bool reached = waitUntil(ready);
        operation->cancel();
        bool completed =
            loop.runUntil([&] { return delegate.completed(); }, std::chrono::seconds(20));
        worker.join();
        return reached && completed;
    }

    std::thread startWorker(const std::shared_ptr<VTRFileUploadOperation>& operation) {
        return std::thread([operation] { operation->start(); });
    }

    std::vector<double> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }
    std::vector<std::string> consoleLines() const {
        std::lock_guard lock(mutex_);
        return consoleLines_;
    }

    TempDir dir;
    VTRRunLoop loop;
    ScopedLogCapture logs;
    std::shared_ptr<UploadScript> script = std::make_shared<UploadScript>();
    std::shared_ptr<CancellableCall> cancellable = std::make_shared<CancellableCall>();
    std::shared_ptr<VTRRetryController> retry = std::make_shared<VTRRetryController>();
    RecordingDelegate delegate;
    uint32_t maxUploadRetries = 2;
    uint32_t maxCloseRetries = 2;
    double pollingInterval = 0.001;

  private:
    mutable std::mutex mutex_;
    std::vector<double> pauses_;
    std::vector<std::string> consoleLines_;
};

}  // namespace vtr::test
