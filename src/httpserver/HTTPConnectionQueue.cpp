#include "httpserver/HTTPConnectionQueue.h"

#include <fmt/format.h>

namespace vtr {

const std::string& HTTPConnectionQueue::dateHeaderValue() {
    std::time_t now = std::time(nullptr);
    if (now != dateSecond_ || dateValue_.empty()) {
        static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        std::tm tm{};
        gmtime_r(&now, &tm);
        dateValue_ =
            fmt::format("{}, {:02} {} {} {:02}:{:02}:{:02} GMT", kDays[tm.tm_wday], tm.tm_mday,
                        kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
        dateSecond_ = now;
    }
    return dateValue_;
}

}  // namespace vtr
