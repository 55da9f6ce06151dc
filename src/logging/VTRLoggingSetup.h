// Start-up configuration of the logging facade from the daemon's command line: the "-l" level
// word, "-o" for the terminal, and the destinations attached in their fixed order (terminal,
// system log, files). When standard error is the journal, the terminal destination writes
// journal lines whatever "-o" says and the system log is left out, so that each message reaches
// the journal once. Called once, on the main thread, before anything else logs.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/VTRFileLogDestination.h"
#include "logging/VTRTerminalLogDestination.h"

namespace vtr {

// The process's side of the terminal and system log destinations; the defaults are the real
// ones, tests pass their own.
struct VTRLogOutputs {
    int standardError = STDERR_FILENO;
    std::string journalStream = journalStreamVariable();
    // Makes the system log destination; null: a VTRSystemLogDestination.
    std::function<std::shared_ptr<VTRLogDestination>()> makeSystemLog;
};

// The level word for "verbose", "info", "warn", "error" or "none"; nothing for any other text.
std::optional<uint32_t> logLevelForWord(std::string_view word);

// Sets ddLogLevel from "-l" and attaches the destinations. Returns false, after a console
// message and without attaching anything, when "-l" has no value or an unknown one.
bool configureLogging(const std::vector<std::string>& arguments,
                      const VTRFileLogSettings& fileSettings = {}, VTRLogOutputs outputs = {});

}  // namespace vtr
