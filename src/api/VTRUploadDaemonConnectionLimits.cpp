// The control API's figures and settings: GET /metrics in the Prometheus text format, and
// GET/PUT /settings for the upload bandwidth limit.
#include <unistd.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "api/VTRJSONValue.h"
#include "api/VTRUploadDaemonConnection.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/HTTPErrorResponse.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "logging/VTRLog.h"
#include "metrics/VTRMetrics.h"
#include "service/VTRUploadDaemonConnectionEnvironment.h"
#include "service/VTRUploadJobService.h"
#include "service/VTRUploadLimitSettings.h"

namespace vtr {

namespace {

using json = nlohmann::json;

// A settings document is a few hundred bytes; a timetable of one entry a minute stays far below.
constexpr size_t kMaxSettingsBodySize = 256 * 1024;

// The resident set from /proc/self/statm (its second field, in pages); 0 when unreadable.
double residentMemoryBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

std::unique_ptr<HTTPResponse> refusal(const std::string& reason) {
    VTRLogWarn("PUT /settings refused: {}", reason);
    return std::make_unique<VTRJSONResponse>(valueFromJSON(json{{"error", reason}}), 406);
}

}  // namespace

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetMetrics() {
    VTRMetricsText text;
    text.family("vantrel_jobs", "gauge", "Stored upload jobs by state.");
    if (const auto& coordinator =
            environment_ ? environment_->persistentStoreCoordinator() : nullptr) {
        VTRError error;
        auto counts = VTRSQLiteUploadJobStore(coordinator).jobCountsByState(&error);
        if (!counts) {
            VTRLogWarn("GET /metrics failed to count the jobs: {}", error.description());
            return std::make_unique<HTTPErrorResponse>(500);
        }
        for (const auto& [state, count] : *counts) {
            text.sample("vantrel_jobs",
                        {{"state", VTRUploadDaemonConstants::stringForJobState(state)}},
                        static_cast<double>(count));
        }
    }
    std::shared_ptr<VTRUploadJobService> service = uploadService();
    text.family("vantrel_active_uploads", "gauge", "Uploads running now.");
    text.sample("vantrel_active_uploads",
                service ? static_cast<double>(service->currentActivities().size()) : 0.0);
    const std::shared_ptr<VTRUploadLimitSettings> limit =
        environment_ ? environment_->uploadLimit() : nullptr;
    text.family("vantrel_upload_limit_bytes_per_second", "gauge",
                "The upload bandwidth limit in force, 0 when there is none.");
    text.sample("vantrel_upload_limit_bytes_per_second",
                limit ? static_cast<double>(limit->currentLimit()) : 0.0);
    const std::shared_ptr<VTRMetrics> metrics = environment_ ? environment_->metrics() : nullptr;
    if (metrics) metrics->writeCounters(text);
    text.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    text.sample("process_resident_memory_bytes", residentMemoryBytes());
    if (metrics) {
        text.family("process_start_time_seconds", "gauge",
                    "Start time of the process since the epoch in seconds.");
        text.sample("process_start_time_seconds", metrics->startTimeSeconds());
    }
    text.family("vantrel_build_info", "gauge", "The daemon's version; always 1.");
    text.sample("vantrel_build_info", {{"version", VTR_VERSION}}, 1);
    return std::make_unique<HTTPDataResponse>(
        text.text(), 200, HTTPHeaderList{{"Content-Type", VTRMetricsText::kContentType}});
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handleGetSettings() {
    const std::shared_ptr<VTRUploadLimitSettings> limit =
        environment_ ? environment_->uploadLimit() : nullptr;
    json document = limit ? limit->document() : json{{"upload_limit", 0}};
    return std::make_unique<VTRJSONResponse>(valueFromJSON(document), 200);
}

std::unique_ptr<HTTPResponse> VTRUploadDaemonConnection::handlePutSettings() {
    const std::shared_ptr<VTRUploadLimitSettings> limit =
        environment_ ? environment_->uploadLimit() : nullptr;
    if (!limit) return std::make_unique<HTTPErrorResponse>(500);
    if (!requestBody_ || requestBody_->size() > kMaxSettingsBodySize)
        return refusal("The settings must be a JSON object of at most 256 KiB.");
    json document = json::parse(*requestBody_, nullptr, false);
    if (document.is_discarded()) return refusal("The body is not JSON.");
    std::string reason;
    VTRError error;
    if (!limit->change(document, &reason, &error)) {
        if (!reason.empty()) return refusal(reason);
        VTRLogWarn("PUT /settings failed to store the settings: {}", error.description());
        return std::make_unique<HTTPErrorResponse>(500);
    }
    json stored = limit->document();
    VTRLogInfo("PUT /settings succeeded: {}", stored.dump());
    return std::make_unique<VTRJSONResponse>(valueFromJSON(stored), 200);
}

}  // namespace vtr
