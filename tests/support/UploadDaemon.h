// UploadDaemon: the built vantrel-uploadd on a home of its own (HOME, XDG_DATA_HOME and a
// locator directory under one root), started, ended and started again as a user or a crash
// would, with a small client of its control API and the job JSON that API takes. The daemon
// still running is killed on destruction. Use from one test thread.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/FakeService.h"

namespace vtr::test {

class UploadDaemon {
  public:
    // Makes the directories under `root`; nothing runs yet.
    explicit UploadDaemon(const std::string& root);

    // NAME=VALUE pairs added to the environment of every later launch.
    void setEnvironment(std::vector<std::string> assignments) {
        environment_ = std::move(assignments);
    }
    // Runs the daemon on this home with `arguments`, behind `prefix` (a program that runs it,
    // such as unshare), and returns at once. Standard error is a terminal, so that "-o" shows
    // the log lines there.
    std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& arguments,
                                         const std::vector<std::string>& prefix = {}) const;
    // Starts it serving ("-p" this home's locator directory, then `arguments`) and waits until
    // the locator files name it and it answers GET /.
    bool start(const std::vector<std::string>& arguments = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(90));
    // Ends the daemon started last with `signal` (SIGKILL: as a crash would); its exit status,
    // or nothing when it did not end in time.
    std::optional<int> stop(int signal = SIGKILL);
    // Its exit status once it has ended by itself.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool running();
    uint16_t port() const { return port_; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    // The standard error of every run so far.
    std::string output() const;

    std::string locatorDirectory() const { return root_ + "/locator"; }
    std::string storeDirectory() const { return root_ + "/data/vantrel-uploadd"; }
    std::string portFile() const { return locatorDirectory() + "/UploadDaemon.port"; }
    std::string pidFile() const { return locatorDirectory() + "/UploadDaemon.pid"; }
    // The port once both locator files name `pid`.
    std::optional<int> waitForLocatorFiles(
        pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    RawReply request(const std::string& method, const std::string& path,
                     const std::string& body = {}) const;
    // PUT /jobs/:id with `job`; the status (0 when unanswered).
    int putJob(const nlohmann::json& job) const;
    // GET /jobs/:id: the job, or null when it was not answered 200 with JSON.
    nlohmann::json job(const std::string& id) const;

  private:
    std::string root_;
    std::unique_ptr<ChildProcess> process_;
    std::string earlierOutput_;
    std::vector<std::string> environment_;
    uint16_t port_ = 0;
};

// A job's input JSON: files as (local path, remote name) pairs.
nlohmann::json jobJSON(const std::string& id, const std::string& serverURL,
                       const std::string& session,
                       const std::vector<std::pair<std::string, std::string>>& files,
                       const std::string& state = "running");

// The built vantrel-upload with "-p `locatorDirectory`" in front of `arguments`.
std::vector<std::string> clientCommand(const std::string& locatorDirectory,
                                       const std::vector<std::string>& arguments);

// Sum of "bytes_uploaded" over the job's files.
uint64_t bytesUploaded(const nlohmann::json& job);

}  // namespace vtr::test
