#include "service/VTRUploadLimitSettings.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "foundation/VTRRunLoop.h"
#include "httpclient/HTTPBandwidthLimiter.h"
#include "jobs/VTRSettingsStore.h"
#include "logging/VTRLog.h"

namespace vtr {

namespace {

using json = nlohmann::json;

constexpr const char* kLimitKey = "upload_limit";
constexpr const char* kScheduleKey = "upload_limit_schedule";
constexpr int kMinutesPerDay = 24 * 60;

// "08:00" -> 480; nothing unless two-digit hours 00-23 and minutes 00-59.
std::optional<int> minuteOfDay(const std::string& text) {
    if (text.size() != 5 || text[2] != ':') return std::nullopt;
    for (size_t i : {0, 1, 3, 4})
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    int hours = (text[0] - '0') * 10 + (text[1] - '0');
    int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || minutes > 59) return std::nullopt;
    return hours * 60 + minutes;
}

std::optional<uint64_t> byteRate(const json& value) {
    if (!value.is_number_unsigned()) return std::nullopt;
    return value.get<uint64_t>();
}

json scheduleDocument(const std::vector<VTRUploadLimitEntry>& schedule) {
    json list = json::array();
    for (const VTRUploadLimitEntry& entry : schedule) {
        list.push_back(
            {{"at", fmt::format("{:02}:{:02}", entry.minuteOfDay / 60, entry.minuteOfDay % 60)},
             {"limit", entry.limit}});
    }
    return list;
}

std::tm localNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

}  // namespace

VTRUploadLimitSettings::VTRUploadLimitSettings(std::shared_ptr<VTRStoreCoordinator> coordinator,
                                               std::shared_ptr<HTTPBandwidthLimiter> limiter,
                                               VTRRunLoop& runLoop)
    : coordinator_(std::move(coordinator)), limiter_(std::move(limiter)), runLoop_(runLoop) {}

bool VTRUploadLimitSettings::start(std::optional<uint64_t> commandLineLimit, VTRError* error) {
    std::lock_guard lock(mutex_);
    if (commandLineLimit) return storeAndApplyLocked(*commandLineLimit, {}, error);
    VTRSettingsStore store(coordinator_);
    VTRError readError;
    std::optional<std::string> limit = store.value(kLimitKey, &readError);
    std::optional<std::string> schedule = store.value(kScheduleKey, &readError);
    if (!readError.domain().empty()) {
        setError(error, readError);
        return false;
    }
    // Values this program wrote; anything unreadable counts as not set.
    json limitValue = json::parse(limit.value_or("0"), nullptr, false);
    fixedLimit_ = byteRate(limitValue).value_or(0);
    std::string refusal;
    if (schedule) {
        schedule_ = parseSchedule(json::parse(*schedule, nullptr, false), &refusal)
                        .value_or(std::vector<VTRUploadLimitEntry>{});
    }
    applyLocked();
    return true;
}

bool VTRUploadLimitSettings::change(const json& document, std::string* refusal, VTRError* error) {
    if (!document.is_object()) {
        *refusal = "The settings must be a JSON object.";
        return false;
    }
    for (const auto& [key, value] : document.items()) {
        if (key != kLimitKey && key != kScheduleKey) {
            *refusal = fmt::format("\"{}\" is not a setting.", key);
            return false;
        }
    }
    auto limit = document.find(kLimitKey);
    auto schedule = document.find(kScheduleKey);
    if (limit == document.end() && schedule == document.end()) {
        *refusal = "Nothing to change: give \"upload_limit\" or \"upload_limit_schedule\".";
        return false;
    }
    std::optional<uint64_t> fixed;
    if (limit != document.end() && !(fixed = byteRate(*limit))) {
        *refusal = "\"upload_limit\" must be a non-negative integer (bytes per second).";
        return false;
    }
    std::vector<VTRUploadLimitEntry> entries;
    if (schedule != document.end()) {
        std::optional<std::vector<VTRUploadLimitEntry>> parsed = parseSchedule(*schedule, refusal);
        if (!parsed) return false;
        entries = std::move(*parsed);
    }
    std::lock_guard lock(mutex_);
    // A fixed limit alone replaces the timetable; a timetable keeps the fixed limit for when it
    // is cleared again.
    if (schedule == document.end()) return storeAndApplyLocked(*fixed, {}, error);
    return storeAndApplyLocked(fixed.value_or(fixedLimit_), std::move(entries), error);
}

