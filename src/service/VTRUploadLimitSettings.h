// VTRUploadLimitSettings: the upload bandwidth limit as the user sets it (a fixed rate, or a
// timetable of rates in local time, each entry in force from its time until the next), kept in
// the job database and applied to the one bucket all uploads share. The control API reads and
// changes it from its connection queue; the timetable's changes run on the main run loop. Every
// member may be called from any thread. Make it with std::make_shared.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/VTRError.h"

namespace vtr {

class HTTPBandwidthLimiter;
class VTRRunLoop;
class VTRStoreCoordinator;

struct VTRUploadLimitEntry {
    int minuteOfDay = 0;  // 0 ("00:00") to 1439 ("23:59")
    uint64_t limit = 0;   // bytes per second; 0: no limit
};

class VTRUploadLimitSettings : public std::enable_shared_from_this<VTRUploadLimitSettings> {
  public:
    VTRUploadLimitSettings(std::shared_ptr<VTRStoreCoordinator> coordinator,
                           std::shared_ptr<HTTPBandwidthLimiter> limiter, VTRRunLoop& runLoop);

    // Reads the stored settings and applies them. A limit given on the command line replaces
    // the stored one (and any timetable) and is stored. False with `error` when the database
    // cannot be read or written.
    bool start(std::optional<uint64_t> commandLineLimit, VTRError* error);

    // Applies a settings document: {"upload_limit": N} sets a fixed limit and clears the
    // timetable; {"upload_limit_schedule": [{"at": "HH:MM", "limit": N}, ...]} sets a timetable
    // (null or [] clears it). False with `refusal` set for input that is not valid, or with
    // `error` set when the change could not be stored (nothing changes then).
    bool change(const nlohmann::json& document, std::string* refusal, VTRError* error);

    // {"upload_limit": the limit in force now} plus "upload_limit_schedule" when one is set.
    nlohmann::json document() const;
    // The limit in force now, in bytes per second; 0 when there is none.
    uint64_t currentLimit() const;

    // The limit of `schedule` (sorted by time, not empty) at `minuteOfDay`: the last entry at
    // or before it, or the day's last entry before the first.
    static uint64_t limitAt(const std::vector<VTRUploadLimitEntry>& schedule, int minuteOfDay);
    // The timetable in a document's "upload_limit_schedule", sorted; nothing with `refusal`.
    static std::optional<std::vector<VTRUploadLimitEntry>> parseSchedule(
        const nlohmann::json& value, std::string* refusal);

  private:
    // Stores the fixed limit and timetable; on success makes them the current ones and applies
    // them. Needs mutex_.
    bool storeAndApplyLocked(uint64_t limit, std::vector<VTRUploadLimitEntry> schedule,
                             VTRError* error);
    // Sets the bucket's rate from the timetable (or the fixed limit) and, with a timetable,
    // looks again at its next change (at least once a minute). Needs mutex_.
    void applyLocked();

    const std::shared_ptr<VTRStoreCoordinator> coordinator_;
    const std::shared_ptr<HTTPBandwidthLimiter> limiter_;
    VTRRunLoop& runLoop_;
    mutable std::mutex mutex_;
    uint64_t fixedLimit_ = 0;
    std::vector<VTRUploadLimitEntry> schedule_;
    // Counts applications, so that a timer set for an older timetable does nothing.
    uint64_t generation_ = 0;
};

}  // namespace vtr
