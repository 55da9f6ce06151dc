// JobActivity: what the daemon's upload operation for one job is doing right now, as GET
// /activity reports it (phase, file, rate and the pending retry with its reason), tolerant of
// missing or mistyped keys, and the texts the commands print for it. Plain value type; any
// thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ControlClient.h"

namespace vtr::cli {

struct RetryActivity {
    std::string method;
    int64_t attempt = 0;
    double nextAttemptInSeconds = 0;
    std::string reason;
};

struct JobActivity {
    std::string id;
    std::string phase;
    std::string file;  // the remote path; empty when none
    double bytesPerSecond = 0;
    std::optional<RetryActivity> retry;  // set while a call waits to be retried

    // One entry of an /activity answer (an object), or of an "activity" event.
    static JobActivity fromJSON(const nlohmann::json& entry);
    // The entries of an /activity answer by job id; nothing when it is not an array.
    static std::optional<std::map<std::string, JobActivity>> listFromJSON(
        const nlohmann::json& list);
};

// The daemon's current activities, or nothing when it cannot say, which leaves the commands'
// output as it was. `unsupported` (when given) is set for a daemon without /activity (404,
// 405), which need not be asked again.
std::optional<std::map<std::string, JobActivity>> fetchActivities(ControlClient& client,
                                                                  bool* unsupported = nullptr);

// "retrying UploadChunk (attempt 3) in 12 s: SSL certificate problem", escaped for a terminal.
std::string retryText(const RetryActivity& retry);
// "upload", "waiting to retry (take1.mov)": the phase and file, escaped for a terminal.
std::string phaseText(const JobActivity& activity);
// What a one-line job display adds: the pending retry, or the wait for a network; empty when
// neither.
std::string activityNote(const JobActivity& activity);

}  // namespace vtr::cli
