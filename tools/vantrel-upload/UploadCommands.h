// UploadCommands: the commands of vantrel-upload, each finding the daemon through its locator
// files, speaking the control API and returning the process's exit status (ExitStatus.h).
// Use from one thread.
#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "ControlClient.h"
#include "DaemonLocation.h"

namespace vtr::cli {

struct AddRequest {
    // Each "LOCAL" or "LOCAL=REMOTE_NAME".
    std::vector<std::string> files;
    std::string serverURL;
    std::string sessionID;
    std::string jobID;  // empty: a new UUID
    bool paused = false;
};

class UploadCommands {
  public:
    UploadCommands(std::string locatorDirectory, std::ostream& out, std::ostream& err);
    ~UploadCommands();

    int add(const AddRequest& request);
    int list(bool json);
    int show(const std::string& id, bool json);
    int watch(const std::vector<std::string>& ids, bool json, bool terminal,
              std::chrono::milliseconds interval);
    // Puts the job into `state` ("paused", "running" or "restart").
    int changeState(const std::string& id, const std::string& state);
    int remove(const std::string& id);
    int status(bool json);
    // Prints the address of the daemon's status page; with `open`, also hands it to xdg-open.
    int ui(bool open);
    // Shows the upload limit, or sets it to `rate` ("4M", "16384", "off" or "0": no limit).
    int limit(const std::optional<std::string>& rate);

  private:
    // Finds the daemon and opens a client for it; false after explaining why not.
    bool connect();
    // The job's JSON, or nothing after reporting the failure into `status`.
    std::optional<std::string> fetchJob(const std::string& id, int* status);

    std::string directory_;
    std::ostream& out_;
    std::ostream& err_;
    std::optional<DaemonLocation> location_;
    std::unique_ptr<ControlClient> client_;
};

// A random (version 4) UUID in lower-case text.
std::string makeUUID();
// Why `id` cannot name a job, or empty when it can. Any id the daemon might hold may be looked
// up, but a new job's id must also be addressable as one path component: no "/", "?", "#"
// or "%", since the daemon neither splits nor decodes them back.
std::string problemWithJobID(const std::string& id, bool newJob);
// Splits "LOCAL=REMOTE" at its last "=", unless the whole argument names an existing file.
// The remote name defaults to the local file's name.
std::pair<std::string, std::string> splitFileArgument(const std::string& argument);

}  // namespace vtr::cli
