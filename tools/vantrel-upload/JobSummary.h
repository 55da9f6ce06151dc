// JobSummary: the figures of one job as the daemon reports it in JSON (state, bytes, files,
// error), tolerant of missing or mistyped keys, and the texts the commands print for a job.
// Plain value type; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "JobActivity.h"

namespace vtr::cli {

struct FileSummary {
    std::string localPath;
    std::string remotePath;
    uint64_t bytesUploaded = 0;
    uint64_t totalBytes = 0;
    bool closed = false;
};

struct JobSummary {
    std::string id;
    std::string state = "unknown";
    std::string serverURL;
    std::string sessionID;
    std::string error;  // empty when the job has none
    std::string errorType = "none";
    bool restarting = false;
    // In the order of their local paths, so repeated output stays stable.
    std::vector<FileSummary> files;

    static JobSummary fromJSON(const nlohmann::json& job);

    uint64_t bytesUploaded() const;
    uint64_t totalBytes() const;
    size_t filesClosed() const;
    // 0 to 100. A completed job counts as 100 even when its sizes were never read.
    double percentDone() const;
    bool isFinished() const { return state == "completed" || state == "errored"; }
    // Nothing moves such a job on until someone changes its state.
    bool isStalled() const { return state == "paused" || state == "unknown"; }
};

// "0 B", "999 B", "1.5 KiB", "210.0 MiB", "1.25 GiB".
std::string formatBytes(uint64_t bytes);
// "0:07", "12:05", "1:02:03"; "--:--" for a negative value (not known).
std::string formatDuration(double seconds);

// The texts below escape every field that comes from the daemon (printableText), so that no
// job can move the terminal's cursor, set its title or forge a line.

// One line: id, state, percent, bytes, files closed of total, and the error text if any.
std::string listLine(const JobSummary& job);
// Several lines: every field of the job, what its upload is doing when `activity` is given
// (with the pending retry and its reason), and one line per file.
std::string showText(const JobSummary& job, const JobActivity* activity = nullptr);

}  // namespace vtr::cli
