#include "api/VTREventHub.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "api/VTRJSONValue.h"
#include "foundation/VTRRunLoop.h"
#include "httpserver/HTTPStream.h"
#include "httpserver/VTRJSONResponse.h"

namespace vtr {

namespace {

using json = nlohmann::json;

// The compact text the control API's replies carry for `form`.
std::optional<std::string> replyText(const json& form) {
    return VTRJSONResponse::JSONData(valueFromJSON(form));
}

}  // namespace

json VTRActivityForm(const VTRJobActivity& entry) {
    const VTRUploadActivitySnapshot& activity = entry.activity;
    json retry = nullptr;
    if (activity.retry) {
        retry = {{"attempt", activity.retry->attempt},
                 {"method", activity.retry->method},
                 {"next_attempt_in_seconds", activity.retry->nextAttemptInSeconds},
                 {"reason", activity.retry->reason}};
    }
    return {{"bytes_per_second", activity.bytesPerSecond},
            {"file", activity.file ? json(*activity.file) : json(nullptr)},
            {"id", entry.jobID},
            {"phase", VTRUploadPhaseName(activity.phase)},
            {"retry", std::move(retry)}};
}

VTREventHub::VTREventHub(VTRRunLoop& runLoop, JobForm jobForm, Options options)
    : runLoop_(runLoop), jobForm_(std::move(jobForm)), options_(options) {}

VTREventHub::VTREventHub(VTRRunLoop& runLoop, JobForm jobForm)
    : VTREventHub(runLoop, std::move(jobForm), Options()) {}

void VTREventHub::subscribe(std::shared_ptr<HTTPStream> stream, const AllJobForms& allJobs) {
    std::lock_guard lock(mutex_);
    for (const std::string& form : allJobs()) {
        stream->send(std::make_shared<const std::string>(
            fmt::format("event: job\nid: {}\ndata: {}\n\n", ++lastID_, form)));
    }
    stream->send(std::make_shared<const std::string>(
        fmt::format("event: ready\nid: {}\ndata: {{}}\n\n", ++lastID_)));
    streams_.push_back(std::move(stream));
}

void VTREventHub::publishLocked(const char* event, const std::string& data) {
    auto text = std::make_shared<const std::string>(
        fmt::format("event: {}\nid: {}\ndata: {}\n\n", event, ++lastID_, data));
    std::erase_if(streams_, [&](const auto& stream) { return !stream->send(text); });
}

// The job is read here, under the lock, not taken from the caller: so every event carries the
// job as stored when it is sent, and no event sent later can show an older state than one
// before it.
void VTREventHub::publishJobLocked(const std::string& jobID) {
    Throttle& throttle = throttles_[jobID];
    throttle.pending = false;
    throttle.lastSent = std::chrono::steady_clock::now();
    if (std::optional<std::string> form = jobForm_(jobID)) publishLocked("job", *form);
}

void VTREventHub::jobChanged(const std::string& jobID) {
    std::lock_guard lock(mutex_);
    // Without a stream nobody hears it: the job is not even read.
    if (!streams_.empty()) publishJobLocked(jobID);
}

void VTREventHub::jobProgressed(const std::string& jobID) {
    std::lock_guard lock(mutex_);
    if (streams_.empty()) return;
    Throttle& throttle = throttles_[jobID];
    if (throttle.pending) return;  // the flush reads the job as it is then
    auto now = std::chrono::steady_clock::now();
    auto due = throttle.lastSent + options_.progressInterval;
    if (now >= due) return publishJobLocked(jobID);
    throttle.pending = true;
    runLoop_.postAfter(due - now, [weak = weak_from_this(), jobID] {
        if (std::shared_ptr<VTREventHub> self = weak.lock()) self->flushProgress(jobID);
    });
}

void VTREventHub::flushProgress(const std::string& jobID) {
    std::lock_guard lock(mutex_);
    auto throttle = throttles_.find(jobID);
    if (throttle == throttles_.end() || !throttle->second.pending) return;
    throttle->second.pending = false;
    if (!streams_.empty()) publishJobLocked(jobID);
}

void VTREventHub::jobRemoved(const std::string& jobID) {
    std::lock_guard lock(mutex_);
    throttles_.erase(jobID);
    if (streams_.empty()) return;
    if (std::optional<std::string> text = replyText(json{{"id", jobID}}))
        publishLocked("removed", *text);
}

void VTREventHub::activityChanged(const VTRJobActivity& activity) {
    std::lock_guard lock(mutex_);
    if (streams_.empty()) return;
    if (std::optional<std::string> text = replyText(VTRActivityForm(activity)))
        publishLocked("activity", *text);
}

}  // namespace vtr
