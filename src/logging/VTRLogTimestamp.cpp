#include "logging/VTRLogTimestamp.h"

#include <ctime>

#include <fmt/format.h>

namespace vtr {

std::string formatLogTimestamp(std::chrono::system_clock::time_point time, char dateSeparator) {
    using namespace std::chrono;
    auto sinceEpoch = time.time_since_epoch();
    auto wholeSeconds = floor<seconds>(sinceEpoch);
    auto millis = duration_cast<milliseconds>(sinceEpoch - wholeSeconds).count();
    std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
    std::tm local{};
    localtime_r(&seconds, &local);
    return fmt::format("{:04}{}{:02}{}{:02} {:02}:{:02}:{:02}:{:03}", local.tm_year + 1900,
                       dateSeparator, local.tm_mon + 1, dateSeparator, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec, millis);
}

}  // namespace vtr
