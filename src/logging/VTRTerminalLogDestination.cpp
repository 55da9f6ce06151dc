#include "logging/VTRTerminalLogDestination.h"

#include <unistd.h>

#include <cerrno>

#include "logging/VTRLogTimestamp.h"

namespace vtr {

VTRTerminalLogDestination::VTRTerminalLogDestination(int fd, std::string processName)
    : fd_(fd),
      isTerminal_(::isatty(fd) == 1),
      processName_(processName.empty() ? program_invocation_short_name : std::move(processName)) {}

void VTRTerminalLogDestination::logMessage(const VTRLogMessage& message) {
    if (!isTerminal_) return;
    std::string line = fmt::format("{} {}[{}:{:x}] {}", formatLogTimestamp(message.timestamp, '-'),
                                   processName_, ::getpid(), message.threadID, message.text);
    if (line.back() != '\n') line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t written = ::write(fd_, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // a vanished terminal must not stall the other destinations
        rest.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace vtr
