#include "metrics/VTRMetricsText.h"

#include <cmath>

#include <fmt/format.h>

namespace vtr {

namespace {

// HELP text escapes backslash and line feed; label values also escape the double quote.
void appendEscaped(std::string& out, std::string_view text, bool quotes) {
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quotes) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
}

}  // namespace

void VTRMetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
    text_ += fmt::format("# HELP {} ", name);
    appendEscaped(text_, help, false);
    text_ += fmt::format("\n# TYPE {} {}\n", name, type);
}

void VTRMetricsText::sample(std::string_view name, const VTRMetricLabels& labels, double value) {
    text_ += name;
    if (!labels.empty()) {
        text_ += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i > 0) text_ += ',';
            text_ += labels[i].first;
            text_ += "=\"";
            appendEscaped(text_, labels[i].second, true);
            text_ += '"';
        }
        text_ += '}';
    }
    // Whole numbers (every counter) print without a fraction, so large byte counts stay exact.
    if (std::fabs(value) < 9.0e15 && value == std::trunc(value))
        text_ += fmt::format(" {}\n", static_cast<int64_t>(value));
    else
        text_ += fmt::format(" {}\n", value);
}

}  // namespace vtr
