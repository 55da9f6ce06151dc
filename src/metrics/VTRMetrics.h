// VTRMetrics: the daemon's counters, counted from its start: bytes the recording service
// accepted, SOAP calls by method and outcome, retries by method and control-API requests by
// route template and status. The daemon owns one and hands it to the parts that count; every
// member may be called from any thread. Gauges read at scrape time live with their owners.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/VTRMetricsText.h"

namespace vtr {

// A counter with one series per combination of label values.
class VTRLabeledCounter {
  public:
    VTRLabeledCounter(std::string name, std::string help, std::vector<std::string> labelNames);

    void add(const std::vector<std::string>& labelValues, uint64_t amount = 1);
    void write(VTRMetricsText& text) const;

  private:
    const std::string name_;
    const std::string help_;
    const std::vector<std::string> labelNames_;
    mutable std::mutex mutex_;
    std::map<std::vector<std::string>, uint64_t> series_;
};

class VTRMetrics {
  public:
    VTRMetrics();
    VTRMetrics(const VTRMetrics&) = delete;
    VTRMetrics& operator=(const VTRMetrics&) = delete;

    void addUploadedBytes(uint64_t bytes) { uploadedBytes_.fetch_add(bytes); }
    void countSOAPCall(std::string_view method, bool succeeded);
    void countRetry(std::string_view method);
    void countHTTPRequest(std::string_view routeTemplate, int status);

    uint64_t uploadedBytes() const { return uploadedBytes_.load(); }

    // When the counting began, as seconds since the epoch.
    double startTimeSeconds() const { return startTimeSeconds_; }

    // Every counter, with its HELP and TYPE lines.
    void writeCounters(VTRMetricsText& text) const;

  private:
    const double startTimeSeconds_;
    std::atomic<uint64_t> uploadedBytes_{0};
    VTRLabeledCounter soapCalls_;
    VTRLabeledCounter retries_;
    VTRLabeledCounter httpRequests_;
};

}  // namespace vtr
