#include "JobSummary.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "foundation/VTRPrintableText.h"

namespace vtr::cli {

namespace {

std::string stringAt(const nlohmann::json& object, const char* key, std::string fallback = {}) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return fallback;
    return found->get<std::string>();
}

uint64_t countAt(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) return 0;
    if (found->is_number_unsigned()) return found->get<uint64_t>();
    if (found->is_number_integer())
        return static_cast<uint64_t>(std::max<int64_t>(0, found->get<int64_t>()));
    return 0;
}

bool flagAt(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

}  // namespace

JobSummary JobSummary::fromJSON(const nlohmann::json& job) {
    JobSummary summary;
    if (!job.is_object()) return summary;
    summary.id = stringAt(job, "id");
    summary.state = stringAt(job, "state", "unknown");
    summary.serverURL = stringAt(job, "server_url");
    summary.sessionID = stringAt(job, "session_id");
    summary.error = stringAt(job, "error");
    summary.errorType = stringAt(job, "error_type", "none");
    summary.restarting = flagAt(job, "restarting");
    auto list = job.find("file_list");
    if (list != job.end() && list->is_array()) {
        for (const auto& file : *list) {
            if (!file.is_object()) continue;
            summary.files.push_back(
                FileSummary{stringAt(file, "local_path"), stringAt(file, "remote_path"),
                            countAt(file, "bytes_uploaded"), countAt(file, "total_bytes"),
                            flagAt(file, "closed")});
        }
    }
    std::sort(summary.files.begin(), summary.files.end(),
              [](const FileSummary& a, const FileSummary& b) { return a.localPath < b.localPath; });
    return summary;
}

uint64_t JobSummary::bytesUploaded() const {
    uint64_t sum = 0;
    for (const FileSummary& file : files) sum += file.bytesUploaded;
    return sum;
}

uint64_t JobSummary::totalBytes() const {
    uint64_t sum = 0;
    for (const FileSummary& file : files) sum += file.totalBytes;
    return sum;
}

size_t JobSummary::filesClosed() const {
    return static_cast<size_t>(
        std::count_if(files.begin(), files.end(), [](const FileSummary& f) { return f.closed; }));
}

double JobSummary::percentDone() const {
    if (state == "completed") return 100.0;
    uint64_t total = totalBytes();
    if (total == 0) return 0.0;
    return std::min(100.0,
                    100.0 * static_cast<double>(bytesUploaded()) / static_cast<double>(total));
}

std::string formatBytes(uint64_t bytes) {
    if (bytes < 1024) return fmt::format("{} B", bytes);
    static const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    return unit >= 2 && value < 10.0 ? fmt::format("{:.2f} {}", value, units[unit])
                                     : fmt::format("{:.1f} {}", value, units[unit]);
}

std::string formatDuration(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds)) return "--:--";
    auto whole = static_cast<uint64_t>(std::llround(seconds));
    uint64_t hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
    if (hours > 0) return fmt::format("{}:{:02}:{:02}", hours, minutes, rest);
    return fmt::format("{}:{:02}", minutes, rest);
}

std::string listLine(const JobSummary& job) {
    std::string line =
        fmt::format("{}  {}  {:.1f}%  {} of {}  {}/{} files closed", printableText(job.id),
                    printableText(job.state), job.percentDone(), formatBytes(job.bytesUploaded()),
                    formatBytes(job.totalBytes()), job.filesClosed(), job.files.size());
    if (!job.error.empty())
        line +=
            fmt::format("  error ({}): {}", printableText(job.errorType), printableText(job.error));
    return line;
}

std::string showText(const JobSummary& job, const JobActivity* activity) {
    auto orDash = [](const std::string& text) { return text.empty() ? "-" : printableText(text); };
    std::string text = fmt::format("Job {}\n", printableText(job.id));
    text += fmt::format("  State:       {}{}\n", printableText(job.state),
                        job.restarting ? " (restarting)" : "");
    text += fmt::format("  Server:      {}\n", orDash(job.serverURL));
    text += fmt::format("  Session:     {}\n", orDash(job.sessionID));
    if (job.error.empty())
        text += "  Error:       none\n";
    else
        text += fmt::format("  Error:       {} (while: {})\n", printableText(job.error),
                            printableText(job.errorType));
    text += fmt::format("  Progress:    {:.1f}%, {} of {}, {} of {} files closed\n",
                        job.percentDone(), formatBytes(job.bytesUploaded()),
                        formatBytes(job.totalBytes()), job.filesClosed(), job.files.size());
    if (activity) {
        text += fmt::format("  Activity:    {}", phaseText(*activity));
        if (activity->bytesPerSecond > 0)
            text +=
                fmt::format(", {}/s", formatBytes(static_cast<uint64_t>(activity->bytesPerSecond)));
        text += "\n";
        if (activity->retry)
            text += fmt::format("               {}\n", retryText(*activity->retry));
    }
    if (job.files.empty()) return text + "  Files:       none\n";
    text += "  Files:\n";
    for (const FileSummary& file : job.files) {
        text += fmt::format("    {} -> {}  {} of {}{}\n", printableText(file.localPath),
                            printableText(file.remotePath), formatBytes(file.bytesUploaded),
                            formatBytes(file.totalBytes), file.closed ? "  closed" : "");
    }
    return text;
}

}  // namespace vtr::cli
