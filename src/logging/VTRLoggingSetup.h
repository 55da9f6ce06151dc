// Start-up configuration of the logging facade from the daemon's command line: the "-l" level
// word, "-o" for the terminal, and the destinations attached in their fixed order (terminal,
// system log, files). Called once, on the main thread, before anything else logs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/VTRFileLogDestination.h"

namespace vtr {

// The level word for "verbose", "info", "warn", "error" or "none"; nothing for any other text.
std::optional<uint32_t> logLevelForWord(std::string_view word);

// Sets ddLogLevel from "-l" and attaches the destinations. Returns false, after a console
// message and without attaching anything, when "-l" has no value or an unknown one.
bool configureLogging(const std::vector<std::string>& arguments,
                      const VTRFileLogSettings& fileSettings = {});

}  // namespace vtr