json VTRUploadLimitSettings::document() const {
    std::lock_guard lock(mutex_);
    json form = {{kLimitKey, limiter_->rate()}};
    if (!schedule_.empty()) form[kScheduleKey] = scheduleDocument(schedule_);
    return form;
}

uint64_t VTRUploadLimitSettings::currentLimit() const {
    return limiter_->rate();
}

uint64_t VTRUploadLimitSettings::limitAt(const std::vector<VTRUploadLimitEntry>& schedule,
                                         int minute) {
    uint64_t limit = schedule.back().limit;
    for (const VTRUploadLimitEntry& entry : schedule) {
        if (entry.minuteOfDay <= minute) limit = entry.limit;
    }
    return limit;
}

std::optional<std::vector<VTRUploadLimitEntry>> VTRUploadLimitSettings::parseSchedule(
    const json& value, std::string* refusal) {
    std::vector<VTRUploadLimitEntry> entries;
    if (value.is_null()) return entries;
    if (!value.is_array()) {
        *refusal = "\"upload_limit_schedule\" must be a list of {\"at\", \"limit\"} entries.";
        return std::nullopt;
    }
    for (size_t index = 0; index < value.size(); ++index) {
        const json& item = value[index];
        std::optional<int> at;
        std::optional<uint64_t> limit;
        if (item.is_object() && item.size() == 2 && item.contains("at") && item["at"].is_string() &&
            item.contains("limit")) {
            at = minuteOfDay(item["at"].get<std::string>());
            limit = byteRate(item["limit"]);
        }
        if (!at || !limit) {
            *refusal = fmt::format(
                "Schedule entry {} must be {{\"at\": \"HH:MM\", \"limit\": N}} with N a "
                "non-negative integer.",
                index + 1);
            return std::nullopt;
        }
        if (std::any_of(entries.begin(), entries.end(),
                        [&](const VTRUploadLimitEntry& e) { return e.minuteOfDay == *at; })) {
            *refusal = fmt::format("The schedule names {} twice.", item["at"].get<std::string>());
            return std::nullopt;
        }
        entries.push_back({*at, *limit});
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.minuteOfDay < b.minuteOfDay; });
    return entries;
}

bool VTRUploadLimitSettings::storeAndApplyLocked(uint64_t limit,
                                                 std::vector<VTRUploadLimitEntry> schedule,
                                                 VTRError* error) {
    VTRSettingsStore store(coordinator_);
    std::optional<std::string> scheduleText;
    if (!schedule.empty()) scheduleText = scheduleDocument(schedule).dump();
    if (!store.setValues({{kLimitKey, std::to_string(limit)}, {kScheduleKey, scheduleText}}, error))
        return false;
    fixedLimit_ = limit;
    schedule_ = std::move(schedule);
    applyLocked();
    return true;
}

void VTRUploadLimitSettings::applyLocked() {
    uint64_t generation = ++generation_;
    if (schedule_.empty()) {
        limiter_->setRate(fixedLimit_);
        VTRLogInfo("Upload limit: {} bytes per second", fixedLimit_);
        return;
    }
    std::tm now = localNow();
    int minute = now.tm_hour * 60 + now.tm_min;
    uint64_t limit = limitAt(schedule_, minute);
    if (limit != limiter_->rate()) {
        limiter_->setRate(limit);
        VTRLogInfo("Upload limit from the schedule: {} bytes per second", limit);
    }
    // The next entry's time, looked at again at least once a minute: the clock may jump.
    auto next = std::find_if(schedule_.begin(), schedule_.end(),
                             [&](const auto& entry) { return entry.minuteOfDay > minute; });
    int nextMinute = next != schedule_.end() ? next->minuteOfDay
                                             : schedule_.front().minuteOfDay + kMinutesPerDay;
    int seconds = std::clamp((nextMinute - minute) * 60 - now.tm_sec, 1, 60);
    std::weak_ptr<VTRUploadLimitSettings> weak = weak_from_this();
    runLoop_.postAfter(std::chrono::seconds(seconds), [weak, generation] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        if (self->generation_ == generation) self->applyLocked();
    });
}

}  // namespace vtr
