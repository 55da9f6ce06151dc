// Local-time stamps for log lines, with millisecond precision. Pure functions; any thread.
#pragma once

#include <chrono>
#include <string>

namespace vtr {

// "yyyy<sep>MM<sep>dd HH:mm:ss:SSS" in local time, e.g. "2026/12/06 08:04:11:817".
std::string formatLogTimestamp(std::chrono::system_clock::time_point time, char dateSeparator);

}  // namespace vtr
