#include "JobActivity.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "foundation/VTRPrintableText.h"

namespace vtr::cli {

namespace {

std::string stringAt(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

double numberAt(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_number()) return 0;
    double value = found->get<double>();
    return std::isfinite(value) ? value : 0;
}

}  // namespace

JobActivity JobActivity::fromJSON(const nlohmann::json& entry) {
    JobActivity activity;
    activity.id = stringAt(entry, "id");
    activity.phase = stringAt(entry, "phase");
    activity.file = stringAt(entry, "file");
    activity.bytesPerSecond = numberAt(entry, "bytes_per_second");
    auto retry = entry.find("retry");
    if (retry != entry.end() && retry->is_object()) {
        activity.retry = RetryActivity{
            stringAt(*retry, "method"), static_cast<int64_t>(numberAt(*retry, "attempt")),
            numberAt(*retry, "next_attempt_in_seconds"), stringAt(*retry, "reason")};
    }
    return activity;
}

std::optional<std::map<std::string, JobActivity>> JobActivity::listFromJSON(
    const nlohmann::json& list) {
    if (!list.is_array()) return std::nullopt;
    std::map<std::string, JobActivity> activities;
    for (const auto& entry : list) {
        if (!entry.is_object()) continue;
        JobActivity activity = fromJSON(entry);
        std::string id = activity.id;
        activities.emplace(std::move(id), std::move(activity));
    }
    return activities;
}

std::optional<std::map<std::string, JobActivity>> fetchActivities(ControlClient& client,
                                                                  bool* unsupported) {
    ControlClient::Reply reply = client.send("GET", "/activity");
    if (unsupported) *unsupported = reply.answered && (reply.status == 404 || reply.status == 405);
    if (!reply.answered || reply.status != 200) return std::nullopt;
    return JobActivity::listFromJSON(nlohmann::json::parse(reply.body, nullptr, false));
}

std::string retryText(const RetryActivity& retry) {
    auto seconds = std::llround(std::max(0.0, retry.nextAttemptInSeconds));
    std::string call = retry.method.empty() ? "" : printableText(retry.method) + " ";
    std::string text = fmt::format("retrying {}(attempt {}) in {} s", call, retry.attempt, seconds);
    if (!retry.reason.empty()) text += ": " + printableText(retry.reason);
    return text;
}

std::string phaseText(const JobActivity& activity) {
    std::string phase = activity.phase.empty() ? "active" : activity.phase;
    std::replace(phase.begin(), phase.end(), '_', ' ');
    std::string text = printableText(phase);
    if (!activity.file.empty()) text += " (" + printableText(activity.file) + ")";
    return text;
}

std::string activityNote(const JobActivity& activity) {
    if (activity.retry) return retryText(*activity.retry);
    if (activity.phase == "waiting_for_network") return "waiting for a network";
    return {};
}

}  // namespace vtr::cli
