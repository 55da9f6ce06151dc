// VTRMetricsText: writes metric families in the Prometheus text exposition format (0.0.4):
// a HELP and a TYPE line per family, then one line per series with its labels escaped. A plain
// value built by one thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vtr {

using VTRMetricLabels = std::vector<std::pair<std::string, std::string>>;

class VTRMetricsText {
  public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    // Starts a family; `type` is "counter" or "gauge".
    void family(std::string_view name, std::string_view type, std::string_view help);
    // One series of the family started last.
    void sample(std::string_view name, const VTRMetricLabels& labels, double value);
    void sample(std::string_view name, double value) { sample(name, {}, value); }

    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

}  // namespace vtr
