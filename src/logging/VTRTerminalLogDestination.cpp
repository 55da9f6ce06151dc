#include "logging/VTRTerminalLogDestination.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "logging/VTRLogTimestamp.h"

namespace vtr {

namespace {

bool parseUnsigned(std::string_view text, uint64_t& value) {
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && next == text.data() + text.size();
}

}  // namespace

std::string journalStreamVariable() {
    const char* value = std::getenv("JOURNAL_STREAM");
    return value ? value : "";
}

bool isJournalStream(int fd, std::string_view journalStream) {
    size_t colon = journalStream.find(':');
    uint64_t device = 0, inode = 0;
    if (colon == std::string_view::npos || !parseUnsigned(journalStream.substr(0, colon), device) ||
        !parseUnsigned(journalStream.substr(colon + 1), inode))
        return false;
    struct stat status {};
    return ::fstat(fd, &status) == 0 && static_cast<uint64_t>(status.st_dev) == device &&
           static_cast<uint64_t>(status.st_ino) == inode;
}

int journalPriorityForFlag(uint32_t flag) {
    switch (flag) {
        case VTRLogFlagError:
            return 3;
        case VTRLogFlagWarning:
            return 4;
        case VTRLogFlagInfo:
            return 6;
        case VTRLogFlagVerbose:
            return 7;
        default:
            return 5;
    }
}

VTRTerminalLogDestination::VTRTerminalLogDestination(int fd, std::string processName, Format format)
    : fd_(fd),
      format_(format),
      isWriting_(format == Format::Journal || ::isatty(fd) == 1),
      processName_(processName.empty() ? program_invocation_short_name : std::move(processName)) {}

void VTRTerminalLogDestination::logMessage(const VTRLogMessage& message) {
    if (!isWriting_) return;
    std::string line =
        format_ == Format::Journal
            ? fmt::format("<{}>{}", journalPriorityForFlag(message.flag), message.text)
            : fmt::format("{} {}[{}:{:x}] {}", formatLogTimestamp(message.timestamp, '-'),
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
