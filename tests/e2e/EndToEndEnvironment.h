// The pieces an end-to-end test drives: the built fake-recording-service and the built upload
// daemon as child processes, each with throw-away directories, and the job JSON the daemon's
// control API takes. Use from one test thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "LoopbackHTTP.h"

namespace vtr::test {

std::string binaryPath(const std::string& name);

class FakeService {
  public:
    // Starts the service storing files under `dataDirectory`; `arguments` are added (for
    // example {"--port", "4711"} to come back on the port of an earlier run).
    FakeService(const std::string& dataDirectory, std::vector<std::string> arguments = {});

    bool started() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    std::string url() const;
    const std::string& dataDirectory() const { return dataDirectory_; }
    std::string storedFilePath(const std::string& session, const std::string& remote) const;
    // The control interface's JSON answer, or null when it did not answer 200 with JSON.
    nlohmann::json control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr) const;
    // The call log's entries for `method` ("" for all).
    std::vector<nlohmann::json> calls(const std::string& method = {}) const;
    // Ends the process (SIGTERM, SIGKILL if it lingers).
    void stop();

  private:
    std::string dataDirectory_;
    std::unique_ptr<ChildProcess> process_;
    uint16_t port_ = 0;
};

class UploadDaemon {
  public:
    // Keeps its home, data and locator directories under `root`; nothing runs yet.
    explicit UploadDaemon(const std::string& root);

    // Starts the daemon and waits until the locator files name it and it answers GET /.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(90));
    // SIGKILL, as a crash would end it; true once it has gone.
    bool kill();
    bool running();
    uint16_t port() const { return port_; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    const std::string& locatorDirectory() const { return locator_; }
    // The daemon's standard error of every run so far, for failure messages.
    std::string output() const;

    HTTPReply request(const std::string& method, const std::string& path,
                      const std::string& body = {}) const;
    // PUT /jobs/:id with `job`; the status (0 when unanswered).
    int putJob(const nlohmann::json& job) const;
    // GET /jobs/:id: the job, or null when it was not answered 200 with JSON.
    nlohmann::json job(const std::string& id) const;
    // Waits until the job reads `state`; false (with the last reading) after `timeout` or as
    // soon as it reads "errored" when another state was awaited.
    bool waitForState(const std::string& id, const std::string& state,
                      std::chrono::milliseconds timeout, nlohmann::json* last = nullptr) const;

  private:
    std::string root_;
    std::string locator_;
    std::unique_ptr<ChildProcess> process_;
    uint16_t port_ = 0;
    int runs_ = 0;
};

// Checks `condition` every `interval` until it holds or `timeout` passes; its last value. Gentler
// than polling every few milliseconds when each check is an HTTP exchange with a process.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(50));

// A job's input JSON: files as (local path, remote name) pairs.
nlohmann::json jobJSON(const std::string& id, const std::string& serverURL,
                       const std::string& session,
                       const std::vector<std::pair<std::string, std::string>>& files,
                       const std::string& state = "running");

// Sum of "bytes_uploaded" over the job's files.
uint64_t bytesUploaded(const nlohmann::json& job);

// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> fileContents(const std::string& path);

}  // namespace vtr::test
