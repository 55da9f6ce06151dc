#include "metrics/VTRMetrics.h"

namespace vtr {

VTRLabeledCounter::VTRLabeledCounter(std::string name, std::string help,
                                     std::vector<std::string> labelNames)
    : name_(std::move(name)), help_(std::move(help)), labelNames_(std::move(labelNames)) {}

void VTRLabeledCounter::add(const std::vector<std::string>& labelValues, uint64_t amount) {
    std::lock_guard lock(mutex_);
    series_[labelValues] += amount;
}

void VTRLabeledCounter::write(VTRMetricsText& text) const {
    text.family(name_, "counter", help_);
    std::lock_guard lock(mutex_);
    for (const auto& [values, count] : series_) {
        VTRMetricLabels labels;
        for (size_t i = 0; i < labelNames_.size() && i < values.size(); ++i)
            labels.emplace_back(labelNames_[i], values[i]);
        text.sample(name_, labels, static_cast<double>(count));
    }
}

VTRMetrics::VTRMetrics()
    : startTimeSeconds_(
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count()),
      soapCalls_("vantrel_soap_calls_total", "SOAP calls to recording services by outcome.",
                 {"method", "outcome"}),
      retries_("vantrel_retries_total", "Remote calls attempted again after a failure.",
               {"method"}),
      httpRequests_("vantrel_http_requests_total",
                    "Control API requests answered, by route template and status code.",
                    {"route", "code"}) {}

void VTRMetrics::countSOAPCall(std::string_view method, bool succeeded) {
    soapCalls_.add({std::string(method), succeeded ? "ok" : "error"});
}

void VTRMetrics::countRetry(std::string_view method) {
    retries_.add({std::string(method)});
}

void VTRMetrics::countHTTPRequest(std::string_view routeTemplate, int status) {
    httpRequests_.add({std::string(routeTemplate), std::to_string(status)});
}

void VTRMetrics::writeCounters(VTRMetricsText& text) const {
    text.family("vantrel_uploaded_bytes_total", "counter",
                "Bytes of file data the recording services accepted.");
    text.sample("vantrel_uploaded_bytes_total", static_cast<double>(uploadedBytes()));
    soapCalls_.write(text);
    retries_.write(text);
    httpRequests_.write(text);
}

}  // namespace vtr
